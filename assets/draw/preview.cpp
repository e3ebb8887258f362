// Design aid: lays the program's live drawing (needles, labels, strips, keys) over the screens to judge the artwork.
#include "preview.h"

#include <cmath>
#include <string>

#include "ui/meter_geometry.h"
#include "ui/line_walk.h"

namespace artwork {

namespace mg = meter_geometry;

namespace {

// Plain one-pixel line, both ends included, as the display's primitive draws it.
void PixelLine(Canvas& c, int x0, int y0, int x1, int y1, Rgb col) {
  walkLine(x0, y0, x1, y1, [&](int x, int y) { c.Blend(x, y, col, 1); });
}

void Box(Canvas& c, int x0, int y0, int x1, int y1, Rgb col) {
  c.PaintRect(x0, y0, x1, y1, [col](double, double) { return col; });
}

void Outline(Canvas& c, int x0, int y0, int x1, int y1, Rgb col) {
  PixelLine(c, x0, y0, x0, y1, col);
  PixelLine(c, x1, y0, x1, y1, col);
  PixelLine(c, x0, y0, x1 - 1, y0, col);
  PixelLine(c, x0, y1, x1 - 1, y1, col);
}

void Needle(Canvas& c, mg::Pivot p, double value, double full_scale, Rgb col) {
  const mg::Point tip = mg::NeedleTip(p, mg::NeedleAngle(value, full_scale));
  for (int dx = -1; dx <= 1; ++dx) PixelLine(c, p.x + dx, p.y, static_cast<int>(tip.x), static_cast<int>(tip.y), col);
}

struct PreviewFonts {
  Font slot0, slot1, slot4, slot6, slot8, slot9, slot10;
  explicit PreviewFonts(const Fonts& f)
      : slot0(f.bold, 24),
        slot1(f.regular, 22),
        slot4(f.bold, 24),
        slot6(f.regular, 14),
        slot8(f.regular, 20),
        slot9(f.regular, 30),
        slot10(f.regular, 18) {}
};

const Rgb kBlack{0, 0, 0}, kWhite{255, 255, 255}, kOrange{250, 150, 0}, kRed{255, 0, 0};

void KeyBar(Canvas& c, const PreviewFonts& f) {
  for (int j = 0; j < 5; ++j) Box(c, 133 * j, 420, 133 * j + 130, 480, Rgb{40, 40, 40});
  Box(c, 665, 420, 799, 480, Rgb{40, 40, 40});
  for (int x : {130, 263, 396, 529, 662, 799}) PixelLine(c, x, 420, x, 479, Rgb{120, 120, 120});
  const char* top[] = {"  MEM", " IN-ATT", "   ANT", "  TUNE", "   SET", "   VIEW "};
  const char* bottom[] = {"BANK0", "  0dB", "     1", " ", " ", "    1"};
  const int tx[] = {20, 143, 276, 409, 542, 675}, bx[] = {30, 153, 286, 419, 552, 695};
  for (int k = 0; k < 6; ++k) {
    f.slot0.Draw(c, tx[k], 445, top[k], kOrange);
    f.slot1.Draw(c, bx[k], 472, bottom[k], kOrange);
  }
}

void Strips(Canvas& c, const PreviewFonts& f) {
  const int x0s[] = {1, 115, 265, 405, 525, 605, 715}, x1s[] = {110, 260, 400, 520, 600, 710, 799};
  const int tx[] = {10, 125, 275, 415, 535, 615, 725};
  const char* text[] = {"HVZBIX", "  Coax:RTX", "Band:20m", "Att 0dB", "Ant 1", "Atu: On", "Local"};
  for (int i = 0; i < 7; ++i) {
    Outline(c, x0s[i], 278, x1s[i], 303, Rgb{200, 200, 200});
    f.slot8.Draw(c, tx[i], 298, text[i], Rgb{0, 200, 255});
  }
  Outline(c, 1, 307, 400, 332, Rgb{100, 100, 100});
  Outline(c, 405, 307, 799, 332, Rgb{100, 100, 100});
  f.slot8.Draw(c, 10, 327, "PA Temp1: 31.5\u00B0C      Temp2: 29.0\u00B0C", Rgb{0, 200, 0});
  f.slot8.Draw(c, 415, 327, "PA Voltage: 13.6V       Current: 08.2A", Rgb{0, 200, 0});
}

void DateLine(Canvas& c, const PreviewFonts& f) {
  const char* date = "07/12/2025 21:30:00";
  f.slot6.Draw(c, 780 - f.slot6.Measure(date).advance, 17, date, kWhite);
}

void Tile(Canvas& c, const PreviewFonts& f, int x0, int x1, bool red, const char* l1, const char* l2) {
  Box(c, x0, 370, x1, 415, red ? Rgb{255, 30, 0} : Rgb{250, 150, 0});
  PixelLine(c, x0, 370, x0, 415, kWhite);
  PixelLine(c, x1, 370, x1, 415, kWhite);
  PixelLine(c, x0 + 1, 370, x1, 370, kWhite);
  PixelLine(c, x0 + 1, 415, x1, 415, kWhite);
  f.slot10.Draw(c, x0 + 4, 390, l1, Rgb{250, 250, 250});
  f.slot10.Draw(c, x0 + 4, 410, l2, Rgb{250, 250, 250});
}

}  // namespace

std::vector<NamedScreen> DrawPreviews(const std::vector<NamedScreen>& screens, const Fonts& fonts) {
  const PreviewFonts f(fonts);
  std::vector<NamedScreen> out;
  for (const NamedScreen& s : screens) {
    NamedScreen p{s.name + "-preview", s.canvas};
    Canvas& c = p.canvas;
    const bool b = s.name.ends_with("b") && s.name != "statusB";
    if (s.name.starts_with("img")) {
      const double fwd_fs = b ? mg::kFullScaleFwd120 : mg::kFullScaleFwd;
      DateLine(c, f);
      KeyBar(c, f);
      Strips(c, f);
      f.slot8.Draw(c, 5, 350, "Entering second function...", Rgb{250, 250, 250});
      Tile(c, f, 5, 130, true, "HI SWR", "error");
      Tile(c, f, 133, 263, false, "Auto Tune", "timeout");
      Needle(c, mg::kPivotLeft, b ? 80 : 40, fwd_fs, kBlack);
      Needle(c, mg::kPivotLeft, b ? 70 : 35, fwd_fs, kRed);
      if (s.name.starts_with("img3")) {
        Needle(c, mg::kPivotRight, mg::SwrScalePosition(1.75), mg::kFullScaleSwr, kRed);
        f.slot8.Draw(c, 570, 160, "SWR", kBlack);
        f.slot8.Draw(c, 580, 180, "1.8", kBlack);
      } else {
        Needle(c, mg::kPivotRight, 3, mg::kFullScaleRefl, kRed);
        f.slot8.Draw(c, 535, 160, "REFLECTED", kBlack);
        f.slot8.Draw(c, 565, 180, "3.0W", kBlack);
      }
      f.slot4.Draw(c, 339, 52, "14.070MHz", kBlack);
      f.slot8.Draw(c, 155, 160, "FORWARD", kBlack);
      f.slot8.Draw(c, 180, 180, b ? "70.0W" : "35.0W", kBlack);
      Box(c, 375, 175, 430, 210, Rgb{250, 0, 0});
      f.slot8.Draw(c, 390, 200, "TX", kWhite);
    } else if (s.name == "m5a") {
      DateLine(c, f);
      KeyBar(c, f);
      Strips(c, f);
      f.slot8.Draw(c, 35, 43, "dBm", Rgb{180, 180, 180});
      for (int i = 0; i <= 10; ++i) {
        PixelLine(c, 70, 60 + 17 * i, 758, 60 + 17 * i, Rgb{120, 120, 120});
        f.slot8.Draw(c, 35, 60 + 17 * i, std::to_string(-10 - 10 * i).c_str(), Rgb{180, 180, 180});
      }
      for (int i = 0; i <= 16; ++i) {
        const int x = 70 + 43 * i, m = 10 * i - 80;
        PixelLine(c, x, 60, x, 230, Rgb{120, 120, 120});
        const std::string label = m == 0 ? "0" : (m < 0 ? std::to_string(m) : "+" + std::to_string(m));
        f.slot6.Draw(c, m == 0 ? x : x - 10, 243, label.c_str(), Rgb{180, 180, 180});
      }
      int prev = 0;
      for (int i = 0; i < 688; ++i) {
        const double level = -100 + 6 * std::sin(i * 0.37) * std::sin(i * 0.05) +
                             55 * std::exp(-std::pow((i - 300) / 6.0, 2)) +
                             35 * std::exp(-std::pow((i - 520) / 4.0, 2));
        const int y = std::clamp(static_cast<int>(230 - (level + 110) / 100 * 170), 60, 230);
        if (i) PixelLine(c, 69 + i, prev, 70 + i, y, Rgb{250, 0, 150});
        prev = y;
      }
      f.slot4.Draw(c, 339, 52, "14.070MHz", kOrange);
    } else if (s.name == "status") {
      KeyBar(c, f);
      const char* titles[] = {"VERSION", "SN", "POWER",  "FREQUENCY", "TEMPERATURE", "", "",
                              "LAN",     "",   "STATUS", "",          "AMPL"};
      const char* values[] = {"SW ver. 0.047, FW ver. 2.31",
                              "K0042 (EU), TYPE: EU, MAXPOWER: 60W",
                              "FWD:35.0, RFL:0.4 , PW:2.1, SWR:1.2",
                              "14070000Hz",
                              "Current:008.2A (2391.0), Tbrd:31.50\u00B0C, Thsk:29.00\u00B0C",
                              "CPU:48.3\u00B0C, GPU:48.3\u00B0C",
                              "Set Point Alarm 55.00\u00B0C",
                              "IP:192.168.1.50, NetMask:255.255.255.0 ",
                              "Gateway:192.168.1.1, DNS:192.168.1.1 ",
                              "State 0x00 0x00,LAN:not connected,Audio:not found,ES:0,ER:0",
                              "EXT IO connected",
                              "ver. 3, V12: 12.1V, V15: 15.0V, Vamp: 13.6V"};
      for (int i = 0; i < 12; ++i) {
        f.slot8.Draw(c, 5, 110 + 22 * i, titles[i], kWhite);
        f.slot8.Draw(c, 180, 110 + 22 * i, values[i], kWhite);
      }
      f.slot8.Draw(c, 300, 400, "07/12/2025 21:30:00", kWhite);
    } else if (s.name == "statusB") {
      KeyBar(c, f);
      f.slot0.Draw(c, 100, 50, " Memory Table Bank 0 - Interface: HVZBIX", kOrange);
      f.slot8.Draw(c, 50, 100, "N     Band     Pwr    Att(dB)  AmpEnable    Ant       Atu", Rgb{250, 250, 250});
      const char* bands[] = {"160m", "80m", "60m", "40m", "30m", "20m", "17m", "15m", "12m", "10m", "6m"};
      for (int i = 0; i < 11; ++i) {
        const Rgb col = i == 5 ? kOrange : Rgb{250, 250, 250};
        const int y = 130 + 22 * i;
        f.slot8.Draw(c, 50, y, std::to_string(i + 1).c_str(), col);
        f.slot8.Draw(c, 90, y, bands[i], col);
        f.slot8.Draw(c, 170, y, "60.0", col);
        f.slot8.Draw(c, 250, y, "0", col);
        f.slot8.Draw(c, 350, y, "On", col);
        f.slot8.Draw(c, 470, y, "1", col);
        f.slot8.Draw(c, 540, y, "On", col);
      }
    } else {
      f.slot9.Draw(c, 300, 400, "Loading ... 5", kWhite);
      f.slot9.Draw(c, 130, 300, "Error! Serial port /dev/ttyAMA0 fail", kWhite, 0.0);
    }
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace artwork
