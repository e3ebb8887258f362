// Pseudo-terminal transport, fault injection, command log and control channel of
// the simulated amplifier micro.
#include "sim/micro/micro_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kOutboxLimit = 1 << 16;  // bytes waiting for the pty

bool setRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

std::optional<Fault> faultFromName(const std::string& n) {
  if (n == "silent") return Fault::Silent;
  if (n == "slow") return Fault::Slow;
  if (n == "garble") return Fault::Garble;
  if (n == "error") return Fault::Error;
  if (n == "overlong") return Fault::Overlong;
  if (n == "reset") return Fault::Reset;
  if (n == "hot") return Fault::Hot;
  if (n == "swr") return Fault::Swr;
  return std::nullopt;
}

const char* faultName(Fault f) {
  switch (f) {
    case Fault::Silent: return "silent";
    case Fault::Slow: return "slow";
    case Fault::Garble: return "garble";
    case Fault::Error: return "error";
    case Fault::Overlong: return "overlong";
    case Fault::Reset: return "reset";
    case Fault::Hot: return "hot";
    case Fault::Swr: return "swr";
  }
  return "?";
}

MicroSim::MicroSim() : MicroSim(MicroSimOptions{}) {}

MicroSim::MicroSim(MicroSimOptions opts)
    : opts_(std::move(opts)), model_(opts_.model), rng_(opts_.seed), timeScale_(opts_.timeScale) {
  model_.setAmbient(opts_.ambientC);
  model_.setCounterNeedsRf(opts_.counterNeedsRf);
  model_.advance(0.0);
  for (Fault f : opts_.faults) applyFaultLocked(f, true);
}

MicroSim::~MicroSim() {
  stop();
  const int cfd = controlFd_.exchange(-1);
  if (cfd >= 0) close(cfd);
  if (controlKeep_ >= 0) close(controlKeep_);
}

bool MicroSim::start(const std::string& linkPath) {
  if (running_.load()) {
    std::fprintf(stderr, "sim-micro: already serving %s\n", linkPath_.c_str());
    return false;
  }
  const int m = posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0) {
    std::fprintf(stderr, "sim-micro: posix_openpt failed: %s\n", std::strerror(errno));
    return false;
  }
  char name[128];
  if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
    std::fprintf(stderr, "sim-micro: cannot prepare the pty: %s\n", std::strerror(errno));
    close(m);
    return false;
  }
  // Our own slave descriptor keeps the line up while the program closes and
  // reopens it, so the master never sees a hang-up.
  const int s = open(name, O_RDWR | O_NOCTTY);
  if (s < 0 || !setRaw(m) || fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "sim-micro: cannot set up %s: %s\n", name, std::strerror(errno));
    if (s >= 0) close(s);
    close(m);
    return false;
  }
  struct stat st {};
  if (lstat(linkPath.c_str(), &st) == 0 && unlink(linkPath.c_str()) != 0) {
    std::fprintf(stderr, "sim-micro: cannot replace %s: %s\n", linkPath.c_str(), std::strerror(errno));
    close(s);
    close(m);
    return false;
  }
  if (symlink(name, linkPath.c_str()) != 0) {
    std::fprintf(stderr, "sim-micro: cannot link %s to %s: %s\n", linkPath.c_str(), name, std::strerror(errno));
    close(s);
    close(m);
    return false;
  }
  {
    std::lock_guard lk(mu_);
    linkPath_ = linkPath;
    slavePath_ = name;
  }
  master_ = m;
  slaveKeep_ = s;
  quit_ = false;
  running_ = true;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void MicroSim::stop() {
  if (!running_.load() && !thread_.joinable()) return;
  quit_ = true;
  if (thread_.joinable()) thread_.join();
  running_ = false;
  if (master_ >= 0) close(master_);
  if (slaveKeep_ >= 0) close(slaveKeep_);
  master_ = slaveKeep_ = -1;
  std::string link, slave;
  {
    std::lock_guard lk(mu_);
    link = linkPath_;
    slave = slavePath_;
  }
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n > 0) {
    target[n] = '\0';
    if (slave == target) unlink(link.c_str());  // only our own link
  }
}

std::string MicroSim::slavePath() const {
  std::lock_guard lk(mu_);
  return slavePath_;
}

