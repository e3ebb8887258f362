// Fields of the shared record owned by the tuner, the tune memories and the band tables.
#pragma once
#include <atomic>
#include <cstdint>

struct TunerFields {
  std::atomic<int> ModeWorkIdx{0};  // -1 unset, 0 generic, 1 transceiver serial link, 2 CAT serial
  std::atomic<int> curConfigRow{0};
  std::atomic<int> bandIdx{0};
};
