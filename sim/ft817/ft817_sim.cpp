// Pty transport and command answers of the simulated FT-817.
#include "sim/ft817/ft817_sim.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "sim/transceiver/transceiver_sim.h"

namespace sim {

std::string encodeFreqModeReply(uint64_t hz, uint8_t mode) {
  uint64_t tens = (hz / 10) % 100000000;
  std::string out(5, '\0');
  for (int i = 3; i >= 0; --i, tens /= 100) {
    const unsigned pair = static_cast<unsigned>(tens % 100);
    out[static_cast<size_t>(i)] = static_cast<char>(((pair / 10) << 4) | (pair % 10));
  }
  out[4] = static_cast<char>(mode);
  return out;
}

bool decodeFreqCommand(const uint8_t c[5], uint64_t* hz) {
  uint64_t v = 0;
  for (int i = 0; i < 4; ++i) {
    if ((c[i] >> 4) > 9 || (c[i] & 0xF) > 9) return false;
    v = v * 100 + (c[i] >> 4) * 10 + (c[i] & 0xF);
  }
  *hz = v * 10;
  return true;
}

Ft817Sim::Ft817Sim() {
  // EEPROM bytes a client reads on its own: 0x55 (VFO A in use, normal display), 0x57, 0x5d...
  eeprom_[0x55] = 0x00;
  eeprom_[0x57] = 0x00;
}
Ft817Sim::~Ft817Sim() { stop(); }

bool Ft817Sim::start(const std::string& linkPath) {
  if (running_) return false;
  if (!openSimPty(linkPath, &master_, &keep_, &slave_, "sim-ft817")) return false;
  termios t{};
  if (tcgetattr(master_, &t) == 0) {
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    t.c_cflag |= CSTOPB;
    tcsetattr(master_, TCSANOW, &t);
  }
  link_ = linkPath;
  quit_ = false;
  running_ = true;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void Ft817Sim::stop() {
  quit_ = true;
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) close(master_);
  if (keep_ >= 0) close(keep_);
  master_ = keep_ = -1;
  char target[PATH_MAX];
  const ssize_t n = link_.empty() ? -1 : readlink(link_.c_str(), target, sizeof target - 1);
  if (n > 0) {
    target[n] = '\0';
    if (slave_ == target) unlink(link_.c_str());
  }
  running_ = false;
}

void Ft817Sim::setFrequency(uint64_t hz) {
  std::lock_guard lk(mu_);
  hz_ = hz;
}
uint64_t Ft817Sim::frequency() const {
  std::lock_guard lk(mu_);
  return hz_;
}
void Ft817Sim::setMode(uint8_t m) {
  std::lock_guard lk(mu_);
  mode_ = m;
}
uint8_t Ft817Sim::mode() const {
  std::lock_guard lk(mu_);
  return mode_;
}
bool Ft817Sim::ptt() const {
  std::lock_guard lk(mu_);
  return ptt_;
}
void Ft817Sim::fault(Ft817Fault f) {
  std::lock_guard lk(mu_);
  fault_ = f;
}
std::vector<uint8_t> Ft817Sim::received() const {
  std::lock_guard lk(mu_);
  return received_;
}

std::string Ft817Sim::handle(const uint8_t c[5]) {
  std::lock_guard lk(mu_);
  const uint8_t op = c[4];
  if (received_.size() < 100000) received_.push_back(op);
  if (fault_ == Ft817Fault::Silent) return "";
  switch (op) {
    case 0x03: {  // read frequency and mode
      std::string r = encodeFreqModeReply(hz_, mode_);
      if (fault_ == Ft817Fault::NonBcd) r[1] = static_cast<char>(0x4A);
      if (fault_ == Ft817Fault::Short) r.resize(3);
      return r;
    }
    case 0x01: {  // set frequency
      uint64_t hz;
      if (decodeFreqCommand(c, &hz)) hz_ = hz;
      return std::string(1, '\0');  // the acknowledgement later firmware sends
    }
    case 0x07:  // set mode
      mode_ = c[0];
      return std::string(1, '\0');
    case 0x08:  // PTT on: 0x00 done, 0xF0 already keyed
    case 0x88: {
      const bool on = op == 0x08;
      const bool was = ptt_;
      ptt_ = on;
      return std::string(1, static_cast<char>(was == on ? 0xF0 : 0x00));
    }
    case 0x00:  // lock on / off: the previous state
    case 0x80: {
      const bool was = locked_;
      locked_ = op == 0x00;
      return std::string(1, static_cast<char>(was ? 0xF0 : 0x00));
    }
    case 0x81:  // VFO A/B toggle
      vfoB_ = !vfoB_;
      eeprom_[0x55] = static_cast<uint8_t>((eeprom_[0x55] & ~1) | (vfoB_ ? 1 : 0));
      return std::string(1, '\0');
    case 0xE7:  // receive status: squelch open, S5
      return std::string(1, static_cast<char>(ptt_ ? 0xFF : 0x05));
    case 0xF7:  // transmit status: bit 7 clear while keyed
      return std::string(1, static_cast<char>(ptt_ ? 0x00 : 0xFF));
    case 0xBD:  // transmit meters: power and ALC, SWR and mod
      return ptt_ ? std::string("\x50\x11", 2) : std::string("\x00\x00", 2);
    case 0xBB: {  // EEPROM read: two bytes from the address
      const uint16_t a = static_cast<uint16_t>((c[0] << 8) | c[1]);
      std::string r(2, '\0');
      r[0] = static_cast<char>(eeprom_[a]);
      r[1] = static_cast<char>(eeprom_[static_cast<uint16_t>(a + 1)]);
      return r;
    }
    case 0xBC: {  // EEPROM write
      const uint16_t a = static_cast<uint16_t>((c[0] << 8) | c[1]);
      eeprom_[a] = c[2];
      return std::string(1, '\0');
    }
    default: return "";
  }
}

void Ft817Sim::serve() {
  uint8_t cmd[5];
  size_t fill = 0;
  auto lastByte = std::chrono::steady_clock::now();
  while (!quit_) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
    uint8_t buf[64];
    const ssize_t n = read(master_, buf, sizeof buf);
    const auto now = std::chrono::steady_clock::now();
    // A command's bytes follow each other closely; a stray partial one is forgotten after a pause.
    if (fill > 0 && now - lastByte > std::chrono::milliseconds(200)) fill = 0;
    lastByte = now;
    for (ssize_t i = 0; i < n; ++i) {
      cmd[fill++] = buf[i];
      if (fill < 5) continue;
      fill = 0;
      const std::string r = handle(cmd);
      if (!r.empty() && write(master_, r.data(), r.size()) < 0) {
      }
    }
  }
}

std::string Ft817Sim::command(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string t; in >> t && w.size() < 4;) w.push_back(t);
  if (w.size() < 3 || w[0] != "ft817") return "error: not an ft817 command";
  char* end = nullptr;
  const long v = std::strtol(w[2].c_str(), &end, 0);
  const bool num = *end == '\0';
  if (w[1] == "freq" && num && v > 0 && v < 1000000000) {
    setFrequency(static_cast<uint64_t>(v));
    return "ok ft817 freq " + w[2];
  }
  if (w[1] == "mode" && num && v >= 0 && v < 256) {
    setMode(static_cast<uint8_t>(v));
    return "ok ft817 mode " + w[2];
  }
  if (w[1] == "fault") {
    static const std::pair<const char*, Ft817Fault> kFaults[] = {{"none", Ft817Fault::None},
                                                                 {"silent", Ft817Fault::Silent},
                                                                 {"nonbcd", Ft817Fault::NonBcd},
                                                                 {"short", Ft817Fault::Short}};
    for (auto [name, f] : kFaults)
      if (w[2] == name) {
        fault(f);
        return "ok ft817 fault " + w[2];
      }
  }
  return "error: ft817 command not understood";
}

}  // namespace sim
