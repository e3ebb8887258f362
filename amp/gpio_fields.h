// Fields of the shared record owned by the GPIO thread: the automatic code sequence and the message flags.
#pragma once
#include <atomic>
#include <cstdint>

// Bits of msgFlags: the message line's requests.
constexpr uint8_t kMsgSecondFunction = 0x01,  // a held key is about to reach its long press
    kMsgBypassNotSaved = 0x02;                // a save of a bypass tune was refused

struct GpioFields {
  // Set by the key scanner (bit 0) and the key dispatch (bit 1), cleared by the dispatch; read by
  // the message line.
  std::atomic<uint8_t> msgFlags{0};
  // Automatic codes: index into 0xB0, 0xD1, 0xD2, 0xD3 and a pause (0 to 4), and the passes left
  // until the next one. Only the GPIO thread writes them.
  std::atomic<uint8_t> gpioCodeIdx{0};
  std::atomic<int> gpioCodeCounter{0};
};
