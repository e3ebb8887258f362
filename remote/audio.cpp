// The audio of remote operation: capture (`th_leggi`, periods read and sent as "SO" frames), playback
// (`th_scrivi` owns the device; the receiving thread writes the peer's frames) and the USB audio presence
// check.
//
// ALSA's asynchronous handler would run in a signal handler, where the socket lock, allocation and writes are
// not safe, and plugin devices have none: the capture thread waits on the device itself and reads there.
#include <alsa/asoundlib.h>
#include <opus/opus.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/monotonic.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "platform/timing.h"
#include "remote/remote.h"
#include "remote/websock.h"
#include "ui/errors.h"

namespace {

constexpr int kCaptureBufBytes = 20480;
constexpr int kOpenAttempts = 100;
constexpr int kPresenceEveryMs = 2000;  // the capture thread's check of the USB audio device
constexpr long long kPresenceCacheUs = 1'000'000;
// The longest Opus packet holds 120 ms.
constexpr int kOpusMaxFrames = 5760;

bool readStopped(Works* w) { return !w->running || getFlag(w->setup->EnableRead) != '1'; }
bool writeStopped(Works* w) { return !w->running || getFlag(w->setup->EnableWrite) != '1'; }

MonotonicClock& clockOf(Works* w) { return w->audioClock ? *w->audioClock : steadyClock(); }

std::string field(const char* f, size_t n) { return std::string(f, strnlen(f, n)); }

// In a simulated root the devices are those of <root>/sim/asound.conf (files instead of a sound card); the
// unit uses the system's own configuration.
int openPcm(snd_pcm_t** pcm, const std::string& name, snd_pcm_stream_t stream) {
  if (!rootIsSimulated()) return snd_pcm_open(pcm, name.c_str(), stream, 0);
  const std::string conf = rootPath("/sim/asound.conf");
  struct stat st;
  if (stat(conf.c_str(), &st) != 0) return snd_pcm_open(pcm, name.c_str(), stream, 0);
  snd_config_t* top = nullptr;
  snd_input_t* in = nullptr;
  int rc = snd_config_top(&top);
  if (rc == 0) rc = snd_input_stdio_open(&in, conf.c_str(), "r");
  if (rc == 0) {
    rc = snd_config_load(top, in);
    snd_input_close(in);
  }
  if (rc == 0) rc = snd_pcm_open_lconf(pcm, name.c_str(), stream, 0, top);
  if (top) snd_config_delete(top);
  return rc;
}

// Opens a device, up to 100 attempts 100 ms apart (a USB interface may still be coming up).
int openWithRetries(Works* w, snd_pcm_t** pcm, const std::string& name, snd_pcm_stream_t stream, bool (*stop)(Works*),
                    int& attempts) {
  int rc = -ENODEV;
  for (attempts = 1; attempts <= kOpenAttempts; ++attempts) {
    rc = openPcm(pcm, name, stream);
    if (rc == 0 || stop(w) || attempts == kOpenAttempts) break;
    if (!websock::PauseUnlessStopped(w, 100, stop)) break;
  }
  return rc;
}

// One configuration step: its success line, or its failure line ("<what> (<ALSA text>)") in the log and on
// standard error.
bool step(int rc, const char* okLine, const char* failText) {
  if (rc >= 0) {
    klog(LOG_INFO, "%s", okLine);
    return true;
  }
  klog(LOG_ERR, "%s (%s)", failText, snd_strerror(rc));
  fprintf(stderr, "%s (%s)\n", failText, snd_strerror(rc));
  return false;
}

// Interleaved 16-bit stereo (or mono capture) at the record's format and the nearest rate to audioRate.
bool configure(Works* w, snd_pcm_t* pcm, bool playback, unsigned channels) {
  const char* dir = playback ? "playback" : "capture";
  char ok[96], fail[96];
  snd_pcm_hw_params_t* hp = nullptr;
  snprintf(ok, sizeof ok, "%s hw_params allocated", dir);
  snprintf(fail, sizeof fail, "cannot allocate %s hardware parameter structure", dir);
  if (!step(snd_pcm_hw_params_malloc(&hp), ok, fail)) return false;
  bool good = false;
  do {
    snprintf(ok, sizeof ok, "%s hw_params initialized", dir);
    snprintf(fail, sizeof fail, "cannot initialize %s hardware parameter structure", dir);
    if (!step(snd_pcm_hw_params_any(pcm, hp), ok, fail)) break;
    if (playback && !step(snd_pcm_hw_params_set_rate_resample(pcm, hp, 1), "playback hw_params resample set",
                          "cannot set playback resample to yes"))
      break;
    snprintf(ok, sizeof ok, "%s hw_params access SND_PCM_ACCESS_RW_INTERLEAVED set", dir);
    snprintf(fail, sizeof fail, "cannot set %s access type", dir);
    if (!step(snd_pcm_hw_params_set_access(pcm, hp, SND_PCM_ACCESS_RW_INTERLEAVED), ok, fail)) break;
    snprintf(ok, sizeof ok, "%s hw_params SND_PCM_FORMAT_S16_LE format set", dir);
    snprintf(fail, sizeof fail, "cannot set %s sample format", dir);
    if (!step(snd_pcm_hw_params_set_format(pcm, hp, static_cast<snd_pcm_format_t>(w->audioFormat.load())), ok, fail))
      break;
    unsigned rate = static_cast<unsigned>(w->audioRate.load());
    const int rc = snd_pcm_hw_params_set_rate_near(pcm, hp, &rate, nullptr);
    snprintf(ok, sizeof ok, "%s hw_params rate set to %u", dir, rate);
    snprintf(fail, sizeof fail, "cannot set %s sample rate", dir);
    if (!step(rc, ok, fail)) break;
    w->audioRate = static_cast<int>(rate);
    snprintf(ok, sizeof ok, "%s hw_params number of channels set to %u", dir, channels);
    snprintf(fail, sizeof fail, "%s %s channel count", playback ? "Cannot set" : "cannot set", dir);
    if (!step(snd_pcm_hw_params_set_channels(pcm, hp, channels), ok, fail)) break;
    if (playback) {
      // Room for twice what the queue rule lets pile up: enough against underruns, and a file device (which
      // writes a buffer at a time) writes as it goes.
      snd_pcm_uframes_t frames = 2 * kAudioQueueLimit;
      const int brc = snd_pcm_hw_params_set_buffer_size_near(pcm, hp, &frames);
      if (brc < 0) klog(LOG_ERR, "playback buffer size left to the device (%s)", snd_strerror(brc));
      else klog(LOG_INFO, "playback hw_params buffer set to %lu frames", static_cast<unsigned long>(frames));
    }
    snprintf(ok, sizeof ok, "%s hw_params set", dir);
    snprintf(fail, sizeof fail, "cannot set %s parameters", dir);
    if (!step(snd_pcm_hw_params(pcm, hp), ok, fail)) break;
    good = true;
  } while (false);
  snd_pcm_hw_params_free(hp);
  if (good) klog(LOG_INFO, "%s hw_params freed", dir);
  return good;
}

// Runs a pipeline and collects what it prints; false when it could not be started.
bool pipeline(const char* cmd, std::string& out) {
  if (runShellRead(cmd, out, 4096) < 0) {
    klog(LOG_ERR, "Error opening pipe.");
    fprintf(stderr, "Error opening pipe.\n");
    return false;
  }
  return true;
}

// Room for one frame's header and the largest period the capture buffer holds.
thread_local std::array<uint8_t, 10 + kCaptureBufBytes> t_frame;

int sendAudioData(Works* w, size_t n) {
  uint8_t* f = t_frame.data();
  f[0] = 0x82;
  f[1] = 0x7E;
  f[2] = static_cast<uint8_t>((n + 6) >> 8);
  f[3] = static_cast<uint8_t>((n + 6) & 0xFF);
  f[4] = 'S';
  f[5] = 'O';
  for (int i = 0; i < 4; ++i) f[6 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
  if (!w->wsockConnected) return 0;
  if (websock::WriteFrame(w, f, n + 10, "SO") != 0) {
    klog(LOG_ERR, "rc(%d) != length+10(%d)", -1, static_cast<int>(n + 10));
    return -1;
  }
  ++w->audioFramesSent;
  return 0;
}

}  // namespace

int sendWebSockAudioFrame(Works* w, const int16_t* pcm) {
  if (!w->wsockConnected) return 0;
  const int frames = w->audioFrame;
  if (frames <= 0 || frames * 4 > kCaptureBufBytes) return -1;
  uint8_t* data = t_frame.data() + 10;
  if (w->AudioCompress > 0 && w->opusEnc) {
    const int n = opus_encode(w->opusEnc, pcm, frames, data, frames * 4);
    if (n < 0) {
      // Every period would say the same: the first and then one in a thousand.
      if (w->audioEncodeFailures++ % 1000 == 0) {
        klog(LOG_ERR, "encode failed: %s (%u periods so far)", opus_strerror(n), w->audioEncodeFailures.load());
        fprintf(stderr, "encode failed: %s\n", opus_strerror(n));
      }
      return -1;
    }
    return sendAudioData(w, static_cast<size_t>(n));
  }
  // A period larger than the peer takes in one frame goes as several, each a whole number of stereo frames.
  const size_t total = static_cast<size_t>(frames) * 4;
  const uint8_t* src = reinterpret_cast<const uint8_t*>(pcm);
  for (size_t off = 0; off < total; off += kAudioFrameMaxData) {
    const size_t n = std::min(kAudioFrameMaxData, total - off);
    memmove(data, src + off, n);
    if (sendAudioData(w, n) != 0) return -1;
  }
  return 0;
}

int VerifyAudioBIX(Works* w) {
  std::lock_guard<std::mutex> lk(w->audioBixMut);
  const int64_t now = clockOf(w).nowUs();
  if (w->audioBixCount >= 0 && now - w->audioBixAtUs < kPresenceCacheUs) return w->audioBixCount;
  std::string out;
  int count = 0;
  if (pipeline("lsusb|grep 0d8c:01af |wc -l", out)) count = atoi(out.c_str());
  w->audioBixCount = count;
  w->audioBixAtUs = now;
  return count;
}

int Get_AudioBIX(Works* w) {
  std::string out;
  if (!pipeline("lsusb | grep 0d8c", out)) return 0;
  int lines = 0;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    fprintf(stderr, "----------------- %s\n", out.substr(pos, end - pos).c_str());
    ++lines;
    pos = end + 1;
  }
  return lines;
}

