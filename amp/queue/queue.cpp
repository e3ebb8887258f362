// The command queue: a ring of 30 for ordinary commands and the urgent list ahead of it.
#include "amp/queue/queue.h"

#include <mutex>

#include "amp/queue/link_commands.h"
#include "core/works.h"
#include "platform/log.h"

static_assert(sizeof(AmpFields::urgentQueue) / sizeof(int) == kUrgentQueueSize);
static_assert(sizeof(AmpFields::cmdQueue) / sizeof(int) == kCmdQueueSize);

namespace {

thread_local int t_urgentDepth = 0;

// Commands that set one thing in the micro: the newer one makes the older pointless. Others
// (clearing protections, the version and configuration reads, the loader) keep every request.
int urgentKind(int s) {
  switch (s) {
    case LIN_MP0:
    case LIN_MP1: return LIN_MP0;
    case LIN_AB0:
    case LIN_AB1: return LIN_AB0;
    case LIN_AT:
    case LIN_AT_TUNE:
    case LIN_AT_PROT: return LIN_AT;
    case LIN_MT1:
    case LIN_MT1_MEM:
    case LIN_MT1_BYPASS:
    case LIN_MT1_NEUTRAL: return LIN_MT1;
    case LIN_SA:
    case LIN_FA:
    case LIN_FS:
    case LIN_AN:
    case LIN_TS:
    case LIN_FN:
    case LIN_SF: return s;
    default: return -1;
  }
}

// The selection's commands read their value when they are sent, so one pending entry of a kind
// carries the newest value; protection commands are not among these and are never merged.
int replaceKind(int s) {
  switch (s) {
    case LIN_FA:
    case LIN_SF:
    case LIN_TS:
    case LIN_SA:
    case LIN_AT: return s;
    case LIN_AB0:
    case LIN_AB1: return LIN_AB0;
    case LIN_MT1:
    case LIN_MT1_MEM:
    case LIN_MT1_BYPASS:
    case LIN_MT1_NEUTRAL: return LIN_MT1;
    default: return -1;
  }
}

// With cmdQueueMut held.
bool urgentAppendLocked(Works* w, int state) {
  const int kind = urgentKind(state);
  int n = w->urgentCount;
  for (int i = 0; kind >= 0 && i < n; ++i) {
    if (urgentKind(w->urgentQueue[i]) != kind) continue;
    for (int j = i; j + 1 < n; ++j) w->urgentQueue[j] = w->urgentQueue[j + 1];
    --n;
    break;
  }
  w->urgentCount = n;
  if (n >= kUrgentQueueSize) {
    // Only a link that stays silent through many resets could get here; the list stays whole.
    klog(LOG_ERR, "Linear: urgent command list full (%d), command state %d refused", kUrgentQueueSize, state);
    return false;
  }
  w->urgentQueue[n] = state;
  w->urgentCount = n + 1;
  return true;
}

int ringAppendLocked(Works* w, int state) {
  int wr = w->cmdQueueWrite.load();
  int next = (wr + 1) % kCmdQueueSize;
  if (next == w->cmdQueueRead.load()) {
    // A 30th entry would make the ring read as empty and lose the 29 before it.
    if (w->queueRefused++ == 0)
      klog(
          LOG_ERR,
          "Linear: command queue full (%d pending), command state %d refused; refusals are counted until there is room",
          kCmdQueueMaxPending, state);
    return -1;
  }
  if (w->queueRefused > 0) {
    klog(LOG_INFO, "Linear: command queue has room again, %d commands were refused while it was full", w->queueRefused);
    w->queueRefused = 0;
  }
  w->cmdQueue[wr] = state;
  w->cmdQueueWrite = next;
  return state;
}

int popLocked(Works* w) {
  if (w->urgentCount > 0) {
    int s = w->urgentQueue[0];
    for (int i = 0; i + 1 < w->urgentCount; ++i) w->urgentQueue[i] = w->urgentQueue[i + 1];
    w->urgentQueue[--w->urgentCount] = 0;
    return s;
  }
  int rd = w->cmdQueueRead.load();
  if (rd == w->cmdQueueWrite.load()) return -1;
  int s = w->cmdQueue[rd];
  w->cmdQueue[rd] = 0;
  w->cmdQueueRead = (rd + 1) % kCmdQueueSize;
  return s;
}

}  // namespace

UrgentCommands::UrgentCommands() { ++t_urgentDepth; }
UrgentCommands::~UrgentCommands() { --t_urgentDepth; }

int IncPNTIn_CMDLinear(int state, Works* w) {
  if (!IsLinkCommand(state)) {
    klog(LOG_ERR, "Linear: command state %d refused (not a command)", state);
    return -1;
  }
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  if (t_urgentDepth > 0) return urgentAppendLocked(w, state) ? state : -1;
  return ringAppendLocked(w, state);
}

int QueueReplacingCMDLinear(int state, Works* w) {
  const int kind = replaceKind(state);
  if (t_urgentDepth > 0 || kind < 0 || !IsLinkCommand(state)) return IncPNTIn_CMDLinear(state, w);
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  for (int i = w->cmdQueueRead.load(); i != w->cmdQueueWrite.load(); i = (i + 1) % kCmdQueueSize) {
    if (replaceKind(w->cmdQueue[i]) == kind) {
      w->cmdQueue[i] = state;
      return state;
    }
  }
  return ringAppendLocked(w, state);
}

int PopCMDLinear(Works* w) {
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  return popLocked(w);
}

void StartBurstCMDLinear(Works* w, bool forErrors) {
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  if (forErrors) w->errorResend = 1;
  w->cmdBurst = 1;
}

// Takes the next command of a burst, or ends the burst when the queue is empty. One step under the
// queue lock, so a burst started by another thread in between is never wiped out.
int PopBurstCMDLinear(Works* w, bool* ended) {
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  *ended = false;
  int s = popLocked(w);
  if (s >= 0) return s;
  w->cmdBurst = 0;
  *ended = true;
  if (w->errorResend == 1) {
    ktrace(">>> ERRORI: Send All CMD for Error\n");
    w->errorResend = 2;
  }
  return -1;
}

int PendingCMDLinear(Works* w) {
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  return w->urgentCount + (w->cmdQueueWrite.load() - w->cmdQueueRead.load() + kCmdQueueSize) % kCmdQueueSize;
}

void AttivaDisattivaProtezione(Works* w, int on) {
  UrgentCommands urgent;
  if (on) {
    IncPNTIn_CMDLinear(LIN_MP1, w);
    IncPNTIn_CMDLinear(LIN_AT_PROT, w);
    ktrace("PROTEZIONE ON -------------\n");
  } else {
    IncPNTIn_CMDLinear(LIN_MP0, w);
    ktrace("PROTEZIONE OFF -------------\n");
  }
}
