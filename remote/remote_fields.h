// Fields of the shared record owned by remote operation: socket, password, audio format, Opus.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

struct OpusEncoder;
struct OpusDecoder;
struct _snd_pcm;
class MonotonicClock;

// What a playback path has seen of its device's queue: the first and the smallest positive count of free
// frames. More than kAudioQueueLimit frames between them means the queue grew too long.
struct AudioQueue {
  long free1 = 0;
  long minfree = 0;
};

struct RemoteFields {
  std::atomic<int> wsockFD{-1};
  std::atomic<int> wsockConnected{0};
  char wsockPassword[13]{};                  // set when the server or client thread starts, before any peer
  std::atomic<int> wsockDefaultPassword{0};  // the password is still the unit's default
  char serverName[17]{};
  std::atomic<short> tcpPort{0};
  std::atomic<int> audioFrame{0};   // samples per frame
  std::atomic<int> audioFormat{0};  // 2 = signed 16-bit little-endian
  std::atomic<int> audioRate{0};
  std::atomic<int> AudioCompress{0};
  OpusEncoder* opusEnc = nullptr;
  OpusDecoder* opusDec = nullptr;
  std::atomic<int> jpegQuality{0};  // quality of screen frames sent to the peer; 0 sends them raw
  std::atomic<int> remoteMode{0};
  std::atomic<int> remoteThreadsEnded{0};
  char statusText[200]{};  // the last "ST" text received; only the receiving thread touches it
  // The server's listening port once bound (tcpPort 0 lets the system choose one), 0 while not listening.
  std::atomic<int> wsockListenPort{0};
  // Time a peer has for the handshake and the password.
  std::atomic<int> wsockLoginTimeoutMs{10000};
  // Connections accepted, and those that passed the password, since start.
  std::atomic<uint32_t> wsockAccepted{0}, wsockSessions{0};

  // Audio. The capture device belongs to th_leggi alone. The playback device, its period buffer and the
  // ready flag are changed by th_scrivi and used by the receiving thread, both under audioMut.
  std::atomic<int> inChannels{1};
  _snd_pcm* pcmIn = nullptr;
  _snd_pcm* pcmOut = nullptr;
  uint8_t* playBuf = nullptr;
  size_t playBufBytes = 0;
  std::atomic<int> audioOutReady{0};
  std::atomic<int> status_th_leggi{0}, status_th_scrivi{0};
  std::mutex audioMut;
  AudioQueue serverQueue, clientQueue;  // under audioMut
  // Pause before the playback thread first opens its device (tests shorten it).
  std::atomic<int> audioStartDelayMs{3000};
  // The USB audio presence check's last answer and when it was taken (clock: steadyClock() when unset).
  std::mutex audioBixMut;
  int audioBixCount = -1;
  int64_t audioBixAtUs = 0;
  MonotonicClock* audioClock = nullptr;
  // Periods captured, "SO" frames sent and periods played since start.
  std::atomic<uint32_t> audioPeriodsRead{0}, audioFramesSent{0}, audioPeriodsPlayed{0};
  std::atomic<uint32_t> audioEncodeFailures{0};
};
