// The amplifier link thread: port, state machine, command queue, reply reception and retries.
#include "amp/link.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "amp/protection.h"
#include "amp/replies.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "tuner/tuner.h"
#include "ui/errors.h"

namespace {

constexpr int kReplyTimeoutMs = 1500;
constexpr int kRetryMax = 3;
constexpr int kErrorHoldOff = 2000;
// A command is a few dozen bytes: a line that cannot take them within this is stalled.
constexpr int kWriteTimeoutMs = 1000;

// States that name a command; anything else in the queue would leave the link with nothing to do.
bool isCommandState(int s) {
  switch (s) {
    case LIN_VSM: case LIN_ST: case LIN_SA: case LIN_FM: case LIN_FA: case LIN_MT: case LIN_MT1:
    case LIN_FS: case LIN_CP: case LIN_AT: case LIN_AT_TUNE: case LIN_AT_PROT: case LIN_MP0:
    case LIN_MP1: case LIN_AB0: case LIN_AB1: case LIN_AN: case LIN_TS: case LIN_FN: case LIN_PS:
    case LIN_MT1_MEM: case LIN_SF: case LIN_MR1: case LIN_MR0: case LIN_GM: case LIN_GS_READ:
    case LIN_GS_WRITE: case LIN_ER0: case LIN_ER1: case LIN_ER2: case LIN_MT1_BYPASS:
    case LIN_MT1_NEUTRAL:
      return true;
    default:
      return false;
  }
}

// The setup field is fixed-width and may lack its terminator.
std::string linPortSetting(Works* w) {
  const char* f = w->setup->LinPort;
  return std::string(f, strnlen(f, sizeof w->setup->LinPort));
}

// The moment of the last write, for the reply timeout (link thread only, one link per record).
thread_local std::chrono::steady_clock::time_point t_lastWrite;

// Sends one command text: records its letters and state, writes it, and waits for its reply.
void sendCmd(Works* w, const char* text, int state) {
  size_t n = strlen(text);
  LastCmdSent(w, text[0], n > 1 ? text[1] : ' ', state);
  writeLinearPort(w, w->linFD, text, n);
  w->linearProcessStatus = LIN_WAIT;
}

void sendTunerText(Works* w, const char* text, int len) {
  LastCmdSent(w, text[0], text[1], w->lastCmdState);
  writeLinearPort(w, w->linFD, text, static_cast<size_t>(len));
}

// Runs one command state. The tuner commands compose and send the relay word under its lock.
void runCommandState(Works* w, int s) {
  char cmd[96];
  switch (s) {
    case LIN_VSM: sendCmd(w, "VSM;", s); break;
    case LIN_ST: sendCmd(w, "ST;", s); break;
    case LIN_SA:
      snprintf(cmd, sizeof cmd, "SA%d;", w->antennaIdx.load() + 1);
      sendCmd(w, cmd, s);
      break;
    case LIN_FM: sendCmd(w, "FM;", s); break;
    case LIN_FA:
      snprintf(cmd, sizeof cmd, "FA%011" PRIu64 ";", static_cast<uint64_t>(w->freq.load()));
      sendCmd(w, cmd, s);
      break;
    case LIN_MT: sendCmd(w, "MT;", s); break;
    case LIN_MT1:
    case LIN_MT1_MEM:
    case LIN_MT1_BYPASS:
    case LIN_MT1_NEUTRAL:
      w->lastCmdState = s;
      if (TunerCommand(w, s, sendTunerText) < 0) {
        ktrace("Linear: tuner command %d not composed\n", s);
        w->linearProcessStatus = LIN_ST;
        return;
      }
      w->linearProcessStatus = LIN_WAIT;
      break;
    case LIN_FS:
      snprintf(cmd, sizeof cmd, "FS%01d%04d;", static_cast<int>(w->FreqSensIn.load()), w->FreqPeriodTime.load() / 10);
      sendCmd(w, cmd, s);
      break;
    case LIN_CP: sendCmd(w, "CPFFFF;", s); break;
    // While protection holds, no queued or reordered command may take the pad out or the
    // protection off: those are sent as the protection's own.
    case LIN_AT: SetAttenuatorCMD(w, w->protectionHeld ? 3 : w->Attenuator.load(), s); break;
    case LIN_AT_TUNE: SetAttenuatorCMD(w, w->protectionHeld ? 3 : w->AttenuatorTune.load(), s); break;
    case LIN_AT_PROT: SetAttenuatorCMD(w, 3, s); break;
    case LIN_MP0:
      if (w->protectionHeld) ktrace("Linear: MP0 sent as MP1, over-temperature protection holds\n");
      sendCmd(w, w->protectionHeld ? "MP1;" : "MP0;", s);
      break;
    case LIN_MP1: sendCmd(w, "MP1;", s); break;
    case LIN_AB0:
      sendCmd(w, "AB0;", s);
      w->bypassCmdState = 0;
      ktrace(">> AB0;\n");
      break;
    case LIN_AB1:
      sendCmd(w, "AB1;", s);
      w->bypassCmdState = 1;
      w->attState = 4;
      ktrace(">> AB1;\n");
      break;
    case LIN_AN:
      snprintf(cmd, sizeof cmd, "AN%d;", w->anValue.load());
      sendCmd(w, cmd, s);
      ktrace(">> %s\n", cmd);
      break;
    case LIN_TS:
      snprintf(cmd, sizeof cmd, "TS%04d%04d%04d%04d;", w->tsPwin.load(), w->tsFwd.load(), w->tsRefl.load(),
               w->tsCorrente.load());
      sendCmd(w, cmd, s);
      break;
    case LIN_FN:
      // The step recorded as sent: the wanted step may have moved since this command was queued.
      snprintf(cmd, sizeof cmd, "FN1%03d;", w->fanSent.load());
      sendCmd(w, cmd, s);
      break;
    case LIN_PS:
      snprintf(cmd, sizeof cmd, "PS%04d%04d%04d%04d;", w->PSpar1.load(), w->PSpar2.load(), w->PSpar3.load(),
               w->PSpar4.load());
      sendCmd(w, cmd, s);
      ktrace(">> %s\n", cmd);
      break;
    case LIN_SF:
      snprintf(cmd, sizeof cmd, "SF30000%02x;", static_cast<unsigned>(w->filterMask.load()));
      sendCmd(w, cmd, s);
      ktrace(">> %s\n", cmd);
      break;
    case LIN_MR1:
      sendCmd(w, "MR1;", s);
      w->updateFlags |= kUpdFwStarted;
      w->menuPage = 0;
      // The micro is in its loader now: nothing more is sent until the program restarts.
      w->linearProcessStatus = LIN_IDLE;
      break;
    case LIN_MR0: sendCmd(w, "MR0;", s); break;
    case LIN_GM:
      snprintf(cmd, sizeof cmd, "GM%04d%04d;", w->GMpar1.load(), w->GMpar2.load());
      sendCmd(w, cmd, s);
      ktrace(">> %s\n", cmd);
      break;
    case LIN_GS_READ:
      sendCmd(w, "GS;", s);
      ktrace(">>r: %s\n", "GS;");
      break;
    case LIN_GS_WRITE: {
      char text[11];
      {
        std::lock_guard<std::mutex> lk(w->ampTextMut);
        memcpy(text, w->settingsText, sizeof text);
      }
      text[10] = 0;
      if (strlen(text) != 10) {
        // Nothing to send back before the micro has told its settings.
        klog(LOG_ERR, "Linear: GS not sent, the micro's settings are not known yet");
        w->linearProcessStatus = LIN_ST;
        break;
      }
      if (w->ModeWorkIdx == 0)
        text[1] = static_cast<char>(text[1] | 0x02);
      else
        text[1] = static_cast<char>(text[1] & ~0x02);
      snprintf(cmd, sizeof cmd, "GS%s;", text);
      sendCmd(w, cmd, s);
      break;
    }
    case LIN_ER0: sendCmd(w, "ER0000;", s); break;
    case LIN_ER1: sendCmd(w, "ER0001;", s); break;
    case LIN_ER2: sendCmd(w, "ER0002;", s); break;
    default:
      // Not a command: the link would have nothing to wait for.
      klog(LOG_ERR, "Linear: state %d has no command, back to the status request", s);
      w->linearProcessStatus = LIN_ST;
      break;
  }
}

}  // namespace

