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

constexpr int kReplyBufSize = 500;
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
    case LIN_AT: SetAttenuatorCMD(w, w->Attenuator.load(), s); break;
    case LIN_AT_TUNE: SetAttenuatorCMD(w, w->AttenuatorTune.load(), s); break;
    case LIN_AT_PROT: SetAttenuatorCMD(w, 3, s); break;
    case LIN_MP0: sendCmd(w, "MP0;", s); break;
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

int IncPNTIn_CMDLinear(int state, Works* w) {
  if (!isCommandState(state)) {
    klog(LOG_ERR, "Linear: command state %d refused (not a command)", state);
    return -1;
  }
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  int wr = w->cmdQueueWrite.load();
  int next = (wr + 1) % kCmdQueueSize;
  if (next == w->cmdQueueRead.load()) {
    // A 30th entry would make the ring read as empty and lose the 29 before it.
    klog(LOG_ERR, "Linear: command queue full (%d pending), command state %d refused", kCmdQueueMaxPending, state);
    return -1;
  }
  w->cmdQueue[wr] = state;
  w->cmdQueueWrite = next;
  return state;
}

int PopCMDLinear(Works* w) {
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  int rd = w->cmdQueueRead.load();
  if (rd == w->cmdQueueWrite.load()) return -1;
  int s = w->cmdQueue[rd];
  w->cmdQueue[rd] = 0;
  w->cmdQueueRead = (rd + 1) % kCmdQueueSize;
  return s;
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
  int rd = w->cmdQueueRead.load();
  if (rd != w->cmdQueueWrite.load()) {
    int s = w->cmdQueue[rd];
    w->cmdQueue[rd] = 0;
    w->cmdQueueRead = (rd + 1) % kCmdQueueSize;
    return s;
  }
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
  return (w->cmdQueueWrite.load() - w->cmdQueueRead.load() + kCmdQueueSize) % kCmdQueueSize;
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
  std::string port, problem;
  if (!portDevice(w, "LinPort", port, problem)) {
    klog(LOG_ERR, "Linear: %s", problem.c_str());
    snprintf(w->portErrorText, sizeof w->portErrorText, "Linear: %s", problem.c_str());
    w->portError = 1;
    return -1;
  }
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
  ktrace("Init CRT ... \n");
  for (int s : {LIN_VSM, LIN_ER0, LIN_ER1, LIN_ER2, LIN_MP0}) IncPNTIn_CMDLinear(s, w);
  SearchCambioSoglie_TS(w);
  for (int s : {LIN_AN, LIN_SA, LIN_FS, LIN_MT1, LIN_PS, LIN_GM, LIN_GS_READ, LIN_CP, LIN_MR0})
    IncPNTIn_CMDLinear(s, w);
}

void Linear(Works* w) {
  w->linearProcessStatus = LIN_ST;
  if (OpenLinear(w) != 0) return;  // portError tells the operator; a restart starts a new thread

  char reply[kReplyBufSize + 1];
  int fill = 0;
  t_lastWrite = std::chrono::steady_clock::now();
  const int fd = w->linFD;

  while (w->running && getFlag(w->setup->EnableLinear) == '1') {
    int s = w->linearProcessStatus;
    if (s == LIN_WAIT) {
      int waiting = serialBytesWaiting(fd);
      if (waiting <= 0) {
        sleepMs(1);
        auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t_lastWrite);
        w->counterrortimeout = static_cast<int>(silent.count());
        if (silent.count() >= kReplyTimeoutMs) {
          // A partial reply belongs to the attempt that was given up, not to the next one.
          fill = 0;
          GestRetrayCMD(w);
        }
        continue;
      }
      char c;
      long r = serialReadByte(fd, &c);
      if (r != 1) {
        klog(LOG_ERR, "timeout %ld\n", r);
        fill = 0;
        GestRetrayCMD(w);
        sleepMs(20);
        continue;
      }
      if (fill > kReplyBufSize - 1) {
        fill = 0;
        ktrace("<<<<<<<<<<<<<<<<<<<<ERROR COUNTER LINEAR (CounterLinear)\n");
      }
      if (c == ';') {
        reply[fill] = 0;
        w->linearProcessStatus = LIN_DECODE;
      } else {
        reply[fill++] = c;
      }
    } else if (s == LIN_DECODE) {
      int pauseMs = DecodeCatCmd(w, reply, fill);
      fill = 0;
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
