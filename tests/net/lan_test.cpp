// Tests of the LAN settings: octet edits, address texts, and the read-edit-save of the interfaces file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "net/lan.h"
#include "tests/testlib/temp_root.h"

using testlib::LogCapture;
using testlib::TempRoot;

namespace {

const char* kRecord = "echo \"$(basename \"$0\") $*\" >> \"$(dirname \"$0\")/../var/log/commands.log\"\n";

void setQuad(LanOctet* o, int a, int b, int c, int d) {
  o[0] = static_cast<uint8_t>(a);
  o[1] = static_cast<uint8_t>(b);
  o[2] = static_cast<uint8_t>(c);
  o[3] = static_cast<uint8_t>(d);
}

std::string quad(const LanOctet* o) {
  char t[16];
  SplitAddrInv(t, o);
  return t;
}

std::vector<std::string> linesOf(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    cur += c;
    if (c == '\n') out.push_back(std::move(cur)), cur.clear();
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// The line numbers (0-based) where two texts differ; both must have the same number of lines.
std::vector<int> changedLines(const std::string& before, const std::string& after) {
  auto a = linesOf(before), b = linesOf(after);
  EXPECT_EQ(a.size(), b.size());
  std::vector<int> diff;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] != b[i]) diff.push_back(static_cast<int>(i));
  return diff;
}

class Lan : public ::testing::Test {
 protected:
  void SetUp() override {
    root.activate();
    for (const char* cmd : {"ifdown", "ifup"}) root.standIn(cmd, std::string("#!/bin/sh\n") + kRecord + "exit 0\n");
    root.standIn("sudo", std::string("#!/bin/sh\n") + kRecord + "exec \"$@\"\n");
    for (LanOctet* o : {IP_v, NetMask_v, Gateway_v, DNS_v}) setQuad(o, 0, 0, 0, 0);
    Gateway_none = DNS_none = 0;
  }
  std::string file() const { return root.read("/etc/network/interfaces"); }
  std::string commands() const { return root.read("/var/log/commands.log"); }
  TempRoot root;
};

}  // namespace

TEST(LanEdit, ModifyIpStepsWrapAndRefusesBadInput) {
  struct Case {
    int action, cursor, octet;  // octet: the value under the cursor before
    int wantCursor, wantOctet;
  } cases[] = {
      {kLanOctetUp, 3, 255, 3, 0},
      {kLanOctetDown, 3, 0, 3, 255},
      {kLanOctetUp, 0, 191, 0, 192},
      {kLanOctetDown, 1, 1, 1, 0},
      {kLanCursorRight, 3, 7, 0, 7},
      {kLanCursorLeft, 0, 7, 3, 7},
      {kLanCursorLeft, 2, 7, 1, 7},
      {kLanCursorRight, 1, 7, 2, 7},
      {0, 2, 7, 2, 7},
      {9, 2, 7, 2, 7},
  };
  for (const Case& c : cases) {
    LanOctet o[4];
    setQuad(o, 10, 20, 30, 40);
    o[c.cursor] = static_cast<uint8_t>(c.octet);
    EXPECT_EQ(ModifyIP(c.action, c.cursor, o), c.wantCursor) << c.action << " at " << c.cursor;
    EXPECT_EQ(o[c.cursor].load(), c.wantOctet) << c.action << " at " << c.cursor;
    for (int i = 0; i < 4; ++i) {
      if (i != c.cursor) {
        EXPECT_EQ(o[i].load(), (i + 1) * 10) << "octet " << i << " moved";
      }
    }
  }
  LogCapture log;
  LanOctet o[4];
  setQuad(o, 1, 2, 3, 4);
  for (int bad : {-1, 4, 1000}) {
    EXPECT_EQ(ModifyIP(kLanOctetUp, bad, o), 3);
    EXPECT_EQ(quad(o), "1.2.3.4");
  }
  EXPECT_EQ(log.count("is not an octet"), 3u);
  ModifyIP(9, 0, o);
  EXPECT_TRUE(log.contains("unknown action 9"));
}

