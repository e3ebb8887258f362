// Remote audio over ALSA's file devices: what capture sends, what playback writes, the queue rule, the presence
// check, unplugging, stopping, and audio both ways between a station's and a remote head's records.
#include <gtest/gtest.h>
#include <opus/opus.h>
#include <sys/socket.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "core/start/threads.h"
#include "sim/root/mkroot.h"
#include "tests/remote_ws/ws_rig.h"
#include "tests/testlib/test_clock.h"
#include "ui/errors.h"
#include "ui/ui_fields.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kUsbAudio = "Bus 001 Device 004: ID 0d8c:01af USB Audio Device\n";

// A simulated root with a station device "st" and a remote head device "hd", the USB audio device plugged in,
// and an lsusb that counts its runs.
struct AudioRoot {
  AudioRoot() {
    root.activate();
    const std::string sim = root.path() + "/sim/";
    root.write("/sim/asound.conf", sim::audioDevice("st", sim + "st_in.raw", sim + "st_out.raw") +
                                       sim::audioDevice("hd", sim + "hd_in.raw", sim + "hd_out.raw"));
    plug(true);
    root.write("/dev/urandom", "0123456789abcdefXYZ");
    root.standIn("lsusb", "#!/bin/sh\necho x >> " + sim + "lsusb_runs\ncat " + sim + "usb.txt\n");
  }
  void plug(bool in) const {
    root.write("/sim/usb.txt", std::string("Bus 001 Device 002: ID 0424:9514 Hub\n") + (in ? kUsbAudio : ""));
  }
  int lsusbRuns() const {
    const std::string t = root.exists("/sim/lsusb_runs") ? root.read("/sim/lsusb_runs") : "";
    return static_cast<int>(std::count(t.begin(), t.end(), '\n'));
  }
  void input(const char* dev, const std::vector<int16_t>& s) const {
    root.write(std::string("/sim/") + dev + "_in.raw", std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2));
  }
  std::vector<int16_t> output(const char* dev) const {
    const std::string t = root.read(std::string("/sim/") + dev + "_out.raw");
    std::vector<int16_t> s(t.size() / 2);
    memcpy(s.data(), t.data(), s.size() * 2);
    return s;
  }
  testlib::TempRoot root;
};

struct AudioSetting {
  int compress;  // Opus bit rate, 0 = PCM
  int multiplier;
  int channels;
};

void configure(Works* w, const char* dev, AudioSetting a) {
  Mirtsetup* s = w->setup;
  snprintf(s->AudioIn, sizeof s->AudioIn, "%s", dev);
  snprintf(s->AudioOut, sizeof s->AudioOut, "%s", dev);
  snprintf(s->InChannels, sizeof s->InChannels, "%d", a.channels);
  w->audioFrame = 240 * a.multiplier;
  w->AudioCompress = a.compress;
  w->audioStartDelayMs = 0;
  w->running = 1;
  w->cpPending = 0;  // the micro's protections were cleared: errors are listed
  OpusSetUp(w);
}

std::vector<int16_t> ramp(size_t n) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>(i + 1);
  return s;
}

// A tone on both channels (the same on each).
std::vector<int16_t> tone(double hz, double amplitude, int frames, int channels) {
  std::vector<int16_t> s;
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      s.push_back(static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * i / 48000.0))));
  return s;
}

// Level of one frequency in the left channel of frames [from, from + n), as an amplitude (Goertzel).
double level(const std::vector<int16_t>& st, double hz, size_t from, size_t n) {
  const double k = 2 * std::cos(2 * M_PI * hz / 48000.0);
  double s1 = 0, s2 = 0;
  for (size_t i = from; i < from + n; ++i) {
    const double s0 = st[2 * i] + k * s1 - s2;
    s2 = s1, s1 = s0;
  }
  return 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - k * s1 * s2)) / static_cast<double>(n);
}

struct Thread {
  Thread(void (*fn)(Works*), Works* w, std::atomic<int>* ended = nullptr)
      : t([=] {
          fn(w);
          if (ended) ++*ended;
        }) {}
  ~Thread() {
    if (t.joinable()) t.join();
  }
  std::thread t;
};
// Declared after the threads: a test that fails half way stops them before they are joined.
struct StopAtExit {
  std::vector<Works*> works;
  ~StopAtExit() {
    for (Works* w : works) w->running = 0;
  }
};

