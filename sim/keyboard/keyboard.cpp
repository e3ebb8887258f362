// Simulated service keyboard: the events a USB keyboard would send, written into the root's FIFO.
#include "sim/keyboard/keyboard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sim {

std::string keyboardPath(const std::string& root) { return root + "/dev/input/by-id/sim-event-kbd"; }

bool makeKeyboard(const std::string& root) {
  const std::string path = keyboardPath(root);
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISFIFO(st.st_mode)) return true;
    unlink(path.c_str());
  }
  if (mkfifo(path.c_str(), 0600) != 0) {
    fprintf(stderr, "sim keyboard: cannot create %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

int keyCode(const std::string& name) {
  struct Named {
    const char* name;
    int code;
  } static const kNames[] = {
      {"F1", KEY_F1},       {"F2", KEY_F2},       {"F3", KEY_F3},       {"F4", KEY_F4},       {"F5", KEY_F5},
      {"F6", KEY_F6},       {"F7", KEY_F7},       {"F8", KEY_F8},       {"F9", KEY_F9},       {"F10", KEY_F10},
      {"F11", KEY_F11},     {"F12", KEY_F12},     {"PRINT", KEY_SYSRQ}, {"SYSRQ", KEY_SYSRQ}, {"ESC", KEY_ESC},
      {"ENTER", KEY_ENTER}, {"SPACE", KEY_SPACE},
  };
  for (const Named& n : kNames)
    if (name == n.name) return n.code;
  static const int kLetters[26] = {KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I,
                                   KEY_J, KEY_K, KEY_L, KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R,
                                   KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};
  static const int kDigits[10] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};
  if (name.size() == 1 && name[0] >= 'A' && name[0] <= 'Z') return kLetters[name[0] - 'A'];
  if (name.size() == 1 && name[0] >= '0' && name[0] <= '9') return kDigits[name[0] - '0'];
  return -1;
}

input_event inputEvent(int type, int code, int value) {
  input_event ev{};
  ev.type = static_cast<__u16>(type);
  ev.code = static_cast<__u16>(code);
  ev.value = value;
  return ev;
}

std::vector<input_event> keyStroke(int code, int repeats) {
  std::vector<input_event> evs;
  auto key = [&](int value) {
    evs.push_back(inputEvent(EV_MSC, MSC_SCAN, 0x70000 + code));
    evs.push_back(inputEvent(EV_KEY, code, value));
    evs.push_back(inputEvent(EV_SYN, SYN_REPORT, 0));
  };
  key(1);
  for (int i = 0; i < repeats; ++i) key(2);
  key(0);
  return evs;
}

std::string writeKeyEvents(const std::string& root, const std::vector<input_event>& events) {
  const std::string path = keyboardPath(root);
  // Never waits: without a reader (the program not started, or not reading yet) the write fails.
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENXIO ? "nobody reads the keyboard" : std::string("cannot open ") + strerror(errno);
  const size_t bytes = events.size() * sizeof(input_event);
  const ssize_t n = write(fd, events.data(), bytes);
  const int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(bytes)) return n < 0 ? std::string("cannot write: ") + strerror(err) : "short write";
  return "";
}

std::optional<std::string> keyboardCommand(const std::string& root, const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string t; in >> t && w.size() < 6;) w.push_back(t);
  if (w.empty() || w[0] != "kbd") return std::nullopt;
  auto number = [](const std::string& s, long lo, long hi, long& out) {
    char* end = nullptr;
    errno = 0;
    out = strtol(s.c_str(), &end, 0);
    return end != s.c_str() && *end == '\0' && errno == 0 && out >= lo && out <= hi;
  };
  std::vector<input_event> evs;
  if (w.size() == 5 && w[1] == "raw") {
    long type = 0, code = 0, value = 0;
    if (!number(w[2], 0, 0xffff, type) || !number(w[3], 0, 0xffff, code) ||
        !number(w[4], -2147483648L, 2147483647L, value))
      return "error: kbd raw TYPE CODE VALUE";
    evs.push_back(inputEvent(static_cast<int>(type), static_cast<int>(code), static_cast<int>(value)));
  } else if (w.size() == 2 || (w.size() == 4 && w[2] == "hold")) {
    const int code = keyCode(w[1]);
    if (code < 0) return "error: unknown key '" + w[1].substr(0, 20) + "'";
    long repeats = 0;
    // 50 repeats (2 s of a held key) keep the stroke within one atomic FIFO write.
    if (w.size() == 4 && !number(w[3], 0, 50, repeats)) return "error: kbd KEY hold N, N from 0 to 50";
    evs = keyStroke(code, static_cast<int>(repeats));
  } else {
    return "error: kbd KEY [hold N] | kbd raw TYPE CODE VALUE";
  }
  const std::string err = writeKeyEvents(root, evs);
  if (!err.empty()) return "error: " + err;
  return "ok " + line;
}

}  // namespace sim
