// Serial terminals through termios: raw 8N1 set-up, input flush, bytes waiting and whole writes.
#pragma once
#include <cstddef>
#include <string>

// Opens a terminal device read-write, non-blocking, without making it the controlling terminal.
// Reads and writes through the functions below bound their own waits (VMIN/VTIME do not apply
// to a non-blocking descriptor). Returns the descriptor, or -1 with errno kept for the caller's
// log line.
int serialOpen(const std::string& path);

// Raw 8N1 at `baud` (e.g. 115200), receiver on, local line, hang up on close, parity errors
// ignored, no output or local processing, with the given VMIN and VTIME (tenths of a second).
// Pending input is flushed and the settings are applied at once. False when the speed is not
// supported or the terminal refused the settings (errno kept).
bool serialSetRaw(int fd, int baud, int vmin, int vtime);

// Two stop bits instead of one on a port set up by serialSetRaw (the FT-817's 8N2).
bool serialSetTwoStopBits(int fd);

// Drops whatever input is waiting.
void serialFlushInput(int fd);

// Bytes waiting to be read (FIONREAD); -1 when the descriptor cannot be asked.
int serialBytesWaiting(int fd);

// Reads at most one byte, waiting up to `timeoutMs` for it when none is there yet.
// Returns 1, 0 when nothing came in time (or end of file), or -1 with errno.
long serialReadByte(int fd, char* out, int timeoutMs = 500);

// Writes all `length` bytes, repeating after short writes and waiting (up to `timeoutMs` in all)
// while the line is full. Returns 0, or -1 when the port refused (errno kept) or stayed full
// (errno ETIMEDOUT). Never blocks longer than `timeoutMs` on a descriptor from serialOpen.
int serialWriteAll(int fd, const void* data, size_t length, int timeoutMs = 1000);

// True when the device went away under an open descriptor (hang-up, error, USB unplugged): no
// further byte will ever come through it, and it must be opened again.
bool serialHungUp(int fd);

void serialClose(int fd);
