// LAN settings of the board: read from /etc/network/interfaces, edited octet by octet, written back.
#include "net/lan.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "platform/shell.h"

char IP[32], NetMask[32], Gateway[32], DNS[32];
LanOctet IP_v[4], NetMask_v[4], Gateway_v[4], DNS_v[4];
std::atomic<uint8_t> Gateway_none{0}, DNS_none{0};
std::atomic<LanOctet*> LAN_vect{nullptr};
std::atomic<int> LAN_idx{0};

namespace {

const char* const kInterfaces = "/etc/network/interfaces";
// The operator's file is a few hundred bytes; anything near this size is not one.
constexpr size_t kMaxFileBytes = 1u << 20;

struct LanValue {
  const char* keyword;
  char* text;
  LanOctet* octets;
  std::atomic<uint8_t>* none;  // the two values that may be absent
};
LanValue g_values[4] = {{"address", IP, IP_v, nullptr},
                        {"netmask", NetMask, NetMask_v, nullptr},
                        {"gateway", Gateway, Gateway_v, &Gateway_none},
                        {"nameserver", DNS, DNS_v, &DNS_none}};

// The octets as the last read left them: a line whose value could not be read is written back
// only once the operator has changed its octets, so a value we do not understand is never lost.
uint8_t g_asRead[4][4];
// Reads and saves never overlap (a save may run off the key thread).
std::mutex g_lanMut;

struct Line {
  std::string_view body;    // without its line end
  std::string_view ending;  // "\n", "\r\n" or "" for a last line without one
};

std::vector<Line> splitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    size_t bodyEnd = end;
    if (nl != std::string_view::npos && bodyEnd > pos && text[bodyEnd - 1] == '\r') --bodyEnd;
    const size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
    lines.push_back({text.substr(pos, bodyEnd - pos), text.substr(bodyEnd, next - bodyEnd)});
    pos = next;
  }
  return lines;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The first blank-separated word, the blanks before it and the rest after the blanks that follow.
struct Words {
  std::string_view indent, word, rest;
};
Words words(std::string_view body) {
  Words w;
  size_t i = 0;
  while (i < body.size() && isBlank(body[i])) ++i;
  w.indent = body.substr(0, i);
  size_t j = i;
  while (j < body.size() && !isBlank(body[j])) ++j;
  w.word = body.substr(i, j - i);
  while (j < body.size() && isBlank(body[j])) ++j;
  size_t k = body.size();
  while (k > j && (isBlank(body[k - 1]) || body[k - 1] == '\r')) --k;
  w.rest = body.substr(j, k - j);
  return w;
}

// Lines that open a new part of the file: an interface's options end at the next of these.
bool opensStanza(std::string_view word) {
  return word == "iface" || word == "mapping" || word == "auto" || word == "source" || word == "source-directory" ||
         word.starts_with("allow-");
}

// For each of the four keywords, the index of its line in the first interface that has an address
// (the whole file when none has), or -1.
void findValueLines(const std::vector<Line>& lines, int found[4]) {
  const int n = static_cast<int>(lines.size());
  int first = 0, last = n;
  for (int i = 0; i < n; ++i) {
    if (words(lines[i].body).word != "address") continue;
    for (int s = i; s >= 0; --s)
      if (opensStanza(words(lines[s].body).word)) {
        first = s;
        break;
      }
    for (int e = i + 1; e < n; ++e)
      if (opensStanza(words(lines[e].body).word)) {
        last = e;
        break;
      }
    break;
  }
  for (int k = 0; k < 4; ++k) found[k] = -1;
  for (int i = first; i < last; ++i) {
    const std::string_view word = words(lines[i].body).word;
    for (int k = 0; k < 4; ++k)
      if (found[k] < 0 && word == g_values[k].keyword) found[k] = i;
  }
}