TEST(LanEdit, SplitAddrTakesOnlyFourBytesAndInvertsExactly) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"192.168.1.50", true},       {"0.0.0.0", true},    {"255.255.255.255", true},
      {"010.001.000.009", true},    {"192.168.1", false}, {"1.2.3.4.5", false},
      {"256.1.1.1", false},         {"1..2.3", false},    {"", false},
      {"a.b.c.d", false},           {"1.2.3.4 ", false},  {"1.2.3.-4", false},
      {"1.2.3.0004", false},        {".1.2.3", false},    {"1.2.3.4.", false},
      {"99999999999.1.1.1", false},
  };
  LogCapture log;
  for (const Case& c : cases) {
    LanOctet o[4];
    setQuad(o, 9, 8, 7, 6);
    EXPECT_EQ(SplitAddr(c.text, o), c.ok ? 0 : -1) << c.text;
    if (!c.ok) {
      EXPECT_EQ(quad(o), "9.8.7.6") << c.text << ": a refused text changed the octets";
    }
  }
  EXPECT_EQ(log.count("not taken"), 12u);
  LanOctet o[4];
  ASSERT_EQ(SplitAddr("010.001.000.009", o), 0);
  EXPECT_EQ(quad(o), "10.1.0.9");
  setQuad(o, 255, 0, 128, 1);
  char text[16];
  SplitAddrInv(text, o);
  EXPECT_STREQ(text, "255.0.128.1");
}

// The unit's plain file: every value read, one octet edited, only that line changes, then the restart.
TEST_F(Lan, ReadEditSaveRewritesTheChangedValueAndRestartsTheInterfaces) {
  const std::string before =
      "# interfaces(5) file used by ifup(8) and ifdown(8)\nauto lo\niface lo inet loopback\n\n"
      "auto eth0\niface eth0 inet static\naddress 192.168.1.50\nnetmask 255.255.255.0\ngateway 192.168.1.1\n"
      "nameserver 8.8.4.4\n";
  root.write("/etc/network/interfaces", before);
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "192.168.1.50");
  EXPECT_STREQ(NetMask, "255.255.255.0");
  EXPECT_STREQ(Gateway, "192.168.1.1");
  EXPECT_STREQ(DNS, "8.8.4.4");
  EXPECT_EQ(quad(IP_v), "192.168.1.50");
  EXPECT_EQ(quad(NetMask_v), "255.255.255.0");
  EXPECT_EQ(quad(Gateway_v), "192.168.1.1");
  EXPECT_EQ(quad(DNS_v), "8.8.4.4");
  EXPECT_EQ(Gateway_none.load(), 0);
  EXPECT_EQ(DNS_none.load(), 0);
  // 50 -> 51 on the last octet, then 255.255.255.0 -> 255.255.254.0 on the third.
  EXPECT_EQ(ModifyIP(kLanOctetUp, 3, IP_v), 3);
  EXPECT_EQ(ModifyIP(kLanOctetDown, 2, NetMask_v), 2);
  EXPECT_EQ(SaveLanParam(), 0);
  const std::string after = file();
  EXPECT_EQ(changedLines(before, after), (std::vector<int>{6, 7})) << after;
  EXPECT_NE(after.find("\naddress 192.168.1.51\nnetmask 255.255.254.0\ngateway 192.168.1.1\n"), std::string::npos);
  // The root is made writable first and the interfaces restart after the write, loopback excluded.
  const std::string cmds = commands();
  const size_t mount = cmds.find("mount -o remount defaults,rw " + root.path() + "/\n"),
               down = cmds.find("sudo ifdown --exclude=lo -a\nifdown --exclude=lo -a\n"),
               up = cmds.find("sudo ifup --exclude=lo -a\nifup --exclude=lo -a\n");
  ASSERT_NE(mount, std::string::npos) << cmds;
  ASSERT_NE(down, std::string::npos) << cmds;
  ASSERT_NE(up, std::string::npos) << cmds;
  EXPECT_LT(mount, down);
  EXPECT_LT(down, up);
  // Read back, the file gives what was saved.
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "192.168.1.51");
}

