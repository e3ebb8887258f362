// Pty transport, encoders, CAT answers and faults of the simulated paired transceiver.
#include "sim/transceiver/transceiver_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

char hexDigit(unsigned v) { return static_cast<char>(0x30 + (v & 0xF)); }

// Stations on the air, wherever the dial is.
struct Station {
  uint32_t hz;
  int dB;
};
constexpr Station kStations[] = {{14074000, -62}, {14080500, -75}, {14200000, -58}, {7074000, -55},
                                 {7100000, -70},  {3573000, -66},  {21074000, -72}, {28074000, -80}};

}  // namespace

bool openSimPty(const std::string& linkPath, int* master, int* keep, std::string* slave, const char* who) {
  const int m = posix_openpt(O_RDWR | O_NOCTTY);
  char name[128];
  if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
    std::fprintf(stderr, "%s: cannot open a pty: %s\n", who, std::strerror(errno));
    if (m >= 0) close(m);
    return false;
  }
  const int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  if (s < 0 || tcgetattr(m, &t) != 0) {
    std::fprintf(stderr, "%s: cannot set up %s: %s\n", who, name, std::strerror(errno));
    if (s >= 0) close(s);
    close(m);
    return false;
  }
  cfmakeraw(&t);
  tcsetattr(m, TCSANOW, &t);
  // A program started after us must not inherit the device's end of the line: an unplugged
  // device would never hang up under it.
  fcntl(m, F_SETFD, FD_CLOEXEC);
  fcntl(s, F_SETFD, FD_CLOEXEC);
  fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
  struct stat st {};
  if (lstat(linkPath.c_str(), &st) == 0) unlink(linkPath.c_str());
  if (symlink(name, linkPath.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot link %s to %s: %s\n", who, linkPath.c_str(), name, std::strerror(errno));
    close(s);
    close(m);
    return false;
  }
  *master = m;
  *keep = s;
  *slave = name;
  return true;
}

std::string encodePacket(int type, const std::string& payload) {
  std::string out;
  out += static_cast<char>(type);
  out += static_cast<char>('0' + type);
  unsigned len = static_cast<unsigned>(payload.size());
  for (int i = 0; i < 4; ++i, len >>= 4) out += hexDigit(len);  // least significant digit first
  return out + payload;
}

std::string encodeParameterBlock(const RadioState& s, bool forB) {
  std::string b(31, '\0');
  auto put = [&](int i, unsigned v) { b[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF); };
  put(0, (s.vfoB ? 0x20u : 0u) | (forB ? 0x10u : 0u));
  const uint32_t f = forB ? s.freqB : s.freqA;
  for (int i = 0; i < 8; ++i) put(1 + i, 0x30u | ((f >> (28 - 4 * i)) & 0xF));
  const int mode = forB ? s.modeB : s.modeA;
  put(9, 0x80u | (s.tx ? 0x40u : 0u) | static_cast<unsigned>(mode & 0xF));
  put(10, 0x40u);  // main volume carried, switches "on" (bits clear)
  put(11, 0x40u | (s.anRequest ? 0x20u : 0u) | static_cast<unsigned>(s.squelch & 0xF));
  put(12, 0x80u | (2u << 3) | 1u);  // filter: bank C 2, bank A 1, bank A in use
  put(13, 0x40u | 3u);
  put(14, 0x30u | static_cast<unsigned>(s.nr & 0xF));
  put(15, 0x30u | static_cast<unsigned>(s.nb & 0xF));
  put(16, 0x60u | 4u);
  put(17, 0x60u | 9u);
  put(18, 0x30u | 2u);
  put(19, 0x60u | (3u << 2) | 1u);
  put(20, 0x40u | (s.att ? 0x10u : 0u) | (s.lp ? 0x08u : 0u) | static_cast<unsigned>((s.antenna & 3) << 1) | 1u);
  put(21, 211u + 9u);
  put(22, static_cast<unsigned>(s.volume & 0x7F));
  const unsigned pitch = static_cast<unsigned>(s.pitch) & 0xFFF;
  for (int i = 0; i < 3; ++i) put(23 + i, 0x30u | ((pitch >> (8 - 4 * i)) & 0xF));
  const unsigned off = static_cast<unsigned>(s.offset) & 0xFFFFF;  // two's complement, 20 bits
  for (int i = 0; i < 5; ++i) put(26 + i, 0x30u | ((off >> (16 - 4 * i)) & 0xF));
  return b;
}