// A value for a log line: printable characters only, cut short.
std::string printable(std::string_view v) {
  std::string out;
  for (char c : v.substr(0, 40)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  if (v.size() > 40) out += "...";
  return out;
}

// "192.168.1.50/24": the address and what follows it (a prefix length), kept as written.
void splitSuffix(std::string_view value, std::string_view& addr, std::string_view& suffix) {
  const size_t slash = value.find('/');
  addr = value.substr(0, slash);
  suffix = slash == std::string_view::npos ? std::string_view() : value.substr(slash);
}

bool parseQuad(std::string_view text, uint8_t out[4]) {
  int part = 0;
  size_t i = 0;
  while (part < 4) {
    int value = 0, digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      value = value * 10 + (text[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    out[part++] = static_cast<uint8_t>(value);
    if (part < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  return i == text.size();
}

bool isText(std::string_view content, std::string& why) {
  if (content.size() > kMaxFileBytes) {
    why = "larger than " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  if (content.find('\0') != std::string_view::npos) {
    why = "not a text file (it holds NUL bytes)";
    return false;
  }
  return true;
}

std::string dotted(const LanOctet* o) {
  char text[16];
  SplitAddrInv(text, o);
  return text;
}

bool changedSinceRead(int k) {
  for (int i = 0; i < 4; ++i)
    if (g_values[k].octets[i].load() != g_asRead[k][i]) return true;
  return false;
}

// Reads the file or says why not (the unit's message for a file that cannot be opened).
bool readInterfaces(std::string& content) {
  if (!readWholeFile(rootPath(kInterfaces), content, kMaxFileBytes + 1)) {
    const int err = errno;
    ktrace("Error opening network connection configuration file. CODE: %d\n", err);
    klog(LOG_ERR, "%s: %s, LAN settings unchanged", kInterfaces, fileErrorText(err));
    return false;
  }
  std::string why;
  if (!isText(content, why)) {
    klog(LOG_ERR, "%s: %s, LAN settings unchanged", kInterfaces, why.c_str());
    return false;
  }
  return true;
}

}  // namespace

int SplitAddr(const char* text, LanOctet* octets) {
  uint8_t o[4];
  if (!text || !parseQuad(text, o)) {
    klog(LOG_ERR, "address \"%s\" is not four numbers from 0 to 255 with dots between, not taken",
         text ? printable(text).c_str() : "");
    return -1;
  }
  for (int i = 0; i < 4; ++i) octets[i] = o[i];
  return 0;
}

void SplitAddrInv(char* text, const LanOctet* octets) {
  snprintf(text, 16, "%i.%i.%i.%i", octets[0].load(), octets[1].load(), octets[2].load(), octets[3].load());
}

int ModifyIP(int action, int cursor, LanOctet* octets) {
  if (cursor < 0 || cursor > 3) {
    klog(LOG_ERR, "LAN edit: cursor %d is not an octet, back to the last one", cursor);
    return 3;
  }
  switch (action) {
    case kLanOctetDown: octets[cursor].fetch_sub(1); return cursor;  // 0 - 1 wraps to 255 in a byte
    case kLanOctetUp: octets[cursor].fetch_add(1); return cursor;
    case kLanCursorLeft: return cursor == 0 ? 3 : cursor - 1;
    case kLanCursorRight: return cursor == 3 ? 0 : cursor + 1;
    default: klog(LOG_ERR, "LAN edit: unknown action %d ignored", action); return cursor;
  }
}

int ReadLanParam() {
  std::lock_guard<std::mutex> lk(g_lanMut);
  std::string content;
  // A file that cannot be read changes nothing: what the screen shows stays as it was.
  if (!readInterfaces(content)) return -1;
  for (LanValue& v : g_values) v.text[0] = '\0';
  const std::vector<Line> lines = splitLines(content);
  int found[4];
  findValueLines(lines, found);
  for (int k = 0; k < 4; ++k) {
    LanValue& v = g_values[k];
    std::string_view value = found[k] >= 0 ? words(lines[found[k]].body).rest : std::string_view();
    std::string_view addr, suffix;
    splitSuffix(value, addr, suffix);
    // The octets come from the address itself, whatever follows it; the text holds what fits.
    if (!value.empty()) SplitAddr(std::string(addr).c_str(), v.octets);
    std::string_view shown = value.size() < sizeof IP ? value : addr.substr(0, sizeof IP - 1);
    if (value.size() >= sizeof IP)
      klog(LOG_ERR, "%s: %s value \"%s\" too long to show whole", kInterfaces, v.keyword, printable(value).c_str());
    shown.copy(v.text, shown.size());
    v.text[shown.size()] = '\0';
    if (v.none) {
      v.none->store(value.empty() ? 1 : 0);
    } else if (value.empty()) {
      klog(LOG_ERR, "%s: no %s value", kInterfaces, v.keyword);
    }
    for (int i = 0; i < 4; ++i) g_asRead[k][i] = v.octets[i].load();
  }
  ktrace("ip: %s\n", IP);
  ktrace("NetMask: %s\n", NetMask);
  if (!Gateway_none) ktrace("gateway: %s\n", Gateway);
  if (!DNS_none) ktrace("DNS: %s\n", DNS);
  ktrace("ReadLanParam DNS_none=%d Gateway_none=%d\n", DNS_none.load(), Gateway_none.load());
  return 0;
}

bool lanFileText(const std::string& in, std::string& out, std::string& why) {
  out.clear();
  if (!isText(in, why)) return false;
  const std::vector<Line> lines = splitLines(in);
  int found[4];
  findValueLines(lines, found);
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    const Line& line = lines[i];
    int k = 0;
    while (k < 4 && found[k] != i) ++k;
    if (k == 4) {
      out.append(line.body).append(line.ending);
      continue;
    }
    const LanValue& v = g_values[k];
    const Words w = words(line.body);
    std::string_view addr, suffix;
    splitSuffix(w.rest, addr, suffix);
    uint8_t unused[4];
    std::string value;
    bool rewrite = true;
    if (v.none && v.none->load()) {
      // Absent at start-up, absent in the file; a value written in since then is not ours to drop.
      rewrite = w.rest.empty();
    } else {
      value = dotted(v.octets) + std::string(suffix);
      // A value we could not read stays as written unless the operator has set a new one.
      rewrite = parseQuad(addr, unused) || changedSinceRead(k);
      if (!rewrite)
        klog(LOG_ERR, "%s: %s line \"%s\" kept as it is", kInterfaces, v.keyword, printable(line.body).c_str());
    }
    if (rewrite) {
      out.append(w.indent).append(v.keyword).append(" ").append(value).append(line.ending);
    } else {
      out.append(line.body).append(line.ending);
    }
  }
  return true;
}

int SaveLanParam() {
  std::lock_guard<std::mutex> lk(g_lanMut);
  const int mrc = runShell("mount -o remount defaults,rw " + rootPath("/"));
  if (mrc != 0) {
    klog(LOG_ERR, "can't mount rw / %s", shellStatusText(mrc).c_str());
    ktrace("can't mount rw / %s\n", shellStatusText(mrc).c_str());
    return -1;
  }
  std::string content, text, why;
  if (!readInterfaces(content)) return -1;
  if (!lanFileText(content, text, why)) {
    klog(LOG_ERR, "%s: %s, not rewritten", kInterfaces, why.c_str());
    return -1;
  }
  // A power cut leaves the old file or the new one: the board never boots without its network.
  if (text != content && !atomicWriteFile(rootPath(kInterfaces), text)) {
    klog(LOG_ERR, "can't write %s error %d -%s", kInterfaces, errno, strerror(errno));
    return -1;
  }
  ktrace("--->new ip: %s \n", dotted(IP_v).c_str());
  const int rc = runShell("sudo ifdown --exclude=lo -a && sudo ifup --exclude=lo -a");
  klog(rc == 0 ? LOG_INFO : LOG_ERR, "LAN settings saved (address %s), interfaces restarted: %s", dotted(IP_v).c_str(),
       shellStatusText(rc).c_str());
  return rc;
}
