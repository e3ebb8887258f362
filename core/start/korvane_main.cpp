// The entry point: builds the shared record, reads the configuration, starts the threads, shuts down.
#include <opus/opus.h>
#include <pthread.h>
#include <sys/stat.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "amp/amp.h"
#include "core/housekeeping.h"
#include "core/setup.h"
#include "core/start/threads.h"
#include "core/supervisor.h"
#include "core/works.h"
#include "input/keyb.h"
#include "net/lan.h"
#include "platform/deferred_writes.h"
#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "platform/timing.h"
#include "radio/radio.h"
#include "remote/remote.h"
#include "tuner/tuner.h"
#include "ui/fb.h"
#include "ui/menu.h"
#include "ui/png.h"
#include "ui/text.h"

namespace {

const char* kVersion = "0.047";

std::atomic<int>* g_running = nullptr;

// systemd's stop and a developer's Ctrl-C end the program the orderly way.
extern "C" void onStopSignal(int) {
  if (g_running) g_running->store(0);
}

// Until the defaults are in place (they set running to 1) a stop signal waits, blocked: one
// received meanwhile is delivered when the handlers are in, and still ends the program.
void holdStopSignals(int how) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(how, &stops, nullptr);
}

void installStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

struct FontSlot {
  int slot;
  const char* path;
  int height;
};
const FontSlot kFonts[] = {
    {0, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 24},
    {1, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 22},
    {2, "/opt/fonts/PTS55F_W.ttf", 22},
    {4, "/opt/fonts/PTS75F_W.ttf", 24},
    {5, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 8},
    {6, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 14},
    {7, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf", 24},
    {8, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 20},
    {9, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30},
    {10, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 18},
    {11, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 21},
};

void showScreen(Works* w, const char* name) {
  Screen* s = w->fb;
  std::lock_guard<std::mutex> lk(s->drawMut);
  snprintf(w->pngName, sizeof w->pngName, "%s", name);
  getPng(w, 1);
  fbSetBack(s);
  fbRealize(s);
}

}  // namespace

void OpusSetUp(Works* w) {
  if (w->AudioCompress <= 0) return;
  int err = 0;
  w->opusEnc = opus_encoder_create(w->audioRate, 2, OPUS_APPLICATION_AUDIO, &err);
  if (err != OPUS_OK || !w->opusEnc) {
    klog(LOG_ERR, "failed to create an encoder: %s", opus_strerror(err));
    w->opusEnc = nullptr;
    w->AudioCompress = 0;
    return;
  }
  err = opus_encoder_ctl(w->opusEnc, OPUS_SET_BITRATE(w->AudioCompress.load()));
  if (err != OPUS_OK) {
    klog(LOG_ERR, "failed to set bitrate: %s", opus_strerror(err));
    opus_encoder_destroy(w->opusEnc);
    w->opusEnc = nullptr;
    w->AudioCompress = 0;
    return;
  }
  w->opusDec = opus_decoder_create(w->audioRate, 2, &err);
  if (err != OPUS_OK || !w->opusDec) {
    klog(LOG_ERR, "failed to create decoder: %s", opus_strerror(err));
    w->opusDec = nullptr;
    w->AudioCompress = 0;
  }
}

void OpusTearDown(Works* w) {
  if (w->AudioCompress <= 0) return;
  if (w->opusEnc) opus_encoder_destroy(w->opusEnc);
  if (w->opusDec) opus_decoder_destroy(w->opusDec);
  w->opusEnc = nullptr;
  w->opusDec = nullptr;
}

namespace {

void shutdownJoins(Works* w) {
  Mirtsetup* s = w->setup;
  struct Join {
    ThreadHandle* h;
    bool cond;
    const char* msg;
  } joins[] = {
      {&thrKey, getFlag(s->EnableKeyb) == '1', "Communicator joined Key end"},
      {&thrFFT, getFlag(s->EnableFFT) == '1', "Communicator joined FFT end"},
      {&thrLeggi, getFlag(s->EnableRead) == '1', "Communicator joined Touch end"},
      {&thrScrivi, getFlag(s->EnableWrite) == '1', "Communicator joined Spi end"},
      {&thrWsock, getFlag(s->WebSocket) != '0', "Communicator joined Wsocket end"},
      {&thrCat, getFlag(s->EnableCAT) == '1', "Communicator joined Cat end"},
      {&thrCatSer, getFlag(s->EnableCatSerial) == '1', "Communicator joined CatSerial end"},
      {&thrSer, getFlag(s->EnableSerial) == '1', "Communicator joined Serial end"},
      {&thrLin, getFlag(s->EnableLinear) == '1', "Communicator joined Linear end"},
      {&thrTime, getFlag(s->EnableTime) == '1', "Communicator joined Time end"},
      {&thrGPIO, getFlag(s->EnableGPIO) == '1', "Communicator joined GPIO end"},
  };
  for (auto& j : joins) {
    // A thread switched off at run time was still started once: join it too, without the message.
    if (joinThread(*j.h) && j.cond) klog(LOG_INFO, "%s", j.msg);
  }
  // The countdown and the marker clean-up have long ended; joining them keeps the exit clean.
  joinThread(thInit);
  joinThread(thAggFw);
}

}  // namespace

