// Processor use of a station during remote operation, as a share of one core: the station alone, then with a
// remote head connected (status frames, parameter blocks, the USB spectrum, audio both ways where the roots
// provide it). Both are the whole program against the simulated amplifier, transceiver and USB device.
//   bench_station_cpu [--seconds N] [--compress BITRATE] [--divide N]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "sim/micro/micro_sim.h"
#include "sim/root/mkroot.h"
#include "sim/transceiver/transceiver_sim.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/unit_process.h"

namespace {

// User and system time of the process and its waited-for helpers, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  // Fields 3.. after the name; utime, stime, cutime, cstime are fields 14 to 17.
  for (int i = 3; i <= 17 && in >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double shareOverSeconds(pid_t pid, int seconds) {
  const double c0 = cpuSeconds(pid);
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double c1 = cpuSeconds(pid);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return (c1 - c0) / wall;
}

bool logHas(const std::string& root, const char* text, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (testlib::slurp(root + "/var/log/korvane.log").find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  std::string compress = "0", divide = "1";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--seconds")) seconds = std::max(1, atoi(argv[i + 1]));
    if (!strcmp(argv[i], "--compress")) compress = argv[i + 1];
    if (!strcmp(argv[i], "--divide")) divide = argv[i + 1];
  }
  const std::string port = std::to_string(testlib::freeSetupPort());
  testlib::TempRoot stationRoot, headRoot;
  std::map<std::string, std::string> common = {
      {"TcpPort", port}, {"EnableGPIO", "0"}, {"EnableKeyb", "0"}, {"AudioCompress", compress}};
  auto stationSetup = common;
  stationSetup.insert({{"WebSocket", "1"}, {"EnableCAT", "1"}, {"EnableFFT", "1"}, {"Enable1600", "0"}});
  stationSetup["Divide"] = divide;
  auto headSetup = common;
  headSetup.insert({{"WebSocket", "2"}, {"Server", "127.0.0.1"}, {"EnableRead", "1"}, {"EnableWrite", "1"}});
  sim::RootOptions so, ho;
  so.setup = stationSetup;
  ho.setup = headSetup;
  if (!sim::makeSimRoot(stationRoot.path(), so) || !sim::makeSimRoot(headRoot.path(), ho)) return 1;
  const std::string bank = "!Bix\n20m 14000000 14350000 1 1 0 0 0.0\n";
  stationRoot.write("/opt/set/antenna_b1.txt", bank);
  stationRoot.write("/sim/usb", "device 2b4d 0e31\ntone 0.1 -40\nnoise -120\n");
  // Audio both ways: each end captures a tone from its simulated interface for the whole run.
  {
    std::string tone;
    const int frames = 48000 * (3 * seconds + 30);
    tone.resize(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
      const auto v = static_cast<int16_t>(8000 * std::sin(2 * 3.14159265358979 * 700.0 * i / 48000.0));
      tone[2 * static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
      tone[2 * static_cast<size_t>(i) + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
    stationRoot.write("/sim/audio_in.raw", tone);
    headRoot.write("/sim/audio_in.raw", tone);
  }
  sim::MicroSim stationMicro, headMicro;
  sim::TransceiverSim radio;
  if (!stationMicro.start(stationRoot.path() + "/dev/ttyAMA0") || !headMicro.start(headRoot.path() + "/dev/ttyAMA0") ||
      !radio.start(stationRoot.path() + "/dev/ttyUSB1", {stationRoot.path() + "/dev/TIRMCAT1"},
                   {sim::CatPortKind::Transceiver}))
    return 1;
  const pid_t station =
      testlib::startUnit(KORVANE_BINARY, stationRoot.path(), sim::unitWorkDir(stationRoot.path()), "0.05");
  if (!logHas(stationRoot.path(), "Timer thread started", 60)) {
    fprintf(stderr, "the station did not start\n");
    kill(station, SIGKILL);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double alone = shareOverSeconds(station, seconds);
  const pid_t head = testlib::startUnit(KORVANE_BINARY, headRoot.path(), sim::unitWorkDir(headRoot.path()), "0.05");
  const bool linked = logHas(headRoot.path(), "Websocket Connected", 60);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double remote = linked ? shareOverSeconds(station, seconds) : -1;
  const double headShare = linked ? shareOverSeconds(head, seconds) : -1;
  printf("station processor use, share of one core, over %d s (AudioCompress %s, Divide %s):\n", seconds,
         compress.c_str(), divide.c_str());
  printf("  alone                       %6.3f\n", alone);
  printf("  remote head connected       %6.3f%s\n", remote, linked ? "" : "  (the head did not connect)");
  printf("  the remote head itself      %6.3f\n", headShare);
  printf("  audio played at the head    %zu bytes\n", testlib::slurp(headRoot.path() + "/sim/audio_out.raw").size());
  for (pid_t p : {head, station}) testlib::stopUnit(p, SIGTERM, std::chrono::seconds(20));
  radio.stop();
  stationMicro.stop();
  headMicro.stop();
  return linked ? 0 : 1;
}