bool MicroSim::serveControl(const std::string& fifoPath) {
  struct stat st {};
  if (stat(fifoPath.c_str(), &st) != 0) {
    if (mkfifo(fifoPath.c_str(), 0600) != 0) {
      std::fprintf(stderr, "sim-micro: cannot create control FIFO %s: %s\n", fifoPath.c_str(), std::strerror(errno));
      return false;
    }
  } else if (!S_ISFIFO(st.st_mode)) {
    std::fprintf(stderr, "sim-micro: %s exists and is not a FIFO\n", fifoPath.c_str());
    return false;
  }
  const int fd = open(fifoPath.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    std::fprintf(stderr, "sim-micro: cannot open %s: %s\n", fifoPath.c_str(), std::strerror(errno));
    return false;
  }
  // A writer of our own keeps the FIFO from reading as ended between clients.
  const int keep = open(fifoPath.c_str(), O_WRONLY | O_NONBLOCK);
  const int old = controlFd_.exchange(fd);
  if (old >= 0) close(old);
  if (controlKeep_ >= 0) close(controlKeep_);
  controlKeep_ = keep;
  return true;
}

void MicroSim::logReceived(const std::string& text, Clock::time_point now) {
  log_.push_back({now, text});
  while (log_.size() > opts_.logLimit && !log_.empty()) {
    log_.pop_front();
    ++dropped_;
  }
}

std::string MicroSim::shape(std::string reply) {
  if (error_ && reply.size() >= 2) {
    static const char kinds[3] = {'?', '!', '&'};
    reply = reply.substr(0, 2) + kinds[errorTurn_++ % 3] + ";";
  }
  if (overlong_ && !reply.empty()) {
    reply.pop_back();
    reply.append(600 - std::min<size_t>(reply.size(), 599), '0');
    reply.push_back(';');
  }
  if (garble_) {
    std::uniform_real_distribution<double> p(0.0, 1.0);
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : reply)
      if (p(rng_) < opts_.garbleRate) c = static_cast<char>(byte(rng_));
  }
  return reply;
}

void MicroSim::onCommand(const CommandFramer::Event& ev, Clock::time_point now) {
  const std::string text = ev.overflow ? "<overflow> " + printable(ev.text) : printable(ev.text) + ";";
  std::string reply;
  Clock::time_point due = now;
  {
    std::lock_guard lk(mu_);
    logReceived(text, now);
    if (!ev.overflow) {
      const std::string r = model_.handle(ev.text);  // the device acts even when mute
      if (!silent_ && !r.empty()) {
        reply = shape(r);
        if (slow_) due = now + opts_.slowDelay;
      }
    }
  }
  if (opts_.logToStderr)
    std::fprintf(stderr, "micro <- %s%s%s\n", text.c_str(), reply.empty() ? "" : "   -> ", printable(reply).c_str());
  if (reply.empty()) return;
  if (!outbox_.empty() && outbox_.back().due > due) due = outbox_.back().due;  // keep order
  outbox_.push_back({due, std::move(reply)});
}

void MicroSim::flushDue(Clock::time_point now) {
  while (!outbox_.empty() && outbox_.front().due <= now) {
    if (unsent_.size() + outbox_.front().bytes.size() > kOutboxLimit) {
      std::fprintf(stderr, "sim-micro: link not read, dropping a %zu-byte reply\n", outbox_.front().bytes.size());
    } else {
      unsent_ += outbox_.front().bytes;
    }
    outbox_.pop_front();
  }
  while (!unsent_.empty()) {
    const ssize_t n = write(master_, unsent_.data(), unsent_.size());
    if (n > 0) {
      bytesSent_ += static_cast<uint64_t>(n);
      unsent_.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // pty full: try again on the next pass
  }
}

void MicroSim::readControl() {
  const int fd = controlFd_.load();
  if (fd < 0) return;
  char buf[512];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        std::string line;
        line.swap(controlBuf_);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::string answer = command(line);
        std::fprintf(stderr, "sim-micro control: %s -> %s\n", printable(line).c_str(), answer.c_str());
      } else if (controlBuf_.size() < 512) {
        controlBuf_.push_back(buf[i]);
      }
    }
  }
}

