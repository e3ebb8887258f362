// Fields of the shared record owned by remote operation: socket, password, audio format, Opus.
#pragma once
#include <atomic>
#include <cstdint>

struct OpusEncoder;
struct OpusDecoder;

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
};
