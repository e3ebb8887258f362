// Crash-safe writes of the operator's files under /opt/set, behind the read-write remount pair.
#pragma once
#include <string>

// Every writer of /opt/set goes through these: one lock around "remount rw, write, remount ro",
// and a write never leaves a truncated file (temporary file, fsync, rename, fsync of the folder).
// `absPath` is the unit's path ("/opt/set/setup.txt"); the root is applied here.
// Returns 0 on success, -1 when the remount failed (logged, nothing written), -2 when the file
// could not be written (logged; the old file is untouched).
int optSetWriteFile(const std::string& absPath, const std::string& content);

// Appends to a file (created, mode 0644, when missing) behind the same lock and remount pair,
// with O_APPEND and fsync: the bytes already in the file are never rewritten, so earlier entries
// cannot be lost whatever the file's size, and a failed append is cut back to the old length.
// Same return values as optSetWriteFile.
int optSetAppendFile(const std::string& absPath, const std::string& content);

// Removes files with the system's "rm -f" behind the remount pair (as the unit does).
int optSetRemove(const std::string& absPathPattern);

// Writes `content` to `path` atomically, without remounting (used by the above and for tests).
bool atomicWriteFile(const std::string& path, const std::string& content);

// Removes the "<name>.tmpXXXXXX" files that a write cut short (a crash, a power loss) left in
// /opt/set, behind the remount pair, each logged. Returns how many went, -1 when the remount failed.
int optSetRemoveStaleTemporaries();

// Renames a file of /opt/set to "<name>.unreadable" (".unreadable.1", ... when taken) behind the
// remount pair, so that a fresh file never replaces it. 0 on success with the new name in asideAbsPath.
int optSetSetAside(const std::string& absPath, std::string& asideAbsPath);

// Opens a regular file for reading, never blocking; -1 with errno otherwise: ENOENT missing, EISDIR
// a folder, EINVAL another kind of file (a FIFO, a device), or the open's own error.
int openRegularFile(const std::string& path);
// The reason of openRegularFile's or readWholeFile's failure, for a log line.
const char* fileErrorText(int err);

// Reads a whole regular file, up to maxBytes; false (errno as openRegularFile, or the read's error)
// when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& out, size_t maxBytes = 16u << 20);