void ExitAUDIOread(Works* w) {
  ktrace("th_leggi ERR\n");
  AddErrore(w, kErrorAudioRead);
  if (w->status_th_leggi && w->pcmIn) snd_pcm_close(w->pcmIn);
  w->pcmIn = nullptr;
  w->status_th_leggi = 0;
  w->remoteThreadsEnded = 1;
  setFlag(w->setup->EnableRead, '0');
  w->audioOutReady = 0;
}

void ExitAUDIOwrite(Works* w) {
  ktrace("th_scrivi ERR\n");
  AddErrore(w, kErrorAudioWrite);
  std::lock_guard<std::mutex> lk(w->audioMut);
  if (w->status_th_scrivi && w->pcmOut) snd_pcm_close(w->pcmOut);
  w->pcmOut = nullptr;
  w->status_th_scrivi = 0;
  w->remoteThreadsEnded = 1;
  w->audioOutReady = 0;
  setFlag(w->setup->EnableWrite, '0');
  free(w->playBuf);
  w->playBuf = nullptr;
  w->playBufBytes = 0;
}

int MyCallback(Works* w, uint8_t* buf, int maxPeriods) {
  snd_pcm_t* pcm = w->pcmIn;
  const int frames = w->audioFrame;
  const int channels = w->inChannels;
  int periods = 0;
  while (periods < maxPeriods) {
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    if (avail < 0) return static_cast<int>(avail);
    if (avail < frames) break;
    // A device that leaves part of the period alone (a capture file at its end) gives silence there.
    memset(buf, 0, static_cast<size_t>(frames) * 4);
    const snd_pcm_sframes_t got = snd_pcm_readi(pcm, buf, static_cast<snd_pcm_uframes_t>(frames));
    if (got < 0) return static_cast<int>(got);
    if (got < frames) break;
    int16_t* s = reinterpret_cast<int16_t*>(buf);
    if (channels == 1) {
      for (int i = frames - 1; i >= 0; --i) s[2 * i + 1] = s[2 * i] = s[i];
    }
    ++w->audioPeriodsRead;
    sendWebSockAudioFrame(w, s);
    ++periods;
  }
  return periods;
}

