// The amplifier link's command states and its command queue: every subsystem asks for a command
// by queueing its state, and only the link thread sends. The one table of what each state sends
// lives in amp/queue/link_commands.h.
#pragma once
#include <cstddef>

struct Works;

// Link states. A command is asked for by queueing its state number; only the link thread sends.
enum LinearState : int {
  LIN_VSM = 0,           // "VSM;"
  LIN_ST = 1,            // "ST;" status request
  LIN_WAIT = 2,          // waiting for a reply
  LIN_DECODE = 3,        // decoding the reply
  LIN_SA = 7,            // "SA%d;" antenna (1-based)
  LIN_FM = 8,            // "FM;" measured frequency
  LIN_FA = 9,            // "FA%011lu;" frequency
  LIN_MT = 10,           // "MT;"
  LIN_MT1 = 11,          // "MT1%08X;" send the relay word as it is
  LIN_FS = 12,           // "FS%01d%04d;" frequency counter settings
  LIN_CP = 13,           // "CPFFFF;" clear protections
  LIN_AT = 14,           // attenuator for normal operation
  LIN_AT_TUNE = 15,      // attenuator while tuning
  LIN_AT_PROT = 16,      // attenuator 5 dB ("AT11;") for protection
  LIN_MP0 = 17,          // "MP0;"
  LIN_MP1 = 18,          // "MP1;"
  LIN_AB0 = 19,          // "AB0;" amplifier in line
  LIN_AB1 = 20,          // "AB1;" amplifier stand-by
  LIN_AN = 21,           // "AN%d;"
  LIN_TS = 22,           // "TS%04d%04d%04d%04d;" protection thresholds
  LIN_FN = 23,           // "FN1%03d;" fan step
  LIN_PS = 24,           // "PS%04d%04d%04d%04d;"
  LIN_MT1_MEM = 27,      // "MT1%08X;" after loading the stored tune
  LIN_SF = 28,           // "SF30000%02x;" filter relays
  LIN_MR1 = 30,          // "MR1;" micro into its loader; the link then idles
  LIN_IDLE = 31,         // idle after "MR1;"
  LIN_MR0 = 32,          // "MR0;"
  LIN_GM = 33,           // "GM%04d%04d;"
  LIN_GS_READ = 34,      // "GS;"
  LIN_GS_WRITE = 35,     // "GS%s;"
  LIN_ER0 = 36,          // "ER0000;"
  LIN_ER1 = 37,          // "ER0001;"
  LIN_ER2 = 38,          // "ER0002;"
  LIN_MT1_BYPASS = 39,   // "MT1%08X;" tuner bypassed
  LIN_MT1_NEUTRAL = 40,  // "MT1%08X;" neutral tune (CL, C = L = 0)
};

// Ring of 30 entries: at most 29 commands are pending at once.
constexpr int kCmdQueueSize = 30;
constexpr int kCmdQueueMaxPending = kCmdQueueSize - 1;

// Room for protection and reset commands waiting ahead of the ring: a setting command replaces a
// pending one of its kind, so only the one-off commands of repeated resets could ever fill it.
constexpr int kUrgentQueueSize = 64;

// Appends a state to the command queue; safe from any thread. Returns the state, or -1 when the
// ring already holds 29 pending commands (the command is refused, the ring kept; a run of
// refusals is logged once when it starts and once, with its count, when the ring has room again).
// Inside an UrgentCommands scope the state goes to the urgent list instead and is never refused.
int IncPNTIn_CMDLinear(int state, Works* works);
// For commands that carry a setting (frequency, filter, thresholds, antenna, relay word,
// stand-by, attenuator): a pending command of the same kind in the ring is replaced in place
// instead of queuing a second one. Same result values as IncPNTIn_CMDLinear.
int QueueReplacingCMDLinear(int state, Works* works);
// Protection and reset commands must reach the micro whatever the ring holds: while one of these
// lives on a thread, that thread's queued commands go to the urgent list, which the link drains
// before the ring. A newer setting command (MP0/MP1, AB0/AB1, the attenuators, the relay words,
// antenna, frequency, thresholds, filter, fan) replaces a pending one of its kind and moves to the
// end, so the latest wins; the one-off commands are all kept in order.
class UrgentCommands {
 public:
  UrgentCommands();
  ~UrgentCommands();
  UrgentCommands(const UrgentCommands&) = delete;
  UrgentCommands& operator=(const UrgentCommands&) = delete;
};
// Takes the oldest urgent state, else the oldest queued state (its entry zeroed); -1 when both are
// empty. Link thread only.
int PopCMDLinear(Works* works);
// Number of commands waiting (urgent and queued); 0 when there are none.
int PendingCMDLinear(Works* works);
// Marks the queued commands as a burst (sent back to back); forErrors also arms the error follow-up.
// Callers queue the commands first. Safe from any thread.
void StartBurstCMDLinear(Works* works, bool forErrors = false);
// The link's side: the next burst command, or -1 with *ended set when the burst is over.
int PopBurstCMDLinear(Works* works, bool* ended);

// Protection on: queues "MP1;" and "AT11;"; off: queues "MP0;". Both go ahead of the ring.
void AttivaDisattivaProtezione(Works* works, int on);