std::string encodeSpectrumLine(uint32_t dial, uint32_t seed) {
  std::string line(1024 + 170, '\0');
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-3, 3);
  for (int i = 0; i < 1024; ++i) {
    // Floor at -120 dB; each station a peak three bins wide, placed by its offset from the dial.
    double dB = -120 + noise(rng);
    for (const Station& st : kStations) {
      const double bin = 512 + (static_cast<double>(st.hz) - dial) * 0.005333;
      const double d = std::fabs(i - bin);
      if (d < 2) dB = std::max(dB, st.dB - 6.0 * d);
    }
    line[static_cast<size_t>(i)] = static_cast<char>(std::clamp(static_cast<int>(std::lround(dB)) + 192, 0, 255));
  }
  return line;
}

TransceiverSim::TransceiverSim() = default;
TransceiverSim::~TransceiverSim() { stop(); }

bool TransceiverSim::start(const std::string& linkPath, const std::vector<std::string>& catPaths,
                           const std::vector<CatPortKind>& kinds) {
  if (running_) return false;
  if (!openSimPty(linkPath, &link_.master, &link_.keep, &link_.slave, "sim-transceiver")) return false;
  link_.link = linkPath;
  for (size_t i = 0; i < catPaths.size(); ++i) {
    Port p;
    p.link = catPaths[i];
    p.kind = i < kinds.size() ? kinds[i] : CatPortKind::Transceiver;
    if (!openSimPty(p.link, &p.master, &p.keep, &p.slave, "sim-transceiver")) {
      closePorts();
      return false;
    }
    cat_.push_back(p);
  }
  quit_ = false;
  unplug_ = false;
  running_ = true;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void TransceiverSim::closePorts() {
  auto close1 = [](Port& p) {
    if (p.master >= 0) close(p.master);
    if (p.keep >= 0) close(p.keep);
    char target[PATH_MAX];
    const ssize_t n = p.link.empty() ? -1 : readlink(p.link.c_str(), target, sizeof target - 1);
    if (n > 0) {
      target[n] = '\0';
      if (p.slave == target) unlink(p.link.c_str());  // only our own link
    }
    p.master = p.keep = -1;
  };
  close1(link_);
  for (Port& p : cat_) close1(p);
  cat_.clear();
}

void TransceiverSim::stop() {
  quit_ = true;
  if (thread_.joinable()) thread_.join();
  closePorts();
  running_ = false;
}

void TransceiverSim::setState(const RadioState& s) {
  std::lock_guard lk(mu_);
  st_ = s;
  dirty_ = true;
}
RadioState TransceiverSim::state() const {
  std::lock_guard lk(mu_);
  return st_;
}
void TransceiverSim::dial(uint32_t hz) {
  std::lock_guard lk(mu_);
  (st_.vfoB ? st_.freqB : st_.freqA) = hz;
  dirty_ = true;
}
void TransceiverSim::setVfoB(bool b) {
  std::lock_guard lk(mu_);
  st_.vfoB = b;
  dirty_ = true;
}
void TransceiverSim::setMode(int m) {
  std::lock_guard lk(mu_);
  (st_.vfoB ? st_.modeB : st_.modeA) = m & 0xF;
  dirty_ = true;
}
void TransceiverSim::setTx(bool on) {
  {
    std::lock_guard lk(mu_);
    st_.tx = on;
    dirty_ = true;
  }
  tellTx();
}
void TransceiverSim::setTxListener(std::function<void(bool)> listener) { txListener_ = std::move(listener); }

void TransceiverSim::tellTx() {
  if (!txListener_) return;
  std::lock_guard tl(txMu_);
  const bool tx = state().tx;
  if (tx == txTold_) return;
  txTold_ = tx;
  txListener_(tx);
}

void TransceiverSim::setSpectrumEveryMs(int ms) {
  std::lock_guard lk(mu_);
  spectrumMs_ = std::max(0, ms);
}
void TransceiverSim::fault(RadioFault f) {
  if (f == RadioFault::Unplug) {
    unplug_ = true;
    return;
  }
  std::lock_guard lk(mu_);
  if (f == RadioFault::Cut) {
    cutPending_ = true;
    dirty_ = true;
    return;
  }
  fault_ = f;
  dirty_ = true;
}

std::vector<std::string> TransceiverSim::received() const {
  std::lock_guard lk(mu_);
  return received_;
}
void TransceiverSim::clearReceived() {
  std::lock_guard lk(mu_);
  received_.clear();
}

// Called with mu_ held.
void TransceiverSim::onLinkCommand(const std::string& cmd) {
  received_.push_back(cmd);
  if (received_.size() > 10000) received_.erase(received_.begin());
  if (cmd == "RX;" && st_.tx) {
    st_.tx = false;
    dirty_ = true;
  } else if (cmd == "TX2;" && !st_.tx) {
    st_.tx = true;  // the tune carrier ("TU120;" set its power just before)
    dirty_ = true;
  }
}

// Called with mu_ held: the answer of the transceiver's CAT port.
std::string TransceiverSim::onCatCommand(const std::string& cmd) {
  char out[40];
  if (cmd == "DT;") return "DT001;";
  if (cmd == "ID;") return "ID019;";
  if (cmd == "FA;" || cmd == "FB;") {
    snprintf(out, sizeof out, "%.2s%011u;", cmd.c_str(), cmd[1] == 'A' ? st_.freqA : st_.freqB);
    return out;
  }
  if ((cmd.rfind("FA", 0) == 0 || cmd.rfind("FB", 0) == 0) && cmd.size() == 14) {
    const uint32_t hz = static_cast<uint32_t>(std::strtoul(cmd.substr(2, 11).c_str(), nullptr, 10));
    (cmd[1] == 'A' ? st_.freqA : st_.freqB) = hz;
    dirty_ = true;
    return "";
  }
  if (cmd == "MD;") {
    snprintf(out, sizeof out, "MD%d;", st_.vfoB ? st_.modeB : st_.modeA);
    return out;
  }
  if (cmd == "TX;" || cmd == "RX;") {
    st_.tx = cmd == "TX;";
    dirty_ = true;
    return "";
  }
  return "?;";
}

void TransceiverSim::sendLink(std::string bytes, bool garble) {
  // Called from the serving thread only; a full line drops the rest, as a device's buffer would.
  if (garble) {
    std::uniform_real_distribution<double> p(0, 1);
    std::uniform_int_distribution<int> b(0, 255);
    for (char& c : bytes)
      if (p(rng_) < 0.05) c = static_cast<char>(b(rng_));
  }
  size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = write(link_.master, bytes.data() + off, bytes.size() - off);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{link_.master, POLLOUT, 0};
      if (poll(&p, 1, 50) > 0) continue;
    }
    break;
  }
}