void th_leggi(Works* w) {
  Mirtsetup* s = w->setup;
  const std::string device = field(s->AudioIn, sizeof s->AudioIn);
  w->inChannels = getFlag(s->InChannels[0]) == '2' ? 2 : 1;
  w->status_th_leggi = 0;
  const int frames = w->audioFrame;
  if (frames <= 0 || frames * 4 > kCaptureBufBytes) {
    klog(LOG_ERR, "capture period of %d frames refused: the capture buffer holds %d", frames, kCaptureBufBytes / 4);
    ExitAUDIOread(w);
    return;
  }
  snd_pcm_t* pcm = nullptr;
  int attempts = 0;
  int rc = openWithRetries(w, &pcm, device, SND_PCM_STREAM_CAPTURE, readStopped, attempts);
  if (rc < 0 && readStopped(w)) {
    ktrace("th_leggi END\n");
    return;
  }
  if (rc < 0) {
    klog(LOG_ERR, "cannot open capture audio device '%s' (%s) after %d/10\"", device.c_str(), snd_strerror(rc),
         attempts);
    fprintf(stderr, "cannot open capture audio device '%s' (%s)\n", device.c_str(), snd_strerror(rc));
    ExitAUDIOread(w);
    return;
  }
  klog(LOG_INFO, "capture audio interface %s opened", device.c_str());
  w->pcmIn = pcm;
  w->status_th_leggi = 1;
  if (!configure(w, pcm, false, static_cast<unsigned>(w->inChannels.load())) ||
      !step(snd_pcm_prepare(pcm), "capture audio interface prepared",
            "cannot prepare capture audio interface for use")) {
    ExitAUDIOread(w);
    return;
  }
  uint8_t* buf = static_cast<uint8_t*>(malloc(kCaptureBufBytes));
  if (!buf) {
    klog(LOG_ERR, "capture buffer not allocated");
    ExitAUDIOread(w);
    return;
  }
  klog(LOG_INFO, "capture buffer allocated (%d)", frames * 4);
  if (!step(snd_pcm_start(pcm), "capture started", "cannot start capture pcm handler")) {
    free(buf);
    ExitAUDIOread(w);
    return;
  }
  // Files and the null device give their data at once: in a simulated root the reads keep to real time.
  const bool paced = rootIsSimulated();
  const auto start = websock::Clock::now();
  auto nextCheck = start + std::chrono::milliseconds(kPresenceEveryMs);
  long long periodsRead = 0;
  bool overrunLogged = false;
  while (!readStopped(w)) {
    const auto now = websock::Clock::now();
    if (now >= nextCheck) {
      nextCheck = now + std::chrono::milliseconds(kPresenceEveryMs);
      if (VerifyAudioBIX(w) == 0) {
        klog(LOG_ERR, "USB audio device gone: capture ends");
        free(buf);
        ExitAUDIOread(w);
        return;
      }
    }
    int maxPeriods = 1 << 20;
    if (paced) {
      const long long due =
          std::chrono::duration_cast<std::chrono::microseconds>(now - start).count() * w->audioRate / 1000000 / frames;
      if (periodsRead > due) {
        sleepMs(2);
        continue;
      }
      maxPeriods = static_cast<int>(std::min<long long>(due - periodsRead + 1, 64));
    }
    rc = snd_pcm_wait(pcm, websock::kStopCheckMs);
    int got = rc < 0 ? rc : MyCallback(w, buf, maxPeriods);
    if (got < 0) {
      // An overrun (or a suspend) stops the device: it starts again and the lost audio is gone.
      if (!overrunLogged) klog(LOG_ERR, "capture interrupted (%s): restarted (logged once per run)", snd_strerror(got));
      overrunLogged = true;
      if (snd_pcm_recover(pcm, got, 1) < 0 || snd_pcm_start(pcm) < 0) {
        klog(LOG_ERR, "capture cannot be restarted (%s)", snd_strerror(got));
        free(buf);
        ExitAUDIOread(w);
        return;
      }
      got = 0;
    }
    periodsRead += got;
  }
  rc = snd_pcm_drop(pcm);
  if (rc < 0) step(rc, "", "cannot drop capture pcm handler");
  free(buf);
  klog(LOG_INFO, "buffer freed");
  klog(LOG_INFO, "capture audio interface closed");
  snd_pcm_close(pcm);
  w->pcmIn = nullptr;
  w->status_th_leggi = 0;
  // A program stop keeps the flag, so the next start resumes the capture.
  if (w->running) setFlag(s->EnableRead, '0');
  ktrace("th_leggi END\n");
}

