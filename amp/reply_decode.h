// What one reply of the micro says, read without the shared record: the link's decoder applies it.
#pragma once
#include <cstdint>

enum class ReplyKind : uint8_t {
  TooShort,            // fewer than three characters
  ErrorReply,          // third character '?', '!' or '&', whatever the letters
  Bad,                 // letters or fields that are not what their command answers with (`why` says which)
  Version,             // "VS": text
  Antenna,             // "SA": number 1..3
  Frequency,           // "FM": number in Hz (0: no carrier)
  Ack,                 // "FA", "MT", "FS", "AT", "MP", "TS", "FN": nothing else to take
  ClearedProtections,  // "CP"
  Bypass,              // "AB": number 1 on, 0 off
  Network,             // "AN": number 0..9
  AutoProtections,     // "PS"
  Filter,              // "SF"
  MicroReset,          // "MR": number 0 when the micro left its loader
  GenericMode,         // "GM"
  Settings,            // "GS": text of 10 characters
  Config,              // "ER": block 0 or 1 with 32 bytes, block 2 with two
  Status,              // "ST": status
};

struct StatusFields {
  int status0 = 0, status1 = 0, faults = 0;
  int pw = 0, fwd = 0, refl = 0, current = 0, temp1 = 0, temp2 = 0;
  int input = 0;  // the fast power reading; only with hasInput
  bool hasInput = false;
};

struct DecodedReply {
  ReplyKind kind = ReplyKind::Bad;
  const char* why = nullptr;  // for Bad
  uint64_t number = 0;
  char text[11]{};      // Version (up to 7 printable characters) or Settings (10)
  int block = -1;       // Config
  uint8_t bytes[32]{};  // Config: blocks 0 and 1 fill all 32, block 2 the first two
  StatusFields status;
};

// Reads `length` characters of a reply (its ';' already taken off; any byte may appear). With
// `withInput` the status reply's fast power reading at 32-35 is read when present.
DecodedReply DecodeReply(const char* reply, int length, bool withInput);
