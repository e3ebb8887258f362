// Remote operation: WebSocket server and client, audio capture and playback.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remote/remote_fields.h"

struct Works;

// The largest frame payload either side takes in one piece: an uncompressed audio frame at Multiplier 4
// (3840 bytes of data after its six bytes of tag and length) fits; a larger frame is read and discarded.
// Senders of bigger objects split them (screens and spectra go in 512-byte chunks).
inline constexpr size_t kWebSockMaxPayload = 4096;
// The longest spectrum line a remote head reassembles (4096 points give 1706 bytes).
inline constexpr size_t kSpectrumLineMax = 2048;
// Bytes of one chunk of an "SP" or "FB" object.
inline constexpr int kChunkBytes = 512;

// Data bytes of one "SO" frame the receiver takes whole: its payload also holds the tag and the length,
// and a whole number of stereo frames keeps every piece playable by itself.
inline constexpr size_t kAudioFrameMaxData = (kWebSockMaxPayload - 6) & ~size_t{3};
// Frames the playback queue may grow by before the device is reset (100 ms at 48 kHz).
inline constexpr long kAudioQueueLimit = 4800;

void Wsocket(Works* works);
void Wclient(Works* works);
void th_scrivi(Works* works);
void th_leggi(Works* works);

// Encodes one captured period (audioFrame stereo frames, 16-bit) and sends it as "SO" frames: one Opus packet,
// or the raw period, split when it is larger than kAudioFrameMaxData. 0, or -1 when nothing (or not all) went.
int sendWebSockAudioFrame(Works* works, const int16_t* pcm);
// The capture thread's reading: while whole periods wait on the device (at most maxPeriods), reads one into buf
// (20480 bytes), makes mono stereo and sends it. Periods read, or a negative ALSA error.
int MyCallback(Works* works, uint8_t* buf, int maxPeriods);
// End the capture or playback thread after an error: errors 9 and 10.
void ExitAUDIOread(Works* works);
void ExitAUDIOwrite(Works* works);
// USB audio devices 0d8c:01af on the bus (asked at most once a second; the last answer stands meanwhile).
int VerifyAudioBIX(Works* works);
// Lines of "lsusb | grep 0d8c", each also on standard error.
int Get_AudioBIX(Works* works);

// What a receiving path has logged on the current connection (a peer could flood the log).
struct AudioPlayLog {
  bool badLength = false;
  bool badOpus = false;
};
// Plays a received "SO" frame's n data bytes on the server's or the client's path. -1 when the client's
// connection should end (a write failure other than an underrun).
int PlayAudioFrame(Works* works, const uint8_t* data, size_t n, bool server, AudioPlayLog& logged);
// The queue rule with a new count of free frames: true to write the period, false to drop it and reset.
bool AudioQueueStep(AudioQueue& q, long freeFrames);

// Short frames to the peer ("CA", "PA", "ST", "SC"), n bytes of data (at most 123), one write each under
// wsockMut. They send nothing while no peer is connected. Returns 0, or -1 when the frame was not sent whole.
int sendWebSockCatFrame(Works* works, const void* data, int n);
int sendWebSockSerParFrame(Works* works, const void* data, int n);
// The status frame does not wait: one the socket cannot take at once is skipped (the next pass sends a
// fresh one) and counts as sent.
int sendWebSockStatusFrame(Works* works, const void* data, int n);
int sendWebSockSerFrame(Works* works, const void* data, int n);

// A spectrum line of `total` level bytes as "SP" chunks of 512 bytes. 0, or -1 at the first chunk not sent.
int sendWebSockSerSpectrFrame(Works* works, const void* line, int total);
// The current screen as "FB" chunks (raw with jpegQuality 0, else JPEG) through the record the server
// thread stored; only a server sends it. The argument is not used.
void sendWebSockFbFrame(int unused);
// The same, for a given record (what sendWebSockFbFrame calls). 0, or -1.
int sendScreenFrame(Works* works);
// A touch position as an "XY" text frame.
int sendWebSockEventFrame(Works* works, int x, int y);

// Interprets the "ST" text in statusText.
void dispStat(Works* works);

// The shared password: the first line of /opt/set/wsock_password.txt, else "tarabumbalin" (wsockDefaultPassword
// then says so).
void LoadWsockPassword(Works* works);

// The remote menu's presence check: 0 all present, 1 no transceiver on USB, 2 its CAT port does not answer,
// 3 no USB audio device.
int Find_Remote_Settings(Works* works);
// Runs the remote service shell /opt/sshshell and waits for it.
void RemoteConnection();

// Compresses the screen's work buffer into out (capacity *outLength, normally the screen's memSize) as a JPEG
// at the unit's screen-frame quality; *outLength becomes the JPEG's length. Returns 1, or 0 when it failed.
int Compress(Works* works, uint8_t* out, std::size_t* outLength);

// Decodes a received screen JPEG over the work buffer. A damaged stream, or an image of another size than the
// screen, is dropped with a log line and leaves the buffer untouched. Returns 0, or -1 when dropped.
int Uncompress(Works* works, const uint8_t* data, std::size_t length);
