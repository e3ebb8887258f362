// The simulated paired transceiver: its packet link (parameter blocks and spectrum lines, "RX;"
// and "TU120;TX2;" obeyed) and its CAT ports, each on a pty. Written from the device side.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// What the front panel of the transceiver holds.
struct RadioState {
  bool vfoB = false;
  uint32_t freqA = 14070000, freqB = 7100000;
  int modeA = 1, modeB = 1;  // mode digit 0-15
  bool tx = false;
  int squelch = 0, nr = 0, nb = 0;  // 0 off, 1-15 level
  bool att = false, lp = false;
  int antenna = 0;                  // 0-3
  int volume = 40, volumeAux = 30;  // 0-127
  int pitch = 600;                  // Hz, 12 bits
  int offset = 0;                   // Hz, signed 20 bits
  bool anRequest = false;
};

enum class RadioFault {
  None,
  Silent,  // nothing is sent any more
  Garble,  // bytes on the packet link are corrupted at random
  Cut,     // one-shot: the next parameter block stops half way, then a pause
  Unplug,  // the device vanishes: its ptys close and their links go
};

// How a CAT port answers "DT;": the transceiver's one CAT port, a port nobody answers on, or a
// port of some other device that answers a few bytes of noise.
enum class CatPortKind { Transceiver, Silent, Noise };

// The device side's own encoders (tests check them against fixed byte strings).
std::string encodePacket(int type, const std::string& payload);
std::string encodeParameterBlock(const RadioState& s, bool blockForVfoB);
// 1024 level bytes (dB + 192) around the dial, then 170 bytes of trailer.
std::string encodeSpectrumLine(uint32_t dial, uint32_t seed);

class TransceiverSim {
 public:
  TransceiverSim();
  ~TransceiverSim();
  TransceiverSim(const TransceiverSim&) = delete;
  TransceiverSim& operator=(const TransceiverSim&) = delete;

  // Packet link at linkPath, CAT ports at catPaths (one kind each). False with a message on
  // stderr when a pty cannot be set up.
  bool start(const std::string& linkPath, const std::vector<std::string>& catPaths = {},
             const std::vector<CatPortKind>& catKinds = {});
  void stop();
  bool running() const { return running_.load(); }

  void setState(const RadioState& s);
  RadioState state() const;
  void dial(uint32_t hz);  // the active VFO
  void setVfoB(bool b);
  void setMode(int m);
  void setTx(bool on);
  void setSpectrumEveryMs(int ms);
  // Called (without the sim's lock) each time the transmitter goes on or off, from whichever
  // thread changed it: the simulated unit drives the amplifier with it. Set before start.
  void setTxListener(std::function<void(bool)> listener);
  void fault(RadioFault f);

  // Commands received on the packet link, each with its ';'.
  std::vector<std::string> received() const;
  void clearReceived();
  // Counts of what was sent.
  uint64_t blocksSent() const { return blocks_.load(); }
  uint64_t spectraSent() const { return spectra_.load(); }

  // "radio dial 7100000", "radio vfo b", "radio mode 3", "radio key", "radio unkey",
  // "radio squelch 3", "radio an 1", "radio offset -200", "radio fault cut" ...
  // The answer begins with "error:" when the line is not understood.
  std::string command(const std::string& line);

 private:
  struct Port {
    int master = -1, keep = -1;
    std::string link, slave;
    CatPortKind kind = CatPortKind::Transceiver;
    std::string in;
  };
  void serve();
  void sendLink(std::string bytes, bool garble);
  void onLinkCommand(const std::string& cmd);
  std::string onCatCommand(const std::string& cmd);
  void closePorts();

  mutable std::mutex mu_;
  RadioState st_;
  bool dirty_ = true;
  RadioFault fault_ = RadioFault::None;
  bool cutPending_ = false;
  int spectrumMs_ = 100;
  std::vector<std::string> received_;
  std::mt19937 rng_{4242};
  std::function<void(bool)> txListener_;
  bool txTold_ = false;  // guarded by txMu_
  std::mutex txMu_;
  void tellTx();

  Port link_;
  std::vector<Port> cat_;
  std::string linkIn_;  // serving thread only
  std::atomic<bool> running_{false}, quit_{false}, unplug_{false};
  std::atomic<uint64_t> blocks_{0}, spectra_{0};
  std::thread thread_;
};

// Opens a pty, configures its master raw and links linkPath to its slave (replacing what was
// there). Keeps a slave descriptor of its own in *keep so the line stays up between users.
bool openSimPty(const std::string& linkPath, int* master, int* keep, std::string* slave, const char* who);

}  // namespace sim