// Each file is read, saved with the edits, and compared with what must come out.
TEST_F(Lan, FileShapesReadAndWrittenBack) {
  struct Case {
    const char* name;
    std::string in;
    const char *ip, *gateway, *dns;
    int gatewayNone, dnsNone;
    std::string out;  // after address +1 on the last octet and gateway/DNS octets edited
  } cases[] = {
      {"gateway without a value is written back as the keyword and a blank",
       "iface eth0 inet static\naddress 10.0.0.2\nnetmask 255.0.0.0\ngateway\nnameserver 10.0.0.1\n", "10.0.0.2", "",
       "10.0.0.1", 1, 0,
       "iface eth0 inet static\naddress 10.0.0.3\nnetmask 255.0.0.0\ngateway \nnameserver 10.0.0.2\n"},
      {"no nameserver line: none is added",
       "iface eth0 inet static\naddress 10.0.0.2\nnetmask 255.0.0.0\ngateway 10.0.0.1\n", "10.0.0.2", "10.0.0.1", "", 0,
       1, "iface eth0 inet static\naddress 10.0.0.3\nnetmask 255.0.0.0\ngateway 10.0.0.2\n"},
      {"Debian's indented layout keeps its indentation",
       "auto eth0\niface eth0 inet static\n    address 10.0.0.2\n\tnetmask 255.0.0.0\n  gateway   10.0.0.1  \n",
       "10.0.0.2", "10.0.0.1", "", 0, 1,
       "auto eth0\niface eth0 inet static\n    address 10.0.0.3\n\tnetmask 255.0.0.0\n  gateway 10.0.0.2\n"},
      {"a second interface is left byte for byte",
       "iface eth0 inet static\n address 10.0.0.2\n gateway 10.0.0.1\n nameserver 1.1.1.1\n"
       "iface eth1 inet static\n address 172.16.0.9\n netmask 255.255.0.0\n gateway 172.16.0.1\n",
       "10.0.0.2", "10.0.0.1", "1.1.1.1", 0, 0,
       "iface eth0 inet static\n address 10.0.0.3\n gateway 10.0.0.2\n nameserver 1.1.1.2\n"
       "iface eth1 inet static\n address 172.16.0.9\n netmask 255.255.0.0\n gateway 172.16.0.1\n"},
      {"an interface without an address comes first",
       "auto lo\niface lo inet loopback\n gateway 9.9.9.9\niface eth0 inet static\n address 10.0.0.2\n"
       " gateway 10.0.0.1\n",
       "10.0.0.2", "10.0.0.1", "", 0, 1,
       "auto lo\niface lo inet loopback\n gateway 9.9.9.9\niface eth0 inet static\n address 10.0.0.3\n"
       " gateway 10.0.0.2\n"},
      {"a prefix length and CRLF line ends are kept; the last line has no line end",
       "iface eth0 inet static\r\naddress 10.0.0.2/8\r\ngateway 10.0.0.1\r\nnameserver 10.0.0.1", "10.0.0.2/8",
       "10.0.0.1", "10.0.0.1", 0, 0,
       "iface eth0 inet static\r\naddress 10.0.0.3/8\r\ngateway 10.0.0.2\r\nnameserver 10.0.0.2"},
      {"a second address line of the same interface is not touched",
       "iface eth0 inet static\naddress 10.0.0.2\naddress 10.0.0.7\n", "10.0.0.2", "", "", 1, 1,
       "iface eth0 inet static\naddress 10.0.0.3\naddress 10.0.0.7\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    root.write("/etc/network/interfaces", c.in);
    ASSERT_EQ(ReadLanParam(), 0);
    EXPECT_STREQ(IP, c.ip);
    EXPECT_STREQ(Gateway, c.gateway);
    EXPECT_STREQ(DNS, c.dns);
    EXPECT_EQ(Gateway_none.load(), c.gatewayNone);
    EXPECT_EQ(DNS_none.load(), c.dnsNone);
    ModifyIP(kLanOctetUp, 3, IP_v);
    ModifyIP(kLanOctetUp, 3, Gateway_v);
    ModifyIP(kLanOctetUp, 3, DNS_v);
    EXPECT_EQ(SaveLanParam(), 0);
    EXPECT_EQ(file(), c.out);
  }
}

// A long file of the operator's: comments, lines far past 127 characters, a second interface.
TEST_F(Lan, TwoHundredLineFileKeepsEveryByteButTheChangedLines) {
  std::string before;
  std::vector<int> valueLines;
  auto add = [&](const std::string& line) { before += line + "\n"; };
  for (int i = 0; i < 90; ++i)
    add(i % 7 == 0 ? "# " + std::string(200 + i, static_cast<char>('a' + i % 26)) : "# note " + std::to_string(i));
  add("auto eth0");
  add("iface eth0 inet static");
  add("    # the office network; address below is the panel's");
  valueLines.push_back(static_cast<int>(linesOf(before).size()));
  add("    address 192.168.10.20");
  valueLines.push_back(static_cast<int>(linesOf(before).size()));
  add("    netmask 255.255.255.0");
  add("    hwaddress ether 02:00:00:00:00:01");
  valueLines.push_back(static_cast<int>(linesOf(before).size()));
  add("    gateway 192.168.10.1");
  add("    up ip route add 10.9.0.0/16 via 192.168.10.254 " + std::string(150, 'x'));
  for (int i = 0; i < 50; ++i) add(i % 2 ? "" : "# spacer " + std::to_string(i));
  add("auto eth1");
  add("iface eth1 inet static");
  add("    address 10.1.1.1");
  add("    netmask 255.255.0.0");
  add("    gateway 10.1.0.1");
  add("    nameserver 10.1.0.2");
  while (linesOf(before).size() < 200) add("# tail " + std::to_string(linesOf(before).size()));
  ASSERT_EQ(linesOf(before).size(), 200u);
  root.write("/etc/network/interfaces", before);

  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "192.168.10.20");
  EXPECT_EQ(DNS_none.load(), 1) << "the second interface's name server was taken";
  SplitAddr("192.168.10.99", IP_v);
  SplitAddr("255.255.0.0", NetMask_v);
  SplitAddr("192.168.10.2", Gateway_v);
  ASSERT_EQ(SaveLanParam(), 0);
  const std::string after = file();
  EXPECT_EQ(changedLines(before, after), valueLines);
  auto a = linesOf(after);
  EXPECT_EQ(a[valueLines[0]], "    address 192.168.10.99\n");
  EXPECT_EQ(a[valueLines[1]], "    netmask 255.255.0.0\n");
  EXPECT_EQ(a[valueLines[2]], "    gateway 192.168.10.2\n");
}