void TransceiverSim::serve() {
  auto nextSpectrum = Clock::now();
  auto nextBlocks = Clock::now();
  auto cutPause = Clock::time_point{};
  uint32_t seed = 1;
  char buf[256];
  while (!quit_) {
    if (unplug_) {
      // The cable is pulled: every line hangs up and the device names disappear.
      closePorts();
      while (!quit_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      break;
    }
    std::vector<pollfd> fds;
    fds.push_back({link_.master, POLLIN, 0});
    for (const Port& p : cat_) fds.push_back({p.master, POLLIN, 0});
    poll(fds.data(), fds.size(), 5);
    std::string toSend;
    bool garble = false;
    std::vector<std::string> catOut(cat_.size());
    {
      std::lock_guard lk(mu_);
      if (fds[0].revents & POLLIN) {
        const ssize_t n = read(link_.master, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
          if (linkIn_.size() < 64) linkIn_ += buf[i];
          if (buf[i] == ';') {
            onLinkCommand(linkIn_);
            linkIn_.clear();
          }
        }
      }
      for (size_t k = 0; k < cat_.size(); ++k) {
        if (!(fds[k + 1].revents & POLLIN)) continue;
        Port& p = cat_[k];
        const ssize_t n = read(p.master, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
          if (p.in.size() < 64) p.in += buf[i];
          if (buf[i] != ';') continue;
          if (p.kind == CatPortKind::Transceiver && fault_ != RadioFault::Silent)
            catOut[k] += onCatCommand(p.in);
          else if (p.kind == CatPortKind::Noise)
            catOut[k] += std::string("\x7f\x13", 2);  // another device's idea of a reply
          p.in.clear();
        }
      }
      const auto now = Clock::now();
      garble = fault_ == RadioFault::Garble;
      const bool quiet = fault_ == RadioFault::Silent || now < cutPause;
      // State changes go at once; the whole state again every second, so a listener that opens the
      // line late (or dropped what was waiting) catches up.
      if (!quiet && (dirty_ || now >= nextBlocks)) {
        dirty_ = false;
        nextBlocks = now + std::chrono::milliseconds(1000);
        // The idle VFO's block first, then the active one's, so both are known.
        std::string a = encodePacket(1, encodeParameterBlock(st_, !st_.vfoB));
        std::string b = encodePacket(1, encodeParameterBlock(st_, st_.vfoB));
        if (cutPending_) {
          cutPending_ = false;
          b.resize(b.size() / 2);
          dirty_ = true;  // the whole block follows the pause
          cutPause = now + std::chrono::milliseconds(3000);
        }
        toSend += a + b;
        blocks_ += 2;
      }
      if (!quiet && spectrumMs_ > 0 && now >= nextSpectrum && toSend.empty()) {
        toSend += encodePacket(0, encodeSpectrumLine(st_.vfoB ? st_.freqB : st_.freqA, seed++));
        nextSpectrum = now + std::chrono::milliseconds(spectrumMs_);
        spectra_++;
      }
    }
    tellTx();  // "RX;", "TX2;" or a CAT "TX;" may have keyed or unkeyed it
    if (!toSend.empty()) sendLink(toSend, garble);
    for (size_t k = 0; k < cat_.size(); ++k)
      if (!catOut[k].empty() && write(cat_[k].master, catOut[k].data(), catOut[k].size()) < 0) {
      }
  }
}

std::string TransceiverSim::command(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string t; in >> t && w.size() < 4;) w.push_back(t);
  if (w.size() < 2 || w[0] != "radio") return "error: not a radio command";
  const std::string& c = w[1];
  const std::string arg = w.size() > 2 ? w[2] : "";
  char* end = nullptr;
  const long v = std::strtol(arg.c_str(), &end, 10);
  const bool num = !arg.empty() && *end == '\0';
  auto edit = [&](auto f) {
    std::lock_guard lk(mu_);
    f(st_);
    dirty_ = true;
  };
  if (c == "dial" && num && v > 0 && v < 100000000) {
    dial(static_cast<uint32_t>(v));
    return "ok dial " + arg;
  }
  if (c == "vfo" && (arg == "a" || arg == "b")) {
    setVfoB(arg == "b");
    return "ok vfo " + arg;
  }
  if (c == "mode" && num && v >= 0 && v <= 15) {
    setMode(static_cast<int>(v));
    return "ok mode " + arg;
  }
  if (c == "key" || c == "unkey") {
    setTx(c == "key");
    return "ok " + c;
  }
  if (c == "squelch" && num && v >= 0 && v <= 15) {
    edit([&](RadioState& s) { s.squelch = static_cast<int>(v); });
    return "ok squelch " + arg;
  }
  if (c == "an" && num && (v == 0 || v == 1)) {
    edit([&](RadioState& s) { s.anRequest = v == 1; });
    return "ok an " + arg;
  }
  if (c == "offset" && num && v > -500000 && v < 500000) {
    edit([&](RadioState& s) { s.offset = static_cast<int>(v); });
    return "ok offset " + arg;
  }
  if (c == "pitch" && num && v >= 0 && v < 4096) {
    edit([&](RadioState& s) { s.pitch = static_cast<int>(v); });
    return "ok pitch " + arg;
  }
  if (c == "fault") {
    static const std::pair<const char*, RadioFault> kFaults[] = {{"none", RadioFault::None},
                                                                 {"silent", RadioFault::Silent},
                                                                 {"garble", RadioFault::Garble},
                                                                 {"cut", RadioFault::Cut},
                                                                 {"unplug", RadioFault::Unplug}};
    for (auto [name, f] : kFaults)
      if (arg == name) {
        fault(f);
        return "ok radio fault " + arg;
      }
  }
  if (c == "help")
    return "radio dial HZ | vfo a|b | mode N | key | unkey | squelch N | an 0|1 | offset HZ | pitch HZ | "
           "fault none|silent|garble|cut|unplug";
  return "error: radio command not understood";
}

}  // namespace sim
