// Fields of the shared record owned by the display: pages, messages, peak hold, error list.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

struct Works;

// Flags of an error table entry.
enum : uint8_t {
  kErrRed = 1u << 0,         // red tile instead of orange
  kErrProtective = 1u << 1,  // adding it arms the bias reset (errorFlags bit 0)
  kErrTemporary = 1u << 2,   // a warning the next reset removes (errorFlags bit 2)
};
// Bits of errorFlags.
enum : uint8_t {
  kErrFlagBiasReset = 1u << 0,       // a protective error was added: the bias reset is due
  kErrFlagDisplayCleared = 1u << 1,  // the display was cleared after a reset
  kErrFlagWarnings = 1u << 2,        // temporary warnings are pending
};

// Codes of the error list: the index of each entry of the error table.
enum ErrorCode : int {
  kErrorHighTempCleared = 0,  // the heat sink is back below the alarm limit
  kErrorAmpAlarm = 1,         // the amplifier's alarm bit ("HI SWR")
  kErrorHighTemp = 2,         // over temperature: protection on
  kErrorPwrIn = 3,            // drive fault while no tune runs
  kErrorComm = 4,             // the link gave up a command
  kErrorRemoteUsb = 5,
  kErrorAudioMissing = 6,
  kErrorBixModeOff = 7,
  kErrorBixData = 8,
  kErrorAudioRead = 9,
  kErrorAudioWrite = 10,
  kErrorWebSocket = 11,
  kErrorTuneTimeout = 12,   // the auto-tune reached its cycle limit
  kErrorTuneSwr = 13,       // the same, with a target SWR set
  kErrorTuneBixAbort = 14,  // transmission stopped while a tune ran
  kErrorAmpFault = 15,      // a fault of the amplifier; its second line names it
  kErrorMicroReset = 16,
  kErrorCmdNotAvailable = 17,
  kErrorTuneMaxSwr = 18,  // the tune ended above SWR 6, or without forward power
  kErrorBandStandby = 19,
  kErrorRemoteCat = 20,
};

constexpr int kNumErrorCodes = 21;
constexpr int kErrorTextLen = 30;

struct ErrorEntry {
  uint8_t flags = 0;
  char line1[kErrorTextLen]{};
  char line2[kErrorTextLen]{};
};

// The error table as the unit starts with it; codes 4 and 15 get their second line rewritten at run time.
inline constexpr ErrorEntry kErrorTableDefaults[kNumErrorCodes] = {
    {2, "High", "temperature"},     {3, "HI SWR", "error"},
    {1, "High", "temperature"},     {3, "PWR IN", "error"},
    {4, "Comm", "warn "},           {4, "Remote warn", "Usb"},
    {4, "Audio", "not found"},      {4, "BIX mode", "not activated"},
    {4, "BIX EXTIO", "warning"},    {0, "Audio read", "warning"},
    {0, "Audio write", "warning"},  {0, "Web socket", "warning"},
    {4, "Auto Tune", "timeout"},    {4, "Auto Tune", "SWR warning"},
    {4, "Auto Tune", "BIX aborts"}, {3, "Error", "---"},
    {4, "Micro Reset", "warning"},  {4, "CMD not", "available"},
    {4, "Auto Tune", "Max SWR"},    {6, "Band warn", "StBy"},
    {4, "Remote warn", "Cat"},
};

struct UiFields {
  // Key page the buttons and labels follow (0 at start).
  std::atomic<int> menuPage{0};
  std::atomic<uint8_t> statusPage{0};  // non-zero while an information page is shown
  // Error list: codes in the order they were added, each at most once. errorMut keeps additions,
  // removals, text rewrites and the tile drawing's snapshot from interleaving.
  ErrorEntry errorTable[kNumErrorCodes] = {kErrorTableDefaults[0],  kErrorTableDefaults[1],  kErrorTableDefaults[2],
                                           kErrorTableDefaults[3],  kErrorTableDefaults[4],  kErrorTableDefaults[5],
                                           kErrorTableDefaults[6],  kErrorTableDefaults[7],  kErrorTableDefaults[8],
                                           kErrorTableDefaults[9],  kErrorTableDefaults[10], kErrorTableDefaults[11],
                                           kErrorTableDefaults[12], kErrorTableDefaults[13], kErrorTableDefaults[14],
                                           kErrorTableDefaults[15], kErrorTableDefaults[16], kErrorTableDefaults[17],
                                           kErrorTableDefaults[18], kErrorTableDefaults[19], kErrorTableDefaults[20]};
  int errorList[22]{};
  std::atomic<int> errorCount{0};
  std::atomic<uint8_t> errorFlags{0};
  std::mutex errorMut;
};
