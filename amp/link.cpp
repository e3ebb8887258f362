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
#include "ui/errors.h"

namespace {

constexpr int kReplyTimeoutMs = 1500;
constexpr int kRetryMax = 3;
constexpr int kErrorHoldOff = 2000;
// A command is a few dozen bytes: a line that cannot take them within this is stalled.
constexpr int kWriteTimeoutMs = 1000;

// The moment of the last write, for the reply timeout (link thread only, one link per record).
thread_local std::chrono::steady_clock::time_point t_lastWrite;

// The relay-word commands are composed by the tuner under its lock; it hands the text back here.
void sendTunerText(Works* w, const char* text, int len) {
  LastCmdSent(w, text[0], text[1], w->lastCmdState);
  writeLinearPort(w, w->linFD, text, static_cast<size_t>(len));
}

// Runs one command state: its text from the command table, then what the state does besides.
void runCommandState(Works* w, int s) {
  const LinkCommand* c = FindLinkCommand(s);
  if (!c) {
    // Not a command: the link would have nothing to wait for.
    klog(LOG_ERR, "Linear: state %d has no command, back to the status request", s);
    w->linearProcessStatus = LIN_ST;
    return;
  }
  if (c->send == LinkSend::RelayWord) {
    w->lastCmdState = s;
    const auto compose = w->hooks.tunerCommand;
    if (!compose || compose(w, s, sendTunerText) < 0) {
      ktrace("Linear: tuner command %d not composed\n", s);
      w->linearProcessStatus = LIN_ST;
      return;
    }
    w->linearProcessStatus = LIN_WAIT;
    return;
  }
  if (c->send == LinkSend::Attenuator) {
    SetAttenuatorCMD(w, LinkAttenuatorValue(w, s), s);
    return;
  }
  char text[96];
  const int n = FormatLinkCommand(w, s, text, sizeof text);
  if (n < 2) {
    klog(LOG_ERR, "Linear: %.2s not sent, the micro's settings are not known yet", c->form);
    w->linearProcessStatus = LIN_ST;
    return;
  }
  if (s == LIN_MP0 && text[2] == '1') ktrace("Linear: MP0 sent as MP1, over-temperature protection holds\n");
  LastCmdSent(w, text[0], text[1], s);
  writeLinearPort(w, w->linFD, text, static_cast<size_t>(n));
  w->linearProcessStatus = LIN_WAIT;
  if (c->trace) ktrace("%s%s\n", c->trace, text);
  switch (s) {
    case LIN_AB0: w->bypassCmdState = 0; break;
    case LIN_AB1:
      w->bypassCmdState = 1;
      w->attState = 4;
      break;
    case LIN_MR1:
      w->updateFlags |= kUpdFwStarted;
      w->menuPage = 0;
      // The micro is in its loader now: nothing more is sent until the program restarts.
      w->linearProcessStatus = LIN_IDLE;
      break;
    default: break;
  }
}

}  // namespace

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
      klog(LOG_ERR, "Linear: write of %.*s timed out after %d ms, the line is not being read", static_cast<int>(length),
           text, kWriteTimeoutMs);
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
  SetErrorText(w, kErrorComm, 2, text);
  if (w->errorTimer == 0) {
    AddErrore(w, kErrorComm);
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
  if (w->hooks.thresholds) w->hooks.thresholds(w);
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
  // The port was opened from this setting, so it names a device.
  std::string port, problem;
  portDevice(w, "LinPort", port, problem);
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
        auto silent =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t_lastWrite);
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
