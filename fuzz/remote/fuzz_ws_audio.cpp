// Fuzz target for the playback of received "SO" frames: the first byte picks Opus or PCM and the side
// (server or client), the rest is the frame's data after its tag (length field, then the packet or samples).
// The playback thread owns a real ALSA device of the target's root (a file device writing to /dev/null).
#include <opus/opus.h>

#include <cstring>
#include <thread>

#include "fuzz/remote/ws_fuzz.h"
#include "remote/remote.h"
#include "sim/root/mkroot.h"
#include "platform/timing.h"

namespace {

std::thread g_playback;

// At exit, before the record goes: the playback thread ends and the decoder is released.
void stopPlayback() {
  Works* r = wsfuzz::record();
  r->running = 0;
  if (g_playback.joinable()) g_playback.join();
  opus_decoder_destroy(r->opusDec);
  r->opusDec = nullptr;
}

Works* playbackRecord() {
  static Works* w = [] {
    Works* r = wsfuzz::record();
    std::filesystem::create_directories(rootPath("/sim"));
    std::ofstream(rootPath("/sim/asound.conf")) << sim::audioDevice("fz", "/dev/null", "/dev/null");
    std::ofstream(rootPath("/sim/usb.txt")) << "ID 0d8c:01af audio\n";
    std::ofstream(rootPath("/bin/lsusb")) << "#!/bin/sh\ncat " << rootPath("/sim/usb.txt") << "\n";
    std::filesystem::permissions(rootPath("/bin/lsusb"), std::filesystem::perms::owner_all);
    snprintf(r->setup->AudioOut, sizeof r->setup->AudioOut, "fz");
    setFlag(r->setup->EnableWrite, '1');
    r->audioFrame = 480;
    r->audioStartDelayMs = 0;
    int err = 0;
    r->opusDec = opus_decoder_create(48000, 2, &err);
    if (err != OPUS_OK) abort();
    r->wsockConnected = 1;
    // Runs for the life of the process, as on the unit while a peer is connected.
    g_playback = std::thread(th_scrivi, r);
    std::atexit(stopPlayback);
    for (int i = 0; i < 5000 && !r->audioOutReady; ++i) sleepMs(1);
    if (!r->audioOutReady) abort();
    return r;
  }();
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Works* w = playbackRecord();
  w->AudioCompress = (data[0] & 1) ? 64000 : 0;
  static std::vector<uint8_t> buf(kWebSockMaxPayload);
  const size_t n = std::min(size - 1, kWebSockMaxPayload - 2);
  buf[0] = 'S', buf[1] = 'O';
  memcpy(buf.data() + 2, data + 1, n);
  websock::Frame f;
  f.head = 0x82;
  f.extended = n + 2 >= 126;
  f.length = n + 2;
  f.data = buf.data();
  websock::Session s;
  s.server = (data[0] & 2) == 0;
  s.authenticated = true;
  const uint32_t played = w->audioPeriodsPlayed;
  websock::Dispatch(w, s, f);
  // What is played is bounded by what arrived: Opus at most 120 ms, PCM its own bytes, in periods of 480 frames.
  const uint32_t most = w->AudioCompress ? 12 : static_cast<uint32_t>(n / (480 * 4) + 1);
  if (w->audioPeriodsPlayed - played > most) __builtin_trap();
  return 0;
}
