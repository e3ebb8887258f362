// The one table of the amplifier link's commands: for each state, what it sends, which fields of
// the record it reads when it is sent, and what the link traces after the write.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

struct Works;

enum class LinkSend : uint8_t {
  Text,        // the form as it stands
  Format,      // the form filled from the fields when the command is sent
  Attenuator,  // "AT%d%d;": 3 dB pad, 2 dB pad
  RelayWord,   // "MT1%08X;", composed by the tuner under the tune-word lock (the link's hook)
};

struct LinkCommand {
  int state;
  const char* form;    // the text, or its printf format
  const char* fields;  // fields of the record the text is made from ("" for none)
  const char* trace;   // start of the standard-error line the text is traced with after the write; nullptr for none
  LinkSend send;
};

// Every state that sends a command, in state order.
std::span<const LinkCommand> LinkCommands();
// The row of a state; nullptr for a state that sends nothing (waiting, decoding, idle, unused).
const LinkCommand* FindLinkCommand(int state);
inline bool IsLinkCommand(int state) { return FindLinkCommand(state) != nullptr; }

// Writes the text of a command from the record into out (NUL-terminated) and returns its length.
// -1 for a relay-word row (the tuner composes those), a state without a row, and "GS%s;" before
// the micro has told its settings. While protection holds, "protection off" reads as "MP1;" and
// every attenuator as the protection pad.
int FormatLinkCommand(Works* works, int state, char* out, size_t size);
// The attenuator value a row sends: 0..3.
int LinkAttenuatorValue(Works* works, int state);
