// The simulated amplifier micro on a pseudo-terminal: serving thread, fault
// injection, command log and a text control channel.
#pragma once

#include <atomic>
#include <chrono>
#include <complex>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/micro/calibration.h"
#include "sim/micro/micro_model.h"
#include "sim/micro/tuner_model.h"

namespace sim {

enum class Fault {
  Silent,    // commands are read and logged, nothing is answered
  Slow,      // replies leave after `slowDelay`
  Garble,    // reply bytes are corrupted at random
  Error,     // every reply is an error reply ('?', '!' and '&' in turn)
  Overlong,  // replies grow past 500 characters before their ';'
  Reset,     // one-shot: the micro restarts (faults bit 7 until "MR0;")
  Hot,       // heat sink held at `hotTempC` while set
  Swr,       // one-shot: a high-SWR trip is latched (cleared by "CP")
};

struct MicroSimOptions {
  int model = 120;  // 60 or 120
  std::vector<Fault> faults;
  std::chrono::milliseconds slowDelay{2000};
  double garbleRate = 0.15;  // probability per reply byte
  uint32_t seed = 12345;
  double timeScale = 1.0;  // model seconds per wall second
  double ambientC = 25.0;
  double hotTempC = 75.0;
  bool counterNeedsRf = true;  // the frequency counter reads only while driven
  bool logToStderr = false;    // print each received command
  size_t logLimit = 200000;    // oldest entries are dropped beyond this
};

struct ReceivedCommand {
  std::chrono::steady_clock::time_point at;
  std::string text;  // as received, with its ';' (non-printing bytes as \xNN)
};

class MicroSim {
 public:
  MicroSim();
  explicit MicroSim(MicroSimOptions opts);
  ~MicroSim();
  MicroSim(const MicroSim&) = delete;
  MicroSim& operator=(const MicroSim&) = delete;

  // Opens a pty pair, points `linkPath` at the slave (replacing what was there)
  // and starts serving. False, with a line on stderr, when any step fails.
  bool start(const std::string& linkPath);
  void stop();  // idempotent
  bool running() const { return running_.load(); }
  std::string slavePath() const;

  // Reads control lines (see command()) from a FIFO, created when missing.
  bool serveControl(const std::string& fifoPath);

  // Operator side of the physics.
  void setTx(bool on);
  void setDrive(double watts);
  void setFrequency(uint64_t hz);
  bool setModel(int watts);
  void setAntennaLoad(int ant, std::optional<std::complex<double>> z);
  void setAmbient(double c);
  void setTimeScale(double s);
  // Moves model time forward at once (tests use this instead of waiting).
  void advance(double seconds);

  void injectFault(Fault f);
  void clearFault(Fault f);
  void clearFaults();
  bool faultActive(Fault f) const;

  // A text command: "tx on", "drive 25", "freq 14200000", "fault garble",
  // "model 60", "antenna-load 3 12.5 -30", "dump" ... Returns the answer text,
  // beginning with "error:" when the line was not understood.
  std::string command(const std::string& line);
  // Other simulated devices share the control channel: a line the micro does not know is offered
  // to each handler in turn, and the first answer is the line's answer.
  using ControlHandler = std::function<std::optional<std::string>(const std::string& line)>;
  void addControlHandler(ControlHandler handler);

  std::vector<std::string> received() const;
  std::vector<ReceivedCommand> receivedTimed() const;
  void clearReceived();
  uint64_t receivedDropped() const;

  MicroSnapshot snapshot() const;
  // Bytes written to the link so far (after fault processing).
  uint64_t bytesSent() const { return bytesSent_.load(); }

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    std::string bytes;
  };
  void serve();
  void onCommand(const CommandFramer::Event& ev, std::chrono::steady_clock::time_point now);
  void flushDue(std::chrono::steady_clock::time_point now);
  void readControl();
  std::string shape(std::string reply);  // apply the reply faults (with mu_ held)
  void logReceived(const std::string& text, std::chrono::steady_clock::time_point now);
  void applyFaultLocked(Fault f, bool on);

  MicroSimOptions opts_;
  mutable std::mutex mu_;  // guards everything below that is not atomic
  MicroModel model_;
  std::deque<ReceivedCommand> log_;
  uint64_t dropped_ = 0;
  bool silent_ = false, slow_ = false, garble_ = false, error_ = false, overlong_ = false, hot_ = false;
  int errorTurn_ = 0;
  std::mt19937 rng_;
  double timeScale_ = 1.0;
  std::deque<Pending> outbox_;  // serving thread only
  std::string unsent_;          // serving thread only: bytes the pty did not take yet
  CommandFramer framer_;        // serving thread only
  std::string controlBuf_;      // serving thread only
  std::string linkPath_, slavePath_;

  int master_ = -1, slaveKeep_ = -1;
  std::mutex handlersMu_;
  std::vector<ControlHandler> handlers_;
  std::atomic<int> controlFd_{-1};
  int controlKeep_ = -1;
  std::string controlPath_;
  std::atomic<bool> running_{false};
  std::atomic<bool> quit_{false};
  std::atomic<uint64_t> bytesSent_{0};
  std::thread thread_;
};

// Fault names used on the command line and the control channel.
std::optional<Fault> faultFromName(const std::string& name);
const char* faultName(Fault f);

}  // namespace sim
