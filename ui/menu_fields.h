// Fields of the shared record owned by the key pages and the parameter menu.
#pragma once
#include "amp/gpio_fields.h"  // msgFlags and its bits, shared with the key scanner
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/deferred_writes.h"

constexpr int kMenuPages = 16;  // entries of the label table; pages 0 to 11 are used
constexpr int kMenuPagesUsed = 12;
constexpr int kMenuKeys = 6;
constexpr int kLabelLen = 12;  // a key label with its terminator
constexpr int kParamCount = 30;

// Pages of the six keys.
enum MenuPage : int {
  kPageMain = 0,
  kPageParamList = 1,
  kPageParamEdit = 2,
  kPageTune = 3,
  kPageManualTune = 4,
  kPageDeviceError = 5,
  kPageInterface = 6,
  kPageBandEdit = 7,
  kPageSaveTune = 8,
  kPageUtilities = 9,
  kPageCopyBank = 10,
  kPageResetBank = 11,
};

// Bits of statusPage.
enum : uint8_t {
  kStatusInfo = 1u << 0,       // the information page is shown
  kStatusInterface = 1u << 1,  // the interface page (band table) is shown
};
// Bits of the manual-transmit byte (txReqFlags, shared with the transceiver link).
enum : uint8_t {
  kManualActive = 1u << 0,    // manual tuning: the automatic tune start is held off
  kManualTx = 1u << 1,        // manual transmit started
  kManualAnForced = 1u << 4,  // "AN0;" queued for manual transmit
  kManualAnConfirmed = 1u << 5,
};
// Long-press marks of a page (flags of a label-table entry).
enum : uint8_t {
  kLongPressKey1 = 1u << 0,
  kLongPressKey6 = 1u << 5,
};

// One key label. The key thread and the supervisor both write labels while the supervisor draws
// them: each character is an atomic and the entry's sequence count lets a reader retry a copy that
// a writer overlapped, so no lock is ever taken under the screen lock.
struct KeyLabel {
  std::atomic<char> c[kLabelLen]{};
};
struct MenuKeysEntry {
  KeyLabel top[kMenuKeys];
  KeyLabel bottom[kMenuKeys];
  std::atomic<uint8_t> flags{0};
  std::atomic<unsigned> seq{0};  // odd while a writer is inside
};
// A copy of one page's labels for drawing.
struct MenuKeysText {
  char top[kMenuKeys][kLabelLen]{};
  char bottom[kMenuKeys][kLabelLen]{};
  uint8_t flags = 0;
};

// One parameter of the settings list. Built once at start-up, read-only afterwards.
struct MenuSubEntry {
  char name[20]{};
  uint8_t reserved = 0;
  uint8_t address = 0;  // 1 for the four network addresses
};
struct MenuParEntry {
  int number = 0;
  char title[20]{};
  MenuSubEntry sub[10]{};
  uint8_t enabled = 0;
};

struct MenuFields {
  MenuKeysEntry Mirtmenu[kMenuPages];
  std::mutex labelWriteMut;  // writers of Mirtmenu only; readers never take it

  MenuParEntry menuPar[kParamCount];
  std::atomic<int> paramCount{0};
  std::atomic<int> paramIndex{0};
  std::atomic<int> paramSub{0};

  std::atomic<uint8_t> manualRequested{0};
  std::atomic<int> saveBank{0}, saveAnt{0};
  std::atomic<int> copyFrom{0}, copyTo{0};
  std::atomic<int> resetBank{0};
  // Band-table cursor of the interface page: row, and column (-1 when no cell is edited).
  std::atomic<int> tabRow{0}, tabCol{-1};
  // Request toggles of the parameter list (entries 24 and 28; 27 and 29 are updateFlags bits).
  std::atomic<uint8_t> factoryRequest{0};
  // The remote checks as the information page found them when it was opened (they run programs:
  // not on every frame).
  std::atomic<uint8_t> infoRemoteOk{0}, infoAudioOk{0};

  // Commands that take long (network restart, update script, service shell) run here, in order,
  // never on the key thread. What is handed over runs before it goes.
  // Made on first use (ServiceJobs in ui/menu.h): the keys may run before the menus are built.
  std::unique_ptr<DeferredWrites> serviceJobs;
  std::once_flag serviceJobsMade;
};