void MicroSim::serve() {
  auto last = Clock::now();
  char buf[512];
  while (!quit_.load()) {
    int timeoutMs = 10;
    auto now = Clock::now();
    if (!outbox_.empty()) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(outbox_.front().due - now);
      timeoutMs = static_cast<int>(std::clamp<long long>(wait.count(), 0, 10));
    }
    pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (unsent_.empty() ? 0 : POLLOUT)), 0},
                     {controlFd_.load(), POLLIN, 0}};
    const int nfds = fds[1].fd >= 0 ? 2 : 1;
    const int pr = poll(fds, static_cast<nfds_t>(nfds), timeoutMs);
    now = Clock::now();
    {
      std::lock_guard lk(mu_);
      model_.advance(std::chrono::duration<double>(now - last).count() * timeScale_);
    }
    last = now;
    if (pr > 0 && (fds[0].revents & POLLIN)) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) {
        framer_.feed(buf, static_cast<size_t>(n), [&](const CommandFramer::Event& ev) { onCommand(ev, now); });
      }
    }
    if (pr > 0 && nfds == 2 && (fds[1].revents & POLLIN)) readControl();
    flushDue(Clock::now());
  }
}

void MicroSim::setTx(bool on) {
  std::lock_guard lk(mu_);
  model_.setTx(on);
}
void MicroSim::setDrive(double watts) {
  std::lock_guard lk(mu_);
  model_.setDrive(watts);
}
void MicroSim::setFrequency(uint64_t hz) {
  std::lock_guard lk(mu_);
  model_.setFrequency(hz);
}
bool MicroSim::setModel(int watts) {
  if (watts != 60 && watts != 120) return false;
  std::lock_guard lk(mu_);
  model_.setModel(watts);
  return true;
}
void MicroSim::setAntennaLoad(int ant, std::optional<std::complex<double>> z) {
  std::lock_guard lk(mu_);
  model_.setAntennaLoad(ant, z);
}
void MicroSim::setAmbient(double c) {
  std::lock_guard lk(mu_);
  model_.setAmbient(c);
}
void MicroSim::setTimeScale(double s) {
  std::lock_guard lk(mu_);
  timeScale_ = std::isfinite(s) ? std::clamp(s, 0.0, 10000.0) : 1.0;
}
void MicroSim::advance(double seconds) {
  std::lock_guard lk(mu_);
  model_.advance(seconds);
}

void MicroSim::applyFaultLocked(Fault f, bool on) {
  switch (f) {
    case Fault::Silent: silent_ = on; break;
    case Fault::Slow: slow_ = on; break;
    case Fault::Garble: garble_ = on; break;
    case Fault::Error: error_ = on; break;
    case Fault::Overlong: overlong_ = on; break;
    case Fault::Hot:
      hot_ = on;
      model_.setHeatSinkFloor(on ? std::optional<double>(opts_.hotTempC) : std::nullopt);
      break;
    case Fault::Reset:
      if (on) model_.reset();
      break;
    case Fault::Swr:
      if (on) model_.tripSwr();
      break;
  }
}

void MicroSim::injectFault(Fault f) {
  std::lock_guard lk(mu_);
  applyFaultLocked(f, true);
}
void MicroSim::clearFault(Fault f) {
  std::lock_guard lk(mu_);
  applyFaultLocked(f, false);
}
void MicroSim::clearFaults() {
  std::lock_guard lk(mu_);
  for (Fault f : {Fault::Silent, Fault::Slow, Fault::Garble, Fault::Error, Fault::Overlong, Fault::Hot})
    applyFaultLocked(f, false);
}
bool MicroSim::faultActive(Fault f) const {
  std::lock_guard lk(mu_);
  switch (f) {
    case Fault::Silent: return silent_;
    case Fault::Slow: return slow_;
    case Fault::Garble: return garble_;
    case Fault::Error: return error_;
    case Fault::Overlong: return overlong_;
    case Fault::Hot: return hot_;
    default: return false;
  }
}

std::vector<std::string> MicroSim::received() const {
  std::lock_guard lk(mu_);
  std::vector<std::string> out;
  out.reserve(log_.size());
  for (const auto& r : log_) out.push_back(r.text);
  return out;
}
std::vector<ReceivedCommand> MicroSim::receivedTimed() const {
  std::lock_guard lk(mu_);
  return {log_.begin(), log_.end()};
}
void MicroSim::clearReceived() {
  std::lock_guard lk(mu_);
  log_.clear();
}
uint64_t MicroSim::receivedDropped() const {
  std::lock_guard lk(mu_);
  return dropped_;
}
MicroSnapshot MicroSim::snapshot() const {
  std::lock_guard lk(mu_);
  return model_.snapshot();
}

