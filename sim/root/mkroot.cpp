// Simulated root builder: everything the program opens or runs, laid out as on the unit.
#include "sim/root/mkroot.h"

#include <sys/stat.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "sim/keyboard/keyboard.h"
#include "platform/gpio_panel.h"
#include "sim/micro/calibration.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

bool writeText(const fs::path& p, const std::string& text, bool exec = false) {
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  if (!f) {
    fprintf(stderr, "sim root: cannot write %s\n", p.c_str());
    return false;
  }
  f << text;
  f.close();
  if (exec) chmod(p.c_str(), 0755);
  return static_cast<bool>(f);
}

// The fresh setup file the unit writes on first start, key for key.
const std::vector<std::pair<std::string, std::string>> kSetupDefaults = {
    {"EnableKeyb", "1"},
    {"EnableSpi", "0"},
    {"EnableTouch", "0"},
    {"DelayedTouch", "0"},
    {"EnableGPIO", "1"},
    {"EnableRead", "0"},
    {"EnableWrite", "0"},
    {"EnableCAT", "0"},
    {"EnableLinear", "1"},
    {"EnableTime", "1"},
    {"WebSocket", "1"},
    {"Pitch", "2500"},
    {"Quality", "100"},
    {"AudioIn", "hw:1"},
    {"InChannels", "1"},
    {"AudioCompress", "0"},
    {"Multiplier", "2"},
    {"AudioOut", "hw:1"},
    {"Server", "127.0.0.1"},
    {"TcpPort", "6666"},
    {"CatPort", "/dev/ttyUSB0"},
    {"SerPort", "/dev/ttyUSB1"},
    {"LinPort", "/dev/ttyAMA0"},
    {"NumAntenna", "1"},
    {"EnablePwrPeak", "0"},
    {"TempMode", "0"},
    {"FreqSensIn", "0"},
    {"FreqPeriodTime", "10"},
    {"Attenuator", "0"},
    {"AttenuatorTune", "0"},
    {"SWRescAutoTune", "0"},
    {"ViewTimeStr", "0"},
    {"ViewTemp", "0"},
    {"MaxTemperature", "600"},
    {"AutoTuneMaxCicli", "0"},
    {"PowerUnits", "0"},
    {"SaveScreenIdx", "0"},
    {"AutoTuneMode", "0"},
    {"EnableFFT", "0"},
    {"Divide", "0"},
    {"MaxTempAllowed", "60"},
    {"PSpar1", "1"},
    {"PSpar2", "1000"},
    {"Isteresi1", "1"},
    {"Isteresi2", "1"},
    {"PSpar3", "0"},
    {"PSpar4", "0"},
    {"OffsetPlot", "0"},
    {"CatSerialPort", "/dev/ttyUSB2"},  // the simulated FT-817 beside the paired transceiver
    {"TUNEenabled", "0"},
    {"NumBanco", "1"},
    {"GMpar1", "2"},
    {"GMpar2", "100"},
    {"Peak_media", "2"},
    {"Peak_ValDec", "10"},
    {"Peak_TimeDec", "1"},
    {"Peak_Time", "3000"},
    {"MAXbank", "20"},
    {"BTN_longpress_Time", "5"},
    {"EnableDebug", "0"},
    {"Enable1600", "1"},
    {"EnableLOGTemp", "0"},
};

std::string shQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::string audioDevice(const std::string& name, const std::string& inFile, const std::string& outFile) {
  // Capture reads the raw input file (silence at its end); playback appends to the output file. Both sit on
  // the null device, so nothing paces them: the program keeps capture to real time in a simulated root.
  return "pcm." + name +
         " {\n"
         "  @args [ CARD DEV SUBDEV ]\n"
         "  @args.CARD { type string default \"0\" }\n"
         "  @args.DEV { type integer default 0 }\n"
         "  @args.SUBDEV { type integer default -1 }\n"
         "  type asym\n"
         "  playback.pcm { type file slave.pcm { type null } file \"" + outFile + "\" format raw }\n"
         "  capture.pcm { type file slave.pcm { type null } file \"/dev/null\" infile \"" + inFile +
         "\" format raw }\n"
         "}\n";
}