namespace {

// Closes the playback device of this run and drops its buffer (the receiving thread sees it under the lock).
void closePlayback(Works* w, bool drain) {
  std::lock_guard<std::mutex> lk(w->audioMut);
  w->audioOutReady = 0;
  if (w->pcmOut) {
    if (drain) {
      const int rc = snd_pcm_drain(w->pcmOut);
      if (rc < 0) klog(LOG_ERR, "cannot drain playback pcm handler (%s)", snd_strerror(rc));
    }
    snd_pcm_close(w->pcmOut);
    w->pcmOut = nullptr;
  }
  if (w->playBuf) {
    free(w->playBuf);
    w->playBuf = nullptr;
    w->playBufBytes = 0;
    klog(LOG_INFO, "playback buffer freed");
  }
  w->status_th_scrivi = 0;
}

// Waits while `keep` holds, checking the USB audio device; false when it is gone (the caller ends).
bool waitWithPresence(Works* w, int stepMs, bool (*keep)(Works*)) {
  while (keep(w)) {
    sleepMs(stepMs);
    if (VerifyAudioBIX(w) == 0) return false;
  }
  return true;
}

}  // namespace

void th_scrivi(Works* w) {
  Mirtsetup* s = w->setup;
  w->status_th_scrivi = 0;
  w->audioOutReady = 0;
  websock::PauseUnlessStopped(w, w->audioStartDelayMs, writeStopped);
  for (;;) {
    if (writeStopped(w)) {
      ktrace("output audio interface closed\n");
      klog(LOG_INFO, "output audio interface closed");
      closePlayback(w, false);
      if (w->running) setFlag(s->EnableWrite, '0');
      ktrace("th_scrivi END\n");
      return;
    }
    const std::string device = field(s->AudioOut, sizeof s->AudioOut);
    snd_pcm_t* pcm = nullptr;
    int attempts = 0;
    const int rc = openWithRetries(w, &pcm, device, SND_PCM_STREAM_PLAYBACK, writeStopped, attempts);
    if (rc < 0 && writeStopped(w)) continue;  // stopped while opening: ends above
    if (rc < 0) {
      klog(LOG_ERR, "cannot open output audio device %s (%s)", device.c_str(), snd_strerror(rc));
      fprintf(stderr, "cannot open output audio device %s (%s)\n", device.c_str(), snd_strerror(rc));
      ExitAUDIOwrite(w);
      return;
    }
    klog(LOG_INFO, "output audio interface %s opened", device.c_str());
    {
      std::lock_guard<std::mutex> lk(w->audioMut);
      w->pcmOut = pcm;
      w->status_th_scrivi = 1;
    }
    if (!configure(w, pcm, true, 2)) {
      ExitAUDIOwrite(w);
      return;
    }
    const size_t bytes = static_cast<size_t>(std::max(1, w->audioFrame.load())) * 4;
    {
      std::lock_guard<std::mutex> lk(w->audioMut);
      w->playBuf = static_cast<uint8_t*>(calloc(bytes, 1));
      w->playBufBytes = w->playBuf ? bytes : 0;
    }
    if (!w->playBuf) {
      klog(LOG_ERR, "playback buffer not allocated");
      ExitAUDIOwrite(w);
      return;
    }
    klog(LOG_INFO, "playback buffer allocated (%zu)", bytes);
    w->audioOutReady = 1;
    if (!waitWithPresence(w, 10, [](Works* w) { return !w->wsockConnected && !writeStopped(w); })) {
      klog(LOG_ERR, "USB audio device gone: playback ends");
      ExitAUDIOwrite(w);
      return;
    }
    {
      std::lock_guard<std::mutex> lk(w->audioMut);
      const int prc = snd_pcm_prepare(w->pcmOut);
      if (prc < 0) klog(LOG_ERR, "cannot prepare output audio interface for use (%s)", snd_strerror(prc));
      else klog(LOG_INFO, "output audio interface prepared");
      if (prc < 0) w->audioOutReady = 0;
    }
    if (!w->audioOutReady) {
      ExitAUDIOwrite(w);
      return;
    }
    if (!waitWithPresence(w, 10, [](Works* w) { return w->wsockConnected && !writeStopped(w); })) {
      klog(LOG_ERR, "USB audio device gone: playback ends");
      ExitAUDIOwrite(w);
      return;
    }
    klog(LOG_INFO, "output audio interface to be stopped");
    closePlayback(w, true);
  }
}

