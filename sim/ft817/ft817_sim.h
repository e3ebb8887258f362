// The simulated FT-817: its five-byte CAT protocol on a pty at 38400 8N2, answered from the
// device side (frequency and mode, PTT, receive and transmit status, EEPROM), with faults.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

enum class Ft817Fault {
  None,
  Silent,  // commands are read, nothing is answered
  NonBcd,  // the frequency reply carries a digit above 9
  Short,   // the frequency reply stops after three bytes
};

// Operating modes as the rig reports them.
constexpr uint8_t kFt817Lsb = 0x00, kFt817Usb = 0x01, kFt817Cw = 0x02, kFt817Cwr = 0x03, kFt817Am = 0x04,
                  kFt817Fm = 0x08, kFt817Dig = 0x0A, kFt817Pkt = 0x0C;

// The device's encoders (tests check them against fixed bytes): the frequency in 10 Hz units as
// eight BCD digits, most significant byte first, then the mode byte.
std::string encodeFreqModeReply(uint64_t hz, uint8_t mode);
// The frequency a set-frequency command carries; false when a digit is not BCD.
bool decodeFreqCommand(const uint8_t cmd[5], uint64_t* hz);

class Ft817Sim {
 public:
  Ft817Sim();
  ~Ft817Sim();
  Ft817Sim(const Ft817Sim&) = delete;
  Ft817Sim& operator=(const Ft817Sim&) = delete;

  bool start(const std::string& linkPath);
  void stop();

  void setFrequency(uint64_t hz);
  uint64_t frequency() const;
  void setMode(uint8_t mode);
  uint8_t mode() const;
  bool ptt() const;
  void fault(Ft817Fault f);
  // Opcodes received, in order.
  std::vector<uint8_t> received() const;

  // "ft817 freq 7100000", "ft817 mode 1", "ft817 fault nonbcd" ... "error:" when not understood.
  std::string command(const std::string& line);

  // The answer to one five-byte command (empty when the rig says nothing).
  std::string handle(const uint8_t cmd[5]);

 private:
  void serve();

  mutable std::mutex mu_;
  uint64_t hz_ = 14074000;
  uint8_t mode_ = kFt817Usb;
  bool ptt_ = false, vfoB_ = false, locked_ = false;
  Ft817Fault fault_ = Ft817Fault::None;
  std::map<uint16_t, uint8_t> eeprom_;
  std::vector<uint8_t> received_;

  int master_ = -1, keep_ = -1;
  std::string link_, slave_;
  std::atomic<bool> running_{false}, quit_{false};
  std::thread thread_;
};

}  // namespace sim
