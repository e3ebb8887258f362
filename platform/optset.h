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

// Reads a whole file, up to maxBytes; false when it cannot be opened.
bool readWholeFile(const std::string& path, std::string& out, size_t maxBytes = 16u << 20);