namespace {
bool number(const std::string& s, double& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  out = v;
  return true;
}
}  // namespace

void MicroSim::addControlHandler(ControlHandler handler) {
  std::lock_guard lk(handlersMu_);
  handlers_.push_back(std::move(handler));
}

std::string MicroSim::command(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string t; in >> t && w.size() < 8;) w.push_back(t);
  if (w.empty()) return "error: empty line";
  const std::string& c = w[0];
  double v = 0;
  if (c == "tx" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
    setTx(w[1] == "on");
    return "ok tx " + w[1];
  }
  if (c == "drive" && w.size() == 2 && number(w[1], v) && v >= 0 && v <= 200) {
    setDrive(v);
    return "ok drive " + w[1];
  }
  if (c == "freq" && w.size() == 2 && number(w[1], v) && v >= 0 && v < 1e11) {
    setFrequency(static_cast<uint64_t>(std::llround(v)));
    return "ok freq " + w[1];
  }
  // The range check comes first: a number far beyond int would make the conversion undefined.
  if (c == "model" && w.size() == 2 && number(w[1], v) && v >= 0 && v <= 1000 && setModel(static_cast<int>(v)))
    return "ok model " + w[1];
  if (c == "fault" && w.size() >= 2) {
    if (w[1] == "none") {
      clearFaults();
      return "ok faults cleared";
    }
    const auto f = faultFromName(w[1]);
    if (!f) return "error: unknown fault '" + printable(w[1]) + "'";
    if (w.size() == 3 && w[2] == "off") {
      clearFault(*f);
      return std::string("ok fault ") + faultName(*f) + " off";
    }
    injectFault(*f);
    return std::string("ok fault ") + faultName(*f);
  }
  if (c == "antenna-load" && w.size() >= 3 && number(w[1], v) && v >= 1 && v <= 3) {
    const int ant = static_cast<int>(v);
    if (w[2] == "auto" && w.size() == 3) {
      setAntennaLoad(ant, std::nullopt);
      return "ok antenna " + w[1] + " follows frequency";
    }
    double r = 0, x = 0;
    if (w.size() == 4 && number(w[2], r) && number(w[3], x) && r >= 0) {
      setAntennaLoad(ant, std::complex<double>(r, x));
      return "ok antenna " + w[1] + " load " + w[2] + " " + w[3];
    }
  }
  if (c == "ambient" && w.size() == 2 && number(w[1], v) && v > -40 && v < 80) {
    setAmbient(v);
    return "ok ambient " + w[1];
  }
  if (c == "speed" && w.size() == 2 && number(w[1], v) && v >= 0 && v <= 10000) {
    setTimeScale(v);
    return "ok speed " + w[1];
  }
  if (c == "advance" && w.size() == 2 && number(w[1], v) && v >= 0 && v <= 3600) {
    advance(v);
    return "ok advanced " + w[1] + " s";
  }
  if (c == "counter" && w.size() == 2 && (w[1] == "rf" || w[1] == "always")) {
    std::lock_guard lk(mu_);
    model_.setCounterNeedsRf(w[1] == "rf");
    return "ok counter " + w[1];
  }
  if (c == "dump" && w.size() == 1) {
    std::lock_guard lk(mu_);
    std::string d = model_.dump();
    d += "faults injected:";
    for (auto [on, n] : {std::pair{silent_, "silent"},
                         {slow_, "slow"},
                         {garble_, "garble"},
                         {error_, "error"},
                         {overlong_, "overlong"},
                         {hot_, "hot"}})
      if (on) d += std::string(" ") + n;
    d += "\n";
    return d;
  }
  std::vector<ControlHandler> handlers;
  {
    std::lock_guard lk(handlersMu_);
    handlers = handlers_;
  }
  for (const ControlHandler& h : handlers)
    if (std::optional<std::string> answer = h(line)) return *answer;
  if (c == "help")
    return "tx on|off; drive W; freq HZ; model 60|120; fault silent|slow|garble|error|overlong|"
           "reset|hot|swr [off]; fault none; antenna-load N R X|auto; ambient C; speed X; "
           "advance S; counter rf|always; dump";
  return "error: not understood: '" + printable(line.substr(0, 80)) + "'";
}

}  // namespace sim
