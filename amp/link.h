// The amplifier link: its states, the command queue every subsystem appends to, and the retry rules.
#pragma once
#include <cstddef>

#include "amp/queue/link_commands.h"
#include "amp/queue/queue.h"

struct Works;

// The thread body and its port.
void Linear(Works* works);
int OpenLinear(Works* works);  // 0 when the port is open and set, -1 otherwise (portError set)

// Seeds the queue with the start-up command sequence (also the protection reset after a micro reset).
// The commands go to the urgent list, so a full ring cannot drop them.
void InitMicroCmd(Works* works);
// After the micro restarted on its own: forgets what the selection believes the micro holds,
// sends the start-up settings again and, behind them, every other setting the micro keeps.
void ResendAfterMicroReset(Works* works);

// Records the two letters and the state of the command about to be written.
void LastCmdSent(Works* works, char letter1, char letter2, int state);
// Writes exactly `length` bytes to the port (repeating short writes), then clears counterrortimeout.
// Returns 0, or -1 when the port refused the bytes.
int writeLinearPort(Works* works, int fd, const char* text, size_t length);

// Chooses the next state after every decoded reply except a status reply.
void NextCmdPriority(Works* works, int nextState);
// Failure rule: resend the last command up to three times, then give it up and return to "ST;".
void GestRetrayCMD(Works* works);

// Collects the reply bytes of the link: at most 500 characters before a ';' (more is dropped
// with a trace), a ';' closes a reply. Pure, so the byte loop can be fuzzed without a port.
struct ReplyAssembler {
  static constexpr int kCapacity = 500;
  char text[kCapacity + 1]{};
  int fill = 0;
  // True when `c` closed a reply: text holds it NUL-terminated and fill its length until the next
  // feed after a reset().
  bool feed(char c);
  void reset() { fill = 0; }
};
// A reply the link keeps waiting past: not an error reply and its letters are not those of the
// command it would answer (a late answer to an earlier command). `length` excludes the ';'.
bool ReplyAnswersOtherCommand(const char* reply, int length, const char lastCmd[2]);