bool AudioQueueStep(AudioQueue& q, long freeFrames) {
  if (freeFrames > 0) {
    if (q.free1 <= 0) q.free1 = q.minfree = freeFrames;
    else if (freeFrames < q.minfree) q.minfree = freeFrames;
  }
  if (q.free1 - q.minfree <= kAudioQueueLimit) return true;
  q.minfree = q.free1;
  return false;
}

namespace {

// One piece of at most a period: queue rule, write, underrun. -1 when the client's connection should end.
int playPiece(Works* w, size_t bytes, bool server) {
  AudioQueue& q = server ? w->serverQueue : w->clientQueue;
  snd_pcm_t* pcm = w->pcmOut;
  const snd_pcm_sframes_t frames = static_cast<snd_pcm_sframes_t>(bytes / 4);
  const snd_pcm_sframes_t freeFrames = snd_pcm_avail(pcm);
  if (!AudioQueueStep(q, freeFrames)) {
    klog(LOG_INFO, "output queue over %ld frames: reset, period dropped", kAudioQueueLimit);
    snd_pcm_drop(pcm);
    snd_pcm_prepare(pcm);
    return 0;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const snd_pcm_sframes_t rc = snd_pcm_writei(pcm, w->playBuf, static_cast<snd_pcm_uframes_t>(frames));
    if (rc == frames) {
      ++w->audioPeriodsPlayed;
      return 0;
    }
    klog(LOG_ERR, "write to output audio interface failed %ld (%ld - %s)", static_cast<long>(frames),
         static_cast<long>(rc), rc < 0 ? snd_strerror(static_cast<int>(rc)) : "short");
    if (rc == -EPIPE) {
      snd_pcm_prepare(pcm);
      if (server) continue;
      return 0;
    }
    return rc < 0 && !server ? -1 : 0;
  }
  return 0;
}

}  // namespace