std::string audioConfig(const std::string& dir) {
  const std::string sim = (fs::path(dir) / "sim").string();
  return audioDevice("hw", sim + "/audio_in.raw", sim + "/audio_out.raw");
}

std::string setupText(const std::map<std::string, std::string>& changes) {
  std::string out;
  for (const auto& [key, def] : kSetupDefaults) {
    auto it = changes.find(key);
    out += key + ": " + (it != changes.end() ? it->second : def) + "\n";
  }
  return out;
}

std::string unitWorkDir(const std::string& dir) { return (fs::path(dir) / "opt/Korvane").string(); }

bool writeStandIn(const std::string& dir, const std::string& name, const std::string& script) {
  return writeText(fs::path(dir) / "bin" / name, script, true);
}

bool makeSimRoot(const std::string& dir, const RootOptions& opt) {
  fs::path root = fs::absolute(dir);
  std::error_code ec;
  for (const char* d : {"bin", "dev", "dev/input/by-id", "opt/set", "opt/fonts", "opt/Korvane", "etc/network",
                        "var/log", "tmp", "sim", "usr/share/fonts/truetype/dejavu"})
    fs::create_directories(root / d, ec);
  if (ec) {
    fprintf(stderr, "sim root: cannot create %s: %s\n", root.c_str(), ec.message().c_str());
    return false;
  }
  const std::string log = (root / "var/log/commands.log").string();
  bool ok = true;

  // Stand-ins for the system's commands: each records its call so tests can see what the unit ran.
  auto record = [&](const std::string& name) {
    return "#!/bin/sh\necho \"" + name + " $*\" >> " + shQuote(log) + "\n";
  };
  ok &= writeStandIn(root, "mount", record("mount") + "exit 0\n");
  ok &= writeStandIn(root, "rm", record("rm") + "exec /bin/rm \"$@\"\n");
  ok &= writeStandIn(root, "lsusb",
                     record("lsusb") + "[ -f " + shQuote((root / "sim/usb.txt").string()) + " ] && cat " +
                         shQuote((root / "sim/usb.txt").string()) + "\nexit 0\n");
  ok &= writeStandIn(root, "my_temp",
                     record("my_temp") + "if [ -f " + shQuote((root / "sim/cpu_temp").string()) + " ]; then cat " +
                         shQuote((root / "sim/cpu_temp").string()) + "; else echo 48; echo \"temp=47.2'C\"; fi\n");
  ok &= writeStandIn(root, "stty", record("stty") + "exit 0\n");
  ok &= writeStandIn(root, "tput", record("tput") + "exit 0\n");
  ok &= writeStandIn(root, "sudo", record("sudo") + "exec \"$@\"\n");
  ok &= writeStandIn(root, "ifdown", record("ifdown") + "exit 0\n");
  ok &= writeStandIn(root, "ifup", record("ifup") + "exit 0\n");
  std::string shot = opt.shotCommand.empty() ? std::string("true") : opt.shotCommand + " " + shQuote(root.string());
  ok &= writeStandIn(root, "fbgrab",
                     record("fbgrab") + "out=\"$1\"; for a in \"$@\"; do out=\"$a\"; done\n" + shot + " \"$out\"\n");
  // The keyboard's exit runs these two by their full paths.
  ok &=
      writeText(root / "usr/bin/tput", "#!/bin/sh\nexec " + shQuote((root / "bin/tput").string()) + " \"$@\"\n", true);
  ok &= sim::makeKeyboard(root.string());
  ok &= writeText(root / "usr/bin/fbgrab", "#!/bin/sh\nexec " + shQuote((root / "bin/fbgrab").string()) + " \"$@\"\n",
                  true);
  ok &= writeText(root / "opt/Korvane/getpack.sh", record("getpack.sh") + "exit 0\n", true);
  ok &= writeText(root / "opt/sshshell", record("sshshell") + "exit 0\n", true);
  ok &= writeText(root / "opt/good", "");
  ok &= writeText(root / "sim/usb.txt",
                  "Bus 001 Device 002: ID 0424:9514 Standard Microsystems Corp.\n"
                  "Bus 001 Device 004: ID 0d8c:01af USB Audio Device\n");
  ok &= writeText(root / "sim/asound.conf", audioConfig(root.string()));
  ok &= writeText(root / "sim/audio_in.raw", "");
  // The transceiver's USB I/Q device (platform/usb.h gives the format): a noise floor and two signals.
  ok &= writeText(root / "sim/usb",
                  "device 2b4d 0e31\nserial SIMBIX0000000001\noffsets 2.5 6.0 10.0\nnoise -110\n"
                  "tone 0.05 -45\ntone -0.21 -72\n");

  // Screen: an 800x480x32 virtual framebuffer, and the console the cursor escape goes to.
  {
    fs::path fb = root / "dev/fb0";
    std::ofstream f(fb, std::ios::binary | std::ios::trunc);
    std::vector<char> zero(800 * 480 * 4, 0);
    f.write(zero.data(), static_cast<std::streamsize>(zero.size()));
    ok &= static_cast<bool>(f);
  }
  ok &= writeText(root / "dev/fb0.geometry", "800 480 32\n");
  ok &= writeText(root / "dev/tty0", "");
  // The remote head's connection key is made from the machine's own random source.
  fs::remove(root / "dev/urandom", ec);
  fs::create_symlink("/dev/urandom", root / "dev/urandom", ec);
  ok &= !ec;
  // GPIO: a regular file where the processor's memory would be makes the program run its register
  // model, whose keys and peripheral answers live in sim/gpio_panel. All keys up, and a PA voltage
  // byte the 60 W model reads as 13.8 V.
  ok &= writeText(root / "dev/mem", "GPIO register model; keys and peripheral in /sim/gpio_panel\n");
  {
    GpioPanel panel;
    ok &= panel.open((root / "sim/gpio_panel").string());
    for (int key = 1; key <= 6; ++key) panel.setKey(key, false);
    if (panel.reply(kPaVoltageCode) == 0) panel.setReply(kPaVoltageCode, kDefaultPaByte);
  }

  // Fonts at the paths the unit loads them from.
  struct FontLink {
    const char* target;
    const char* link;
  } fonts[] = {
      {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"},
      {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", "usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"},
      {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf",
       "usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf"},
      {"/usr/share/fonts/truetype/paratype/PTS55F.ttf", "opt/fonts/PTS55F_W.ttf"},
      {"/usr/share/fonts/truetype/paratype/PTS75F.ttf", "opt/fonts/PTS75F_W.ttf"},
  };
  for (const auto& fl : fonts) {
    fs::path link = root / fl.link;
    fs::remove(link, ec);
    if (!fs::exists(fl.target)) {
      fprintf(stderr, "sim root: font %s missing (install fonts-dejavu-core and fonts-paratype)\n", fl.target);
      continue;
    }
    fs::create_symlink(fl.target, link, ec);
  }

  // Screens, from the project's artwork.
  fs::path screens =
      opt.screensDir.empty() ? fs::path(KORVANE_SOURCE_DIR) / "assets/screens" : fs::path(opt.screensDir);
  if (fs::is_directory(screens)) {
    for (const auto& e : fs::directory_iterator(screens))
      if (e.path().extension() == ".png")
        fs::copy_file(e.path(), root / "opt/Korvane" / e.path().filename(), fs::copy_options::overwrite_existing, ec);
  }

  // The operator's files.
  ok &= writeText(root / "opt/set/setup.txt", setupText(opt.setup));
  if (opt.amplifierTables) {
    ok &= writeText(root / "opt/set/config.txt", sim::configTxt());
    ok &= writeText(root / "opt/set/filter.txt", sim::filterTxt());
    ok &= writeText(root / "opt/set/ventola.txt", sim::ventolaTxt());
  }
  ok &= writeText(root / "etc/network/interfaces",
                  "# interfaces(5) file used by ifup(8) and ifdown(8)\n"
                  "auto lo\niface lo inet loopback\n\n"
                  "auto eth0\niface eth0 inet static\n"
                  "address 192.168.1.50\nnetmask 255.255.255.0\ngateway 192.168.1.1\nnameserver 192.168.1.1\n");
  return ok;
}

}  // namespace sim