// Bad files and bad values: a log line, no change of state, nothing lost.
TEST_F(Lan, DamagedFilesAndValuesChangeNothing) {
  LogCapture log;
  // Garbage: nothing read, nothing written, no restart.
  root.write("/etc/network/interfaces", "address 1.2.3.4\n");
  ASSERT_EQ(ReadLanParam(), 0);
  const std::string garbage("address 9.9.9.9\n\0\x01\xff garbage", 27);
  root.write("/etc/network/interfaces", garbage);
  EXPECT_EQ(ReadLanParam(), -1);
  EXPECT_STREQ(IP, "1.2.3.4");
  EXPECT_EQ(quad(IP_v), "1.2.3.4");
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_EQ(file(), garbage);
  EXPECT_EQ(commands().find("ifdown"), std::string::npos);
  EXPECT_TRUE(log.contains("NUL bytes"));

  // Missing file.
  unlink(root.file("/etc/network/interfaces").c_str());
  EXPECT_EQ(ReadLanParam(), -1);
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_FALSE(root.exists("/etc/network/interfaces"));
  EXPECT_TRUE(log.contains("/etc/network/interfaces: missing"));

  // Truncated values: the octets keep what they held and the lines stay as written ...
  const std::string truncated =
      "iface eth0 inet static\naddress 192.168.1\nnetmask 255.255.255.0.0\ngateway 10.0.0.1\n";
  root.write("/etc/network/interfaces", truncated);
  setQuad(IP_v, 5, 6, 7, 8);
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_EQ(quad(IP_v), "5.6.7.8");
  EXPECT_EQ(log.count("not taken"), 2u);
  EXPECT_EQ(SaveLanParam(), 0);
  EXPECT_EQ(file(), truncated);
  EXPECT_TRUE(log.contains("address line \"address 192.168.1\" kept as it is"));
  // ... until the operator sets a new value.
  ModifyIP(kLanOctetUp, 3, IP_v);
  EXPECT_EQ(SaveLanParam(), 0);
  EXPECT_EQ(file(), "iface eth0 inet static\naddress 5.6.7.9\nnetmask 255.255.255.0.0\ngateway 10.0.0.1\n");

  // A value too long for its text.
  root.write("/etc/network/interfaces", "address 1.2.3.4" + std::string(40, ' ') + "x\n");
  EXPECT_EQ(ReadLanParam(), 0);
  EXPECT_TRUE(log.contains("too long to show whole"));
  // A long tail after the address: the address is still the one read, and saved unchanged.
  const std::string longTail = "address 1.2.3.4/" + std::string(60, '9') + "\n";
  root.write("/etc/network/interfaces", longTail);
  setQuad(IP_v, 7, 7, 7, 7);
  EXPECT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "1.2.3.4");
  EXPECT_EQ(SaveLanParam(), 0);
  EXPECT_EQ(file(), longTail);
}