namespace {

thread_local int t_urgentDepth = 0;

// Commands that set one thing in the micro: the newer one makes the older pointless. Others
// (clearing protections, the version and configuration reads, the loader) keep every request.
int urgentKind(int s) {
  switch (s) {
    case LIN_MP0: case LIN_MP1: return LIN_MP0;
    case LIN_AB0: case LIN_AB1: return LIN_AB0;
    case LIN_AT: case LIN_AT_TUNE: case LIN_AT_PROT: return LIN_AT;
    case LIN_MT1: case LIN_MT1_MEM: case LIN_MT1_BYPASS: case LIN_MT1_NEUTRAL: return LIN_MT1;
    case LIN_SA: case LIN_FA: case LIN_FS: case LIN_AN: case LIN_TS: case LIN_FN: case LIN_SF: return s;
    default: return -1;
  }
}

// The selection's commands read their value when they are sent, so one pending entry of a kind
// carries the newest value; protection commands are not among these and are never merged.
int replaceKind(int s) {
  switch (s) {
    case LIN_FA: case LIN_SF: case LIN_TS: case LIN_SA: case LIN_AT: return s;
    case LIN_AB0: case LIN_AB1: return LIN_AB0;
    case LIN_MT1: case LIN_MT1_MEM: case LIN_MT1_BYPASS: case LIN_MT1_NEUTRAL: return LIN_MT1;
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
      klog(LOG_ERR, "Linear: command queue full (%d pending), command state %d refused; refusals are counted until there is room",
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
  if (!isCommandState(state)) {
    klog(LOG_ERR, "Linear: command state %d refused (not a command)", state);
    return -1;
  }
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  if (t_urgentDepth > 0) return urgentAppendLocked(w, state) ? state : -1;
  return ringAppendLocked(w, state);
}

int QueueReplacingCMDLinear(int state, Works* w) {
  const int kind = replaceKind(state);
  if (t_urgentDepth > 0 || kind < 0 || !isCommandState(state)) return IncPNTIn_CMDLinear(state, w);
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

bool ReplyAssembler::feed(char c) {
  if (fill > kCapacity - 1) {
    fill = 0;
    ktrace("<<<<<<<<<<<<<<<<<<<<ERROR COUNTER LINEAR (CounterLinear)\n");
  }
  if (c == ';') {
    text[fill] = 0;
    return true;
  }
  text[fill++] = c;
  return false;
}

bool ReplyAnswersOtherCommand(const char* reply, int length, const char lastCmd[2]) {
  if (length < 2) return false;
  if (length >= 3 && (reply[2] == '?' || reply[2] == '!' || reply[2] == '&')) return false;
  return reply[0] != lastCmd[0] || reply[1] != lastCmd[1];
}

void LastCmdSent(Works* w, char l1, char l2, int state) {
  w->lastCmd[0] = l1;
  w->lastCmd[1] = l2;
  w->lastCmdState = state;
}

int writeLinearPort(Works* w, int fd, const char* text, size_t length) {
  int r = 0;
  errno = 0;
  if (fd < 0 || serialWriteAll(fd, text, length, kWriteTimeoutMs) != 0) {
    if (fd >= 0 && errno == ETIMEDOUT)
      klog(LOG_ERR, "Linear: write of %.*s timed out after %d ms, the line is not being read",
           static_cast<int>(length), text, kWriteTimeoutMs);
    else
      klog(LOG_ERR, "Linear: write of %.*s failed", static_cast<int>(length), text);
    r = -1;
  }
  w->counterrortimeout = 0;
  t_lastWrite = std::chrono::steady_clock::now();
  return r;
}

int OpenLinear(Works* w) {
  std::string port = linPortSetting(w);
  std::string path = rootPath(port);
  klog(LOG_INFO, "Init Linear Port %s", port.c_str());
  int fd = serialOpen(path);
  if (fd < 0) {
    klog(LOG_ERR, "Unable to open device %s", port.c_str());
    ktrace("Unable to open device %s\n", port.c_str());
    snprintf(w->portErrorText, sizeof w->portErrorText, "Linear: Unable to open device %s", port.c_str());
    w->portError = 1;
    return -1;
  }
  if (!serialSetRaw(fd, 115200, 1, 5)) {
    klog(LOG_ERR, "Unable to set comm port %s", port.c_str());
    ktrace("Unable to set comm port %s\n", port.c_str());
    snprintf(w->portErrorText, sizeof w->portErrorText, "Linear: Unable to set comm port %s", port.c_str());
    serialClose(fd);
    w->portError = 1;
    return -1;
  }
  w->linFD = fd;
  ktrace("OK works->linFD=%d (%s) stato:%d\n", fd, port.c_str(), w->linearProcessStatus.load());
  klog(LOG_INFO, "OK works->linFD=%d (%s)", fd, port.c_str());
  return 0;
}

void NextCmdPriority(Works* w, int next) {
  w->retryCount = 0;
  if (w->cmdBurst) {
    bool ended = false;
    int s = PopBurstCMDLinear(w, &ended);
    if (!ended) {
      ktrace("cmd ext: %d\n", s);
      w->linearProcessStatus = s;
      return;
    }
    w->linearProcessStatus = next;
    return;
  }
  w->linearProcessStatus = next;
}

void GestRetrayCMD(Works* w) {
  w->retryTotal++;
  char l1 = w->lastCmd[0], l2 = w->lastCmd[1];
  if (w->retryCount < kRetryMax) {
    w->retryCount++;
    w->linearProcessStatus = w->lastCmdState.load();
    ktrace("--------------------------------------- ERROR LINEAR: RETRAY %c%c (%d , %d)\n", l1, l2,
           w->retryTotal.load(), w->retryCount.load());
    return;
  }
  char text[16];
  snprintf(text, sizeof text, "Err %c%c", l1, l2);
  SetErrorText(w, 4, 2, text);
  if (w->errorTimer == 0) {
    AddErrore(w, 4);
    w->errorTimer = kErrorHoldOff;
  }
  ktrace("---------------------------------------STOP RETRAY!! %c%c (%d, %d) Restart da ST (Timer: %i)\n", l1, l2,
         w->retryTotal.load(), w->retryCount.load(), w->errorTimer.load());
  w->retryRestarts++;
  w->linearProcessStatus = LIN_ST;
  w->retryCount = 0;
}

void InitMicroCmd(Works* w) {
  UrgentCommands urgent;
  ktrace("Init CRT ... \n");
  for (int s : {LIN_VSM, LIN_ER0, LIN_ER1, LIN_ER2, LIN_MP0}) IncPNTIn_CMDLinear(s, w);
  SearchCambioSoglie_TS(w);
  for (int s : {LIN_AN, LIN_SA, LIN_FS, LIN_MT1, LIN_PS, LIN_GM, LIN_GS_READ, LIN_CP, LIN_MR0})
    IncPNTIn_CMDLinear(s, w);
}

void ResendAfterMicroReset(Works* w) {
  klog(LOG_ERR, "Linear: the micro was reset, its settings are sent again");
  // The micro holds its defaults now: none of what was recorded as sent is there any more.
  w->curConfigRow = kConfigRowResend;
  const int bypassCmd = w->bypassCmdState.exchange(-1);
  UrgentCommands urgent;
  InitMicroCmd(w);
  if (w->filterMask != 0) IncPNTIn_CMDLinear(LIN_SF, w);
  if (bypassCmd >= 0) IncPNTIn_CMDLinear(bypassCmd == 1 ? LIN_AB1 : LIN_AB0, w);
  IncPNTIn_CMDLinear(LIN_AT, w);
  if (w->protectionHeld) IncPNTIn_CMDLinear(LIN_MP1, w);
  // The fan step goes whatever it was, as if it had never been sent.
  w->fanSent = w->fanWanted.load();
  IncPNTIn_CMDLinear(LIN_FN, w);
}

namespace {
// The port went away under the thread: the operator's Retry starts a new thread that opens it again.
void portLost(Works* w, const char* why) {
  std::string port = linPortSetting(w);
  klog(LOG_ERR, "Linear: device %s lost (%s), link stopped", port.c_str(), why);
  snprintf(w->portErrorText, sizeof w->portErrorText, "Linear: device %s lost", port.c_str());
  w->portError = 1;
}
}  // namespace

void Linear(Works* w) {
  w->linearProcessStatus = LIN_ST;
  if (OpenLinear(w) != 0) return;  // portError tells the operator; a restart starts a new thread

  ReplyAssembler rx;
  t_lastWrite = std::chrono::steady_clock::now();
  const int fd = w->linFD;

  while (w->running && getFlag(w->setup->EnableLinear) == '1') {
    int s = w->linearProcessStatus;
    if (s == LIN_WAIT) {
      int waiting = serialBytesWaiting(fd);
      if (waiting <= 0) {
        if (waiting < 0 || serialHungUp(fd)) {
          portLost(w, "hang-up");
          break;
        }
        sleepMs(1);
        auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t_lastWrite);
        w->counterrortimeout = static_cast<int>(silent.count());
        if (silent.count() >= kReplyTimeoutMs) {
          // A partial reply belongs to the attempt that was given up, not to the next one, and
          // so does whatever the line still holds: a late reply must not answer the resend.
          rx.reset();
          serialFlushInput(fd);
          GestRetrayCMD(w);
        }
        continue;
      }
      char c;
      long r = serialReadByte(fd, &c);
      if (r != 1) {
        if (r < 0 && errno != EAGAIN && errno != EINTR) {
          portLost(w, strerror(errno));
          break;
        }
        klog(LOG_ERR, "timeout %ld\n", r);
        rx.reset();
        GestRetrayCMD(w);
        sleepMs(20);
        continue;
      }
      if (!rx.feed(c)) continue;
      if (ReplyAnswersOtherCommand(rx.text, rx.fill, w->lastCmd)) {
        // A late answer to an earlier command: the answer to this one may still come.
        w->repliesIgnored++;
        ktrace("Linear: reply %.2s ignored while waiting for %c%c\n", rx.text, w->lastCmd[0], w->lastCmd[1]);
        rx.reset();
        continue;
      }
      w->linearProcessStatus = LIN_DECODE;
    } else if (s == LIN_DECODE) {
      int pauseMs = DecodeCatCmd(w, rx.text, rx.fill);
      rx.reset();
      if (pauseMs > 0) sleepMs(pauseMs);
    } else if (s == LIN_IDLE) {
      sleepMs(1000);
    } else {
      runCommandState(w, s);
    }
  }
  serialClose(fd);
  w->linFD = -1;
}
