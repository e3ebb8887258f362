// Fields of the shared record owned by the amplifier link, its replies, protection and GPIO.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

// Bits of the micro's status reply: stStatus0, stStatus1 and the fault byte stFaults.
constexpr int kStatus0AnActive = 0x1,  // the antenna network is switched in (an auto-tune sends "AN0;")
    kStatus0Pad2dB = 0x4, kStatus0Pad3dB = 0x8;
constexpr int kStatus1Tx = 0x1,  // transmission in progress
    kStatus1Alarm = 0x2,         // the amplifier's alarm
    kStatus1AlarmShown = 0x4,    // clear: the error list's acknowledgement may go
    kStatus1Bypass = 0x8;
constexpr int kFaultIOut = 0x01, kFaultRefl = 0x02, kFaultFwd = 0x04, kFaultSensPw = 0x08, kFaultFilterTx = 0x10,
              kFaultPwrIn = 0x20, kFaultBand = 0x40, kFaultReset = 0x80;

// microCfgB of the 120 W model (its forward meter, start screen, drive clamp and voltage divider).
constexpr int kMicroCfg120W = 0x31;

// Codes the GPIO thread sends to its serial peripheral; 0xFF is none pending.
constexpr int kGpioCodeStart = 0xB0, kGpioCodeRemoteOn = 0x95, kGpioCodeRemoteOff = 0xA5, kGpioCodeNone = 0xFF;

struct AmpFields {
  // Link. The queue ring and both indexes are only touched under cmdQueueMut.
  std::atomic<int> linFD{-1};
  int cmdQueue[30]{};
  std::atomic<int> cmdQueueRead{0};
  std::atomic<int> cmdQueueWrite{0};
  std::atomic<int> cmdBurst{0};
  std::mutex cmdQueueMut;
  // Protection and reset commands waiting ahead of the ring (under cmdQueueMut).
  int urgentQueue[64]{};
  int urgentCount = 0;
  // Commands refused by a full ring in the current run of refusals (under cmdQueueMut).
  int queueRefused = 0;
  // While set (an over-temperature episode), "protection off" is sent as "protection on" and any
  // attenuator as the protection pad: whatever was queued or reordered, protection holds.
  std::atomic<uint8_t> protectionHeld{0};
  // Set once the link answered a micro reset (faults bit 7); cleared when the bit is seen clear.
  std::atomic<uint8_t> microResetHandled{0};
  // Replies ignored because they answered another command.
  std::atomic<int> repliesIgnored{0};
  // 0 idle, 1 the error handling queued its commands, 2 they have all been sent.
  std::atomic<int> errorResend{0};
  std::atomic<int> linearProcessStatus{0};
  std::atomic<int> counterrortimeout{0};  // empty polls since the last write
  char lastCmd[2]{};                      // link thread only
  std::atomic<int> lastCmdState{0};
  std::atomic<int> retryCount{0}, retryTotal{0}, retryRestarts{0};
  // Hold-off of the link-failure error; the supervisor counts it down.
  std::atomic<int> errorTimer{0};
  // Last bypass command sent: 0 "AB0;", 1 "AB1;", -1 none yet.
  std::atomic<int> bypassCmdState{-1};

  // Protection thresholds sent with "TS".
  std::atomic<int> tsPwin{0}, tsFwd{0}, tsRefl{0}, tsCorrente{0};

  // Amplifier state from the replies. The text blocks are written by the link thread before
  // (and read by others after) the start screen's countdown, or only by the link thread.
  std::mutex ampTextMut;  // guards microVersion, microCfg0/1 and settingsText
  char microVersion[8]{};
  uint8_t microCfg0[32]{};
  uint8_t microCfg1[32]{};
  std::atomic<int> microCfgA{0}, microCfgB{0};  // 0xFF until "ER0002;" is answered
  char settingsText[11]{};                      // from the last "GS" reply, sent back by "GS%s;"
  std::atomic<int> stStatus0{0}, stStatus1{0}, stFaults{0};
  std::atomic<uint16_t> rawPW{0}, rawFWD{0}, rawREFL{0};
  std::atomic<float> pwrPW{0}, pwrFwd{0}, pwrRefl{0}, swr{0};
  std::atomic<float> rawCurrent{0};
  std::atomic<float> temp1{0}, temp2{0};
  std::atomic<float> pwrIn{0};
  std::atomic<int> bypass{0};
  std::atomic<int> attState{0};  // 0..3 attenuator, 4 stand-by
  std::atomic<int> anValue{0};
  std::atomic<uint64_t> freqMeasured{0};
  std::atomic<int> cpPending{0};
  std::atomic<int> microResetArmed{0};

  // GPIO: pending output code (0xFF none), written by several threads under gpioMut.
  std::atomic<int> gpioCode{0};
  std::mutex gpioMut;
  // Reading bytes of the bit-banged peripheral; slot 3 is the PA voltage.
  std::atomic<uint8_t> gpioReading[4]{};
};

// The status buffer is 52 characters and its terminator.
constexpr int kStatusBufferLen = 52;