TEST_F(Lan, FailedRemountWritesNothingAndTheRestartStatusIsReturned) {
  const std::string before = "iface eth0 inet static\naddress 10.0.0.2\n";
  root.write("/etc/network/interfaces", before);
  ASSERT_EQ(ReadLanParam(), 0);
  ModifyIP(kLanOctetUp, 3, IP_v);
  root.standIn("mount", std::string("#!/bin/sh\n") + kRecord + "exit 32\n");
  LogCapture log;
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_EQ(file(), before);
  EXPECT_TRUE(log.contains("can't mount rw / exit status 32"));
  EXPECT_EQ(commands().find("ifdown"), std::string::npos);
  // The restart's own status comes back; the file is written all the same.
  root.standIn("mount", "#!/bin/sh\nexit 0\n");
  root.standIn("ifup", "#!/bin/sh\nexit 3\n");
  EXPECT_EQ(SaveLanParam(), 3);
  EXPECT_EQ(file(), "iface eth0 inet static\naddress 10.0.0.3\n");
}

// Saves killed at random moments (a power cut): the file is always the old one or the new one.
TEST_F(Lan, SaveKilledMidwayLeavesTheOldOrTheNewFile) {
  for (const char* cmd : {"mount", "sudo"}) root.standIn(cmd, "#!/bin/sh\nexit 0\n");
  std::string before = "iface eth0 inet static\naddress 10.0.0.1\n";
  // Large enough that the write itself takes a while.
  for (int i = 0; i < 4000; ++i) before += "# padding line " + std::to_string(i) + std::string(100, '.') + "\n";
  root.write("/etc/network/interfaces", before);
  ASSERT_EQ(ReadLanParam(), 0);
  std::string a, b, why;
  SplitAddr("10.0.0.1", IP_v);
  ASSERT_TRUE(lanFileText(before, a, why));
  SplitAddr("10.0.0.2", IP_v);
  ASSERT_TRUE(lanFileText(before, b, why));
  ASSERT_NE(a, b);
  // Kills land anywhere in the first three saves, however slow this machine or build is.
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) SaveLanParam();
  const int saveUs = static_cast<int>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count() / 3);
  root.write("/etc/network/interfaces", before);
  SplitAddr("10.0.0.1", IP_v);
  std::mt19937 rng(11);
  int sawNew = 0;
  for (int round = 0; round < 25; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0;; ++i) {
        SplitAddr(i % 2 ? "10.0.0.1" : "10.0.0.2", IP_v);
        SaveLanParam();
      }
    }
    usleep(std::uniform_int_distribution<int>(0, 3 * saveUs)(rng));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const std::string now = file();
    ASSERT_TRUE(now == a || now == b) << "round " << round << ": a file of " << now.size() << " bytes";
    sawNew += now == b;
  }
  EXPECT_GT(sawNew, 0) << "no save ever finished: the test proved nothing";
  // Temporaries left behind are the saves that were cut inside the write.
  int cut = 0;
  for (const auto& e : std::filesystem::directory_iterator(root.file("/etc/network")))
    cut += e.path().filename().string().find(".tmp") != std::string::npos;
  printf("%d of 25 saves were killed inside the write\n", cut);
}
