// The network address entries: octet editing with the cursor, the highlighted octet, the save off the key thread.
#include <cstring>

#include "core/works.h"
#include "net/lan.h"
#include "tests/testlib/reference_image.h"
#include "tests/ui_menus/menus_fixture.h"
#include "ui/menu.h"

using LanEntries = menutest::ScreenFixture;

namespace {
void setOctets(LanOctet* o, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  o[0] = a;
  o[1] = b;
  o[2] = c;
  o[3] = d;
}
constexpr int kLeft = 2, kRight = 3, kMinus = 4, kPlus = 5, kEnter = 6;
std::string valueText(Works* w, int index) {
  char t[64];
  LoadParameterMenu(w, t, sizeof t, index, 0);
  return t;
}
}  // namespace

TEST_F(LanEntries, OctetsWrapAsBytesAndTheCursorWrapsAtBothEnds) {
  setOctets(IP_v, 192, 168, 1, 255);
  CntIP = 3;
  w->paramIndex = 9;
  w->menuPage = kPageParamEdit;
  const struct {
    int key;
    const char* text;
    int cursor;
  } steps[] = {{kPlus, "192.168.1.0", 3},    {kMinus, "192.168.1.255", 3}, {kRight, "192.168.1.255", 0},
               {kMinus, "191.168.1.255", 0}, {kLeft, "191.168.1.255", 3},  {kLeft, "191.168.1.255", 2},
               {kPlus, "191.168.2.255", 2}};
  for (const auto& s : steps) {
    press(s.key);
    EXPECT_EQ(valueText(w, 9), s.text);
    EXPECT_EQ(CntIP, s.cursor);
  }
}

TEST_F(LanEntries, AddressInEditMatchesItsReference) {
  setOctets(IP_v, 192, 168, 1, 20);
  setOctets(NetMask_v, 255, 255, 255, 0);
  setOctets(Gateway_v, 192, 168, 1, 1);
  CntNetMask = 2;
  w->paramIndex = 10;
  w->menuPage = kPageParamEdit;
  {
    std::lock_guard<std::mutex> lk(mem->s.drawMut);
    LoadButtons(w);
  }
  EXPECT_EQ(testlib::compareWithReference(testlib::imageOfBuffer(mem->s.workBuf, 800, 480, mem->s.lineSize),
                                          std::string(KORVANE_MENU_REFERENCES) + "/address-edit.png",
                                          {{"panel", 0, 285, 800, 365}, {"button bar", 0, 420, 800, 480}}),
            "");
}

TEST_F(LanEntries, EnterSavesTheSettingsAndRestartsTheNetworkOffTheKeyThread) {
  root.standIn("sudo", "#!/bin/sh\necho \"sudo $*\" >> \"$(dirname \"$0\")/../var/log/commands.log\"\nexit 0\n");
  root.write("/etc/network/interfaces", "auto eth0\niface eth0 inet static\naddress 10.0.0.2\nnetmask 255.0.0.0\n");
  setOctets(IP_v, 10, 0, 0, 9);
  w->paramIndex = 9;
  w->menuPage = kPageParamEdit;
  press(kEnter);
  EXPECT_EQ(w->menuPage, kPageParamList);
  FlushServiceJobs(w);
  EXPECT_NE(root.read("/etc/network/interfaces").find("address 10.0.0.9\n"), std::string::npos);
  EXPECT_NE(commands().find("sudo ifdown"), std::string::npos);
}