int PlayAudioFrame(Works* w, const uint8_t* data, size_t n, bool server, AudioPlayLog& lg) {
  if (getFlag(w->setup->EnableWrite) != '1') return 0;
  if (server && !w->audioOutReady) return 0;
  // Decoded here, outside the device lock: the decoder is this receiving thread's alone.
  static thread_local std::array<int16_t, kOpusMaxFrames * 2> pcm;
  const uint8_t* src = data;
  size_t bytes = n;
  if (w->AudioCompress > 0 && w->opusDec) {
    int frames = n > 0 ? opus_decode(w->opusDec, data, static_cast<opus_int32>(n), pcm.data(), kOpusMaxFrames, 0)
                       : OPUS_INVALID_PACKET;
    if (frames < 0) {
      if (!lg.badOpus)
        klog(LOG_ERR, "audio packet of %zu bytes not decoded (%s): a period of silence (logged once per connection)",
             n, opus_strerror(frames));
      lg.badOpus = true;
      frames = std::min(w->audioFrame.load(), kOpusMaxFrames);
      std::fill_n(pcm.begin(), frames * 2, int16_t{0});
    }
    for (int i = 0; i < frames * 2; ++i) {  // 16-bit little-endian whatever the host
      const uint16_t v = static_cast<uint16_t>(pcm[i]);
      reinterpret_cast<uint8_t*>(pcm.data())[2 * i] = static_cast<uint8_t>(v & 0xFF);
      reinterpret_cast<uint8_t*>(pcm.data())[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    src = reinterpret_cast<const uint8_t*>(pcm.data());
    bytes = static_cast<size_t>(frames) * 4;
  } else if (n % 4 != 0) {
    if (!lg.badLength)
      klog(LOG_ERR, "audio frame of %zu bytes is no whole number of stereo frames: the rest dropped "
           "(logged once per connection)", n);
    lg.badLength = true;
    bytes = n - n % 4;
  }
  std::lock_guard<std::mutex> lk(w->audioMut);
  if (!w->audioOutReady || !w->playBuf || !w->pcmOut) return 0;
  // A frame larger than this unit's period is played in pieces of a period.
  for (size_t off = 0; off < bytes; off += w->playBufBytes) {
    const size_t piece = std::min(w->playBufBytes, bytes - off);
    memcpy(w->playBuf, src + off, piece);
    if (playPiece(w, piece, server) != 0) return -1;
  }
  return 0;
}
