// Fields of the shared record owned by the transceiver links and the spectrum reader.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

// The decoded state of the paired transceiver, copied whole under serMut. Level fields hold the
// level while the function is on, the negated last level while it is off, 0 while none is known.
struct SerParam {
  int32_t flag0b6 = 0, vfoBActive = 0, freqIsVfoB = 0;
  int32_t freqCur = 0, freqRaw = 0, freqA = 0, freqB = 0, freqC = 0, freqPrev = 0, freqLast = 0;
  int32_t txOn = 0, flag9b5 = 0, flag9b4 = 0;
  int32_t modeCur = 0, modeRaw = 0, modeA = 0, modeB = 0;
  int32_t audioSel = 0, sw10b3 = 0, sw10b2 = 0, sw10b1 = 0, sw10b0 = 0;
  int32_t squelch = 0;
  int32_t filterSel = 0, filterB = 0, filterA = 0, filterC = 0, filterIdx = 0;
  int32_t nr = 0, nb = 0;
  int32_t flag13b5 = 0, flag13b4 = 0;
  int32_t set16 = 0, set17 = 0, set18 = 0, set19a = 0, set19b = 0;
  int32_t rxAtt = 0, rxLp = 0, rxAnt = 0, flag20b0 = 0;
  int32_t volume = 0, volumeAux = 0, volumeSide = 0;
  int32_t pitch = 0, level21 = 0, rxOffset = 0;
  int32_t anRequest = 0, flag11b4 = 0, useFreqC = 0, flag0b32 = 0;
};

struct RadioFields {
  // Manual transmit-test requests: bit 0 pending, bit 1 transmit wanted, bit 4 "AN" 0 queued by
  // the keys, bit 5 its reply arrived.
  std::atomic<uint8_t> txReqFlags{0};
  std::atomic<int> rxHoldoff{0};
  std::atomic<uint64_t> freq{0};
  std::atomic<uint64_t> lastFreq{0};
  std::atomic<uint64_t> freqCatSerial{0};
  std::atomic<int> spanHz{0};
  SerParam serParam{};          // guarded by serMut
  bool serParamStored = false;  // guarded by serMut: a block was stored since start
  int spectrumA[1024]{};
  int spectrumB[1024]{};
  uint8_t spectrumHeader[20]{};

  // Port descriptors, -1 while closed. Each port's writes (link thread, WebSocket server) go
  // through one lock held for the whole command, so two commands never interleave on the line.
  std::atomic<int> serFD{-1}, catFD{-1}, catSerFD{-1};
  std::mutex serPortMut, catPortMut;
  std::atomic<uint8_t> catMode{0};
  // The FT-817 poll: 3 send, 2 receive, 1 decode; opcode of the pending command (0 none); empty
  // polls since the last write.
  std::atomic<int> catProcessStatus{3}, lastCommandSent{0}, counterimeoutCAT{0};
  // The CAT relay opened catFD in this run.
  std::atomic<int> status_cat{0};
  // Counters for tests and the log: blocks stored, spectrum lines forwarded, packets dropped.
  std::atomic<uint32_t> serBlocks{0}, serSpectra{0}, serDropped{0};
};
