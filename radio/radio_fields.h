// Fields of the shared record owned by the transceiver links and the spectrum reader.
#pragma once
#include <atomic>
#include <cstdint>

// The decoded state of the paired transceiver, copied whole under serMut.
struct SerParam {
  uint64_t freqCur = 0;
  int txOn = 0;
  int anRequest = 0;
  int mode = 0;
};

struct RadioFields {
  // Manual transmit-test requests: bit 4 "AN" 0 queued by the keys, bit 5 its reply arrived.
  std::atomic<uint8_t> txReqFlags{0};
  std::atomic<int> rxHoldoff{0};
  std::atomic<uint64_t> freq{0};
  std::atomic<uint64_t> lastFreq{0};
  std::atomic<uint64_t> freqCatSerial{0};
  std::atomic<int> spanHz{0};
  SerParam serParam{};  // guarded by serMut
  int spectrumA[1024]{};
  int spectrumB[1024]{};
  uint8_t spectrumHeader[20]{};
};