// Capture: the periods of the capture file as the peer receives them.
TEST(AudioCapture, PeriodsGoOutAsFramesOfTheSetting) {
  struct Case {
    AudioSetting a;
    std::vector<size_t> frameBytes;  // data bytes of the frames of one period (Opus: 0 = any)
  } cases[] = {
      {{0, 1, 1}, {960}},          // 240 frames, mono doubled
      {{0, 2, 2}, {1920}},         // the default period, stereo as it is
      {{0, 8, 2}, {4088, 3592}},   // 7680 bytes do not fit the receiver's frame: two frames
      {{64000, 2, 1}, {0}},        // one Opus packet per 480 frames
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "compress " << c.a.compress << " multiplier " << c.a.multiplier);
    AudioRoot r;
    testlib::TestWorks tw;
    Works* w = tw.get();
    configure(w, "st", c.a);
    const int frames = 240 * c.a.multiplier;
    const std::vector<int16_t> in = ramp(static_cast<size_t>(frames * c.a.channels * 4));
    r.input("st", in);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    wsrig::RawPeer peer(sv[1], true);
    w->wsockFD = sv[0];
    w->wsockConnected = 1;
    setFlag(w->setup->EnableRead, '1');
    std::string pcm;
    int packets = 0;
    {
      Thread cap(th_leggi, w);
      StopAtExit guard{{w}};
      for (int period = 0; period < 4; ++period) {
        for (size_t want : c.frameBytes) {
          wsrig::InFrame f;
          ASSERT_TRUE(peer.readFrame(f));
          ASSERT_EQ(f.head, 0x82);
          ASSERT_GE(f.payload.size(), 6u);
          ASSERT_EQ(f.payload.substr(0, 2), "SO");
          const uint8_t* p = reinterpret_cast<const uint8_t*>(f.payload.data());
          const size_t n = (size_t{p[2]} << 24) | (size_t{p[3]} << 16) | (size_t{p[4]} << 8) | p[5];
          ASSERT_EQ(n, f.payload.size() - 6);
          if (want) {
            EXPECT_EQ(n, want);
            pcm += f.payload.substr(6);
          } else {
            EXPECT_EQ(opus_packet_get_nb_samples(p + 6, static_cast<opus_int32>(n), 48000), 480);
            ++packets;
          }
        }
      }
      setFlag(w->setup->EnableRead, '0');
    }
    if (c.a.compress) {
      EXPECT_EQ(packets, 4);
    } else {
      // Mono 1, 2, 3 goes out as 1, 1, 2, 2, 3, 3; stereo unchanged.
      std::vector<int16_t> want;
      for (int16_t v : in) {
        want.push_back(v);
        if (c.a.channels == 1) want.push_back(v);
      }
      ASSERT_EQ(pcm.size(), want.size() * 2);
      EXPECT_EQ(memcmp(pcm.data(), want.data(), pcm.size()), 0);
    }
    EXPECT_EQ(w->status_th_leggi, 0);
    EXPECT_FALSE(ExistError(w, kErrorAudioRead));
    OpusTearDown(w);
    close(sv[0]);
  }
}

// Playback: received frames as the device gets them, with th_scrivi owning the device and a peer connected.
TEST(AudioPlayback, ReceivedFramesReachTheDevice) {
  OpusEncoder* enc = nullptr;
  int err = 0;
  enc = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &err);
  ASSERT_EQ(err, OPUS_OK);
  const std::vector<int16_t> toneIn = tone(1000, 8000, 480, 2);
  std::string good(1000, '\0');
  good.resize(static_cast<size_t>(opus_encode(enc, toneIn.data(), 480, reinterpret_cast<uint8_t*>(good.data()), 1000)));
  opus_encoder_destroy(enc);
  const std::string corrupt("\x03", 1);  // a code 3 packet without its frame count
  {
    OpusDecoder* dec = opus_decoder_create(48000, 2, &err);
    int16_t scratch[5760 * 2];
    EXPECT_LT(opus_decode(dec, reinterpret_cast<const uint8_t*>(corrupt.data()), 1, scratch, 5760, 0), 0);
    opus_decoder_destroy(dec);
  }
  const std::vector<int16_t> pcm = ramp(480 * 2);
  const std::string pcmBytes(reinterpret_cast<const char*>(pcm.data()), pcm.size() * 2);
  struct Case {
    int compress;
    std::vector<std::string> frames;
    size_t outFrames;        // frames the device received
    size_t silentFrom;       // first frame expected silent (outFrames: none)
    bool exact;              // the output is the PCM sent
  } cases[] = {
      {0, {pcmBytes}, 480, 480, true},
      {0, {pcmBytes + "xyz"}, 480, 480, true},  // a partial stereo frame is dropped
      {64000, {good, corrupt}, 960, 480, false},
      {64000, {corrupt, std::string()}, 960, 0, false},  // an empty packet is no packet either
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "compress " << c.compress << " frames " << c.frames.size());
    AudioRoot r;
    testlib::TestWorks tw;
    Works* w = tw.get();
    testlib::LogCapture logs;
    configure(w, "hd", {c.compress, 2, 2});
    w->wsockConnected = 1;
    setFlag(w->setup->EnableWrite, '1');
    {
      Thread play(th_scrivi, w);
      StopAtExit guard{{w}};
      ASSERT_TRUE(testlib::waitUntil([&] { return w->audioOutReady == 1; }, 5s));
      AudioPlayLog lg;
      for (const std::string& f : c.frames)
        EXPECT_EQ(PlayAudioFrame(w, reinterpret_cast<const uint8_t*>(f.data()), f.size(), true, lg), 0);
      setFlag(w->setup->EnableWrite, '0');
    }
    const std::vector<int16_t> out = r.output("hd");
    ASSERT_EQ(out.size(), c.outFrames * 2);
    if (c.exact) {
      EXPECT_EQ(out, pcm);
    }
    for (size_t i = c.silentFrom * 2; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << "sample " << i;
    if (c.silentFrom > 0 && !c.exact) {
      EXPECT_GT(level(out, 1000, 240, 240), 1000);
    }
    // A flood of bad packets says so once.
    EXPECT_LE(logs.count("not decoded"), 1u);
    EXPECT_FALSE(ExistError(w, kErrorAudioWrite));
    OpusTearDown(w);
  }
}

