// Decoding of the amplifier micro's replies into the amplifier's state, and the status buffer.
#pragma once
#include <cstddef>
#include <cstdint>

struct Works;

// Decodes one reply (its ';' replaced by NUL; `length` characters, which may contain any byte) and
// sets the link's next state. Returns the pause in milliseconds the link keeps before its next
// command: 10 after a status reply, 20 after any other.
int DecodeCatCmd(Works* works, const char* reply, int length);

// The link's next state after a status reply, from the tune state `seen` when the decision was
// taken: 0 the next queued command (or "FM;"), 1 one tune step then the tune word, 2 "CPFFFF;"
// and 3 "ST;", each of these last two turning the run to 1 only if no abort has ended it since.
int NextStateAfterStatus(Works* works, uint8_t seen);

// '0'-'9', 'A'-'F', 'a'-'f' give 0-15; any other character gives -1.
int charToInt(char c);

// Builds the 52-character status buffer and its terminator into out (at least 53 characters).
void CreaBufferDiStato(Works* works, char* out);

// PA voltage in volts from the 8-bit reading of the GPIO peripheral.
float CalvTensVadcAmp(Works* works, int byte);

// SWR from forward and reflected power, 0 or 1..100.
float CalcolaSWR(float pwrFwd, float pwrRefl);
