// The WebSocket link's shared pieces: bounded socket reading, the opening handshake of both sides, frame
// reading and the dispatch of received frames.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "remote/remote.h"

struct Works;

namespace websock {

using Clock = std::chrono::steady_clock;

// How long a stop may wait for a blocked read or accept to notice it.
inline constexpr int kStopCheckMs = 100;
// A request or reply line as the unit reads it, and the most header text a peer may send in all.
inline constexpr int kLineMax = 1024;
inline constexpr int kHandshakeMaxBytes = 8192;
// The key the accept value is made from.
inline constexpr const char* kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// A buffered reader over a connected socket. Every wait is bounded: it gives up when `stop` says so (checked
// at least every kStopCheckMs), or when the deadline (if set) passes.
class SocketReader {
 public:
  SocketReader(int fd, Works* works, bool (*stop)(Works*)) : fd_(fd), works_(works), stop_(stop) {}
  void setDeadline(Clock::time_point t) { deadline_ = t, hasDeadline_ = true; }
  void clearDeadline() { hasDeadline_ = false; }
  // One line of at most max - 1 bytes (its newline included when it fitted), NUL-terminated. Returns its
  // length, 0 at the end of the stream, -1 on an error, a stop or the deadline.
  int readLine(char* out, int max);
  // Exactly n bytes: 1, or 0 at the end of the stream (also in the middle), -1 as readLine.
  int readExact(void* out, size_t n);
  // Reads and drops n bytes; same answers as readExact.
  int discard(size_t n);
  // Drops CR and LF bytes that stand before the next frame; same answers as readExact (1: a frame byte waits).
  int skipLineEnds();
  // Why the last read gave up: 0 end of stream, else errno (ETIMEDOUT for the deadline, ECANCELED for a stop).
  int lastError() const { return err_; }

 private:
  int fill();
  int fd_;
  Works* works_;
  bool (*stop_)(Works*);
  Clock::time_point deadline_{};
  bool hasDeadline_ = false;
  uint8_t buf_[4096];
  size_t pos_ = 0, len_ = 0;
  int err_ = 0;
};

// Base64 of the SHA-1 digest of key + kAcceptGuid, 28 characters.
std::string AcceptValue(const std::string& key);

// Keep-alive and a user time-out so that a peer gone without a word is noticed within 15 s, and a send
// time-out so a sender never waits longer than that on a peer that stopped reading.
void SetPeerSocketOptions(int fd);

// The server's side of the handshake: reads the request and keeps its key. 1 when it is complete with a key,
// 0 when the peer closed or sent no key, -1 on an error, time-out, stop or an oversized request.
int ReadHandshakeRequest(SocketReader& in, std::string& key);
// The reply to a request with this key, as one text.
std::string HandshakeReply(const std::string& key);
// The client's side: reads the reply to a request made with `key`. 1 complete with the right accept value,
// 2 the accept value was wrong, 0 the server closed, -1 on an error, time-out or stop.
int ReadHandshakeReply(SocketReader& in, const std::string& key);

// A received frame. `data` points into the connection's receive buffer.
struct Frame {
  uint8_t head = 0;       // the first byte: final bit and opcode
  bool extended = false;  // the 16-bit (or 64-bit) length form
  bool masked = false;    // the peer set the mask bit (standard clients do)
  size_t length = 0;      // payload bytes, the key excluded
  uint8_t* data = nullptr;
  bool dropped = false;  // larger than the receive buffer: read and discarded
};

inline constexpr uint8_t kOpText = 0x1, kOpBinary = 0x2, kOpClose = 0x8, kOpPing = 0x9, kOpPong = 0xA;
inline uint8_t Opcode(const Frame& f) { return f.head & 0x0F; }

// Reads one frame into buf (kWebSockMaxPayload bytes). Text frames and masked frames carry a four-byte key
// that is applied. 1, or what readExact answered when the stream ended or failed (`stage` names where).
int ReadFrame(SocketReader& in, uint8_t* buf, Frame& f, int& stage);

// Per connection state of the receiving side.
struct Session {
  bool server = true;
  bool authenticated = false;
  bool end = false;            // the frame asked to end the connection
  bool loggedDropped = false;  // an oversized frame was logged on this connection
  bool loggedAudio = false;  // a malformed "SO" frame was logged on this connection
  AudioPlayLog audioLog;
  bool wrongPassword = false;
  int fd = -1;
  // Spectrum line of a remote head, reassembled from "SP" chunks.
  uint8_t spectrum[kSpectrumLineMax]{};
};

// Acts on one frame: the password, "CA", "PA", "SC", "ST", "SP", "FB", "SO", "XY" and the control frames.
void Dispatch(Works* works, Session& s, const Frame& f);

// Copies a chunk into the screen's background buffer and shows the object once its last chunk is in.
void ScreenChunk(Works* works, const uint8_t* chunk, size_t n, uint32_t total, uint32_t offset);

// Writes one whole frame to the current peer under wsockMut; a frame cut short ends the connection (its
// stream would be out of step). 0, or -1.
// Without waitForRoom a frame the socket cannot take at once (its lock held by another sender, or its
// buffer full) is not sent and the answer is 1: for frames that the next pass repeats anyway.
int WriteFrame(Works* works, const uint8_t* frame, size_t n, const char* what, bool waitForRoom = true);

// Sleeps ms in short steps; false as soon as `stop` says so.
bool PauseUnlessStopped(Works* works, long long ms, bool (*stop)(Works*));

// Ends the current peer's connection on this side: the senders stop, "RX;" goes to a transmitting
// transceiver when the peer had been let in, and the socket is closed.
void EndConnection(Works* works, int fd, bool authenticated);

}  // namespace websock

// The record the screen sender uses (set by the server thread).
void rememberServerWorks(Works* works);