int korvaneMain(int argc, char** argv) {
  holdStopSignals(SIG_BLOCK);
  initRootFromEnv();
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--root") == 0 && i + 1 < argc)
      setRootPrefix(argv[++i]);
    else if (strncmp(argv[i], "--root=", 7) == 0)
      setRootPrefix(argv[i] + 7);
  }
  shellInitPath();
  if (rootIsSimulated()) {
    mkdir(rootPath("/var/log").c_str(), 0755);
    setLogMirror(rootPath("/var/log/korvane.log"));
  }
  openlog("korvane", LOG_PID, LOG_USER);

  // Banner.
  ktrace("START Main ----------------------------------------------------------------\n");
  ktrace("KORVANE version %s\n", kVersion);
  klog(LOG_INFO, "KORVANE version %s", kVersion);
  // Writes cut short by a crash or a power loss leave their temporaries on the small /opt/set.
  optSetRemoveStaleTemporaries();

  // Screen first: without it there is nothing to run the unit with.
  Screen* screen = fbInit();
  if (!screen) {
    klog(LOG_ERR, "no screen: the framebuffer could not be opened, the program stops");
    ktrace("No screen: /dev/fb0 could not be opened\n");
    return 1;
  }

  // The record lives as long as the process; threads may still read it during exit.
  static Works works;
  static Mirtsetup setupRecord;
  static std::mutex serMut, wsockMut, connMut;
  Works* w = &works;
  snprintf(w->version, sizeof w->version, "%s", kVersion);
  w->fb = screen;
  w->setup = &setupRecord;
  w->serMut = &serMut;
  w->wsockMut = &wsockMut;
  w->connMut = &connMut;
  g_running = &w->running;
  // The link's file writes (tune store, temperature log) run here; what is handed over is on disk
  // before the program returns.
  static DeferredWrites fileWriter;
  w->fileWriter = &fileWriter;

  // Defaults and the hooks that let lower subsystems start threads.
  InitGlobalVar(w);
  StepTune1 = 8;
  // The error list's remote restart starts these threads again; they live here, above the display.
  w->hooks.startAudioWrite = StartThreadAudioWrite;
  w->hooks.startAudioRead = StartThreadAudioRead;
  w->hooks.startCat = StartThreadCAT;
  w->hooks.startFft = StartBixReadFFT;
  // A bank's interface starts its transceiver link when the bank is loaded or changed.
  w->hooks.startThreadBIX = StartThreadBIX;
  w->hooks.startThreadCATserial = StartThreadCATserial;
  w->hooks.restartRadioLinks = RestartRadioLinks;
  // The transceiver's traffic to the remote peer, and the peer's traffic to the transceiver.
  w->hooks.sendWebSockCatFrame = [](Works* w, const char* d, int n) { sendWebSockCatFrame(w, d, n); };
  w->hooks.sendWebSockSerParFrame = [](Works* w, const unsigned char* d, int n) { sendWebSockSerParFrame(w, d, n); };
  w->hooks.sendWebSockSerSpectrFrame = [](Works* w, const unsigned char* d, int n) {
    sendWebSockSerSpectrFrame(w, d, n);
  };
  w->hooks.writeCatPort = writeCatPort;
  w->hooks.writeSerPort = [](Works* w, const void* d, size_t n) { return writeSerialPort(w->serFD, d, n, w); };
  w->hooks.exitCat = ExitCAT;
  w->hooks.storeParameters = storeParameters;
  w->hooks.storeFFT = storeFFT;
  w->hooks.verifyAudioBIX = VerifyAudioBIX;
  w->hooks.getAudioBIX = Get_AudioBIX;
  InstallTunerHooks(w);
  // The keys, and the threads their pages start and stop again.
  w->hooks.keyEvent = DecodeTasto;
  w->hooks.startLinear = StartThreadLinear;
  w->hooks.startWebSocket = StartThreadSoket;
  w->hooks.startRemote = StartThreadCommRemote;
  w->hooks.stopRemote = ExitThreadRemote;
  // The remote menu's presence checks.
  w->hooks.usbTransceiverPresent = UsbTransceiverPresent;
  // While the relay runs it holds the CAT port and has had its answer: a probe now would take the
  // port from under it.
  w->hooks.verifyCat = [](Works* w) { return w->status_cat && w->catFD >= 0 ? 0 : VerifyCAT(w); };
  w->hooks.findRemoteSettings = Find_Remote_Settings;
  CntIP = CntDNS = CntNetMask = CntGateway = 3;
  signal(SIGPIPE, SIG_IGN);

  // Configuration. The record holds its defaults before the readers that come ahead of the setup file.
  initSetup(w);
  ReadConfigFile(w);
  InitMicroCmd(w);
  ReadVentolaFile(w);
  LoadTabFiltri(w);
  readSetup(w);
  LoadAllBankTable(w);
  LoadTuneSearch(w);
  // The defaults are laid (readSetup lays them again): from here a stop signal drops running.
  installStopHandlers();
  holdStopSignals(SIG_UNBLOCK);
  ktrace("ModeWorkIdx %i \n", w->ModeWorkIdx.load());
  // Spectrum buffers.
  memset(w->spectrumA, 0, sizeof w->spectrumA);
  memset(w->spectrumB, 0, sizeof w->spectrumB);
  memset(w->spectrumHeader, 0, sizeof w->spectrumHeader);
  // LAN settings and fonts.
  ReadLanParam();
  for (const FontSlot& f : kFonts) TTFLoad(rootPath(f.path).c_str(), f.height, f.slot);
  // GPIO and the amplifier link.
  if (getFlag(w->setup->EnableGPIO) == '1') startThread(thrGPIO, GPIO, w, "GPIO");
  StartThreadLinear(w);
  startupSleepMs(1000);
  waitBIX = 5;
  w->lastActivity = wallClockNow();
  // Start screen: the 120 W one once the micro has said it is that model.
  showScreen(w, w->microCfgB == kMicroCfg120W ? "start120" : "start");
  // Loading countdown.
  startInitThread = 1;
  startThread(thInit, LoadThread, w, "LoadThread");
  // The countdown's waitBIX + 1 passes of a second each are the wait; it ends at 0 by itself.
  // Clearing the flag after a fixed sleep instead could cut its last pass on a slow machine.
  joinThread(thInit);
  startInitThread = 0;
  // Marker clean-up, then the interface page.
  startThread(thAggFw, AggFWThread, w, "AggFWThread");
  showScreen(w, "statusB");
  // Menus, buttons and the transceiver's frequency.
  InitMenuMirt(w);
  {
    // The keys already run: a key's background change must not land in the middle of the bar.
    std::lock_guard<std::mutex> lk(w->fb->drawMut);
    LoadButtons(w);
  }
  SerParam p;
  getParameters(w, &p);
  // Without a transceiver yet the block is empty; keep the default frequency rather than 0 Hz.
  if (p.freqCur != 0) w->freq = p.freqCur;
  // Remote audio compression.
  OpusSetUp(w);
  // Keyboard, remote link and transceiver threads.
  if (getFlag(w->setup->EnableKeyb) == '1') startThread(thrKey, keyb, w, "keyb");
  StartThreadSoket(w);
  StartThreadBIX(w);
  Mirtsetup* s = w->setup;
  if (getFlag(s->EnableWrite) == '1' || getFlag(s->EnableRead) == '1' || getFlag(s->EnableCAT) == '1' ||
      getFlag(s->EnableFFT) == '1') {
    ResumeRemote(w);
    w->remoteMode = 1;
  }
  StartThreadCATserial(w);
  // The supervisor.
  if (getFlag(s->EnableTime) == '1') startThread(thrTime, timer, w, "timer");
  // Run until something drops running.
  while (w->running) sleepMs(1000);

  // Shutdown.
  ktrace("Close..\n");
  showScreen(w, "start");
  {
    std::lock_guard<std::mutex> lk(screen->drawMut);
    fbSetBack(screen);
    // At x 330 the 30-pixel message runs past the right edge and wraps onto the left of the screen;
    // move it left just enough to fit.
    const char* msg = "Error! Close Program! Restart hw.";
    int x = std::min(330, screen->width - getStringSpace(9, msg) - 10);
    putString(9, std::max(0, x), 400, msg, 255, 255, 255, screen);
    fbRealize(screen);
  }
  startupSleepMs(2000);
  klog(LOG_INFO, "Communicator operations end");
  shutdownJoins(w);
  fileWriter.flush();
  OpusTearDown(w);
  ktrace("Closed!\n");
  g_running = nullptr;
  return 0;
}