// The 4800-frame rule: the first positive count of free frames is the reference; once the queue has grown by
// more than 4800 frames the period is dropped, and the rule starts again from the reference.
TEST(AudioPlayback, QueueRuleResetsAndDrops) {
  const struct {
    long freeFrames;
    bool write;
    long minfree;
  } steps[] = {{0, true, 0},    {-32, true, 0},   {8000, true, 8000}, {5000, true, 5000},
               {3200, true, 3200}, {3199, false, 8000}, {7000, true, 7000}, {9000, true, 7000}};
  AudioQueue q;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.freeFrames);
    EXPECT_EQ(AudioQueueStep(q, s.freeFrames), s.write);
    EXPECT_EQ(q.minfree, s.minfree);
  }
  EXPECT_EQ(q.free1, 8000);
}

// The presence check runs lsusb at most once a second and answers from its last run meanwhile.
TEST(AudioPresence, CheckedAtMostOnceASecond) {
  AudioRoot r;
  testlib::TestWorks tw;
  testlib::TestClock clock;
  tw->audioClock = &clock;
  for (int i = 0; i < 50; ++i) ASSERT_EQ(VerifyAudioBIX(tw.get()), 1);
  EXPECT_EQ(r.lsusbRuns(), 1);
  r.plug(false);
  clock.advance(999'000);
  EXPECT_EQ(VerifyAudioBIX(tw.get()), 1);
  EXPECT_EQ(r.lsusbRuns(), 1);
  clock.advance(1'000);
  EXPECT_EQ(VerifyAudioBIX(tw.get()), 0);
  EXPECT_EQ(r.lsusbRuns(), 2);
  r.plug(true);
  EXPECT_EQ(Get_AudioBIX(tw.get()), 1);
  EXPECT_EQ(r.lsusbRuns(), 3);  // the menu's count is never cached
}

// Unplugging the USB audio device ends capture and playback (waiting for a peer) with errors 9 and 10.
TEST(AudioThreads, UnplugEndsBothWithErrors9And10) {
  AudioRoot r;
  testlib::TestWorks tw;
  Works* w = tw.get();
  configure(w, "st", {0, 2, 1});
  r.input("st", ramp(48000));
  setFlag(w->setup->EnableRead, '1');
  setFlag(w->setup->EnableWrite, '1');
  std::atomic<int> ended{0};
  {
    Thread cap(th_leggi, w, &ended), play(th_scrivi, w, &ended);
    StopAtExit guard{{w}};
    ASSERT_TRUE(testlib::waitUntil([&] { return w->audioOutReady == 1 && w->audioPeriodsRead > 2; }, 5s));
    EXPECT_FALSE(ExistError(w, kErrorAudioRead) || ExistError(w, kErrorAudioWrite));
    r.plug(false);
    EXPECT_TRUE(testlib::waitUntil([&] { return ended == 2; }, 6s));
  }
  EXPECT_TRUE(ExistError(w, kErrorAudioRead));
  EXPECT_TRUE(ExistError(w, kErrorAudioWrite));
  EXPECT_EQ(getFlag(w->setup->EnableRead), '0');
  EXPECT_EQ(getFlag(w->setup->EnableWrite), '0');
  EXPECT_EQ(w->remoteThreadsEnded, 1);
  EXPECT_EQ(w->playBuf, nullptr);
}

// A program stop ends every wait of the audio threads at once: the start delay, a peer's wait, a connected
// peer, a capture device that has nothing, and a device that cannot be opened; the flags stay for the next start.
TEST(AudioThreads, ProgramStopEndsTheirWaitsPromptly) {
  const struct {
    bool connected;
    int startDelayMs;
    const char* device;
  } cases[] = {{false, 5000, "st"}, {false, 0, "st"}, {true, 0, "st"}, {false, 0, "nosuchdevice"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.connected << " " << c.startDelayMs << " " << c.device);
    AudioRoot r;
    r.input("st", ramp(48000));
    testlib::TestWorks tw;
    Works* w = tw.get();
    configure(w, c.device, {0, 2, 2});
    w->audioStartDelayMs = c.startDelayMs;
    w->wsockConnected = c.connected;
    setFlag(w->setup->EnableRead, '1');
    setFlag(w->setup->EnableWrite, '1');
    auto t0 = std::chrono::steady_clock::now();
    std::atomic<long long> capMs{-1}, playMs{-1};
    auto since = [&] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    };
    {
      std::thread cap([&] { th_leggi(w), capMs = since(); }), play([&] { th_scrivi(w), playMs = since(); });
      std::this_thread::sleep_for(300ms);  // let both reach their wait
      t0 = std::chrono::steady_clock::now();
      w->running = 0;
      cap.join();
      play.join();
    }
    // Well below any wait that misses the stop (the start delay, 10 s of opening, the presence pause).
    EXPECT_LT(capMs, 2500) << "capture";
    EXPECT_LT(playMs, 2500) << "playback";
    EXPECT_EQ(getFlag(w->setup->EnableRead), '1');
    EXPECT_EQ(getFlag(w->setup->EnableWrite), '1');
  }
}

// Audio both ways between a station (server) and a remote head (client) linked over the loopback: with PCM the
// capture file arrives bit-exact in the peer's playback file, with Opus the tone keeps its frequency and level.
TEST(AudioLink, BothWaysBetweenStationAndHead) {
  for (int compress : {0, 64000}) {
    SCOPED_TRACE(compress);
    AudioRoot r;
    wsrig::Unit station('1'), head('2');
    configure(station.get(), "st", {compress, 2, 2});
    configure(head.get(), "hd", {compress, 2, 1});
    const int periods = 25;
    const std::vector<int16_t> stIn = tone(1000, 8000, 480 * periods, 2), hdIn = tone(600, 4000, 480 * periods, 1);
    r.input("st", stIn);
    r.input("hd", hdIn);
    station.start();
    head->tcpPort = static_cast<short>(station.port());
    head.start();
    ASSERT_TRUE(testlib::waitUntil([&] { return station->wsockConnected && head->wsockConnected; }, 5s));
    for (Works* w : {station.get(), head.get()}) {
      setFlag(w->setup->EnableWrite, '1');
      setFlag(w->setup->EnableRead, '1');
    }
    {
      Thread stPlay(th_scrivi, station.get()), hdPlay(th_scrivi, head.get());
      StopAtExit playGuard{{station.get(), head.get()}};
      ASSERT_TRUE(testlib::waitUntil([&] { return station->audioOutReady && head->audioOutReady; }, 5s));
      Thread stCap(th_leggi, station.get()), hdCap(th_leggi, head.get());
      StopAtExit guard{{station.get(), head.get()}};
      EXPECT_TRUE(testlib::waitUntil(
          [&] { return station->audioPeriodsPlayed > periods + 2 && head->audioPeriodsPlayed > periods + 2; }, 10s));
      for (Works* w : {station.get(), head.get()}) setFlag(w->setup->EnableRead, '0');
      for (Works* w : {station.get(), head.get()}) setFlag(w->setup->EnableWrite, '0');
    }
    const std::vector<int16_t> atHead = r.output("hd"), atStation = r.output("st");
    ASSERT_GE(atHead.size(), stIn.size());
    ASSERT_GE(atStation.size(), hdIn.size() * 2);
    if (compress == 0) {
      EXPECT_TRUE(std::equal(stIn.begin(), stIn.end(), atHead.begin()));
      for (size_t i = 0; i < hdIn.size(); ++i) ASSERT_EQ(atStation[2 * i], hdIn[i]) << i;
      for (size_t i = 0; i < hdIn.size(); ++i) ASSERT_EQ(atStation[2 * i + 1], hdIn[i]) << i;
    } else {
      // Past the codec's start, over a window of whole cycles of both tones.
      const struct {
        const std::vector<int16_t>& out;
        double hz, amplitude, other;
      } checks[] = {{atHead, 1000, 8000, 600}, {atStation, 600, 4000, 1000}};
      for (const auto& k : checks) {
        const double got = level(k.out, k.hz, 2400, 4800);
        EXPECT_NEAR(20 * std::log10(got / k.amplitude), 0.0, 1.0) << k.hz;
        EXPECT_LT(level(k.out, k.other, 2400, 4800), got / 100) << k.hz;
      }
    }
    EXPECT_EQ(ExistError(station.get(), kErrorAudioRead) + ExistError(head.get(), kErrorAudioWrite), 0);
    OpusTearDown(station.get());
    OpusTearDown(head.get());
  }
}

}  // namespace
