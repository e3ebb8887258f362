// Remote operation: WebSocket server and client, audio capture and playback.
#pragma once
#include <cstddef>
#include <cstdint>

struct Works;

void Wsocket(Works* works);
void Wclient(Works* works);
void th_scrivi(Works* works);
void th_leggi(Works* works);

// Short frames to the peer ("CA", "PA", "ST", "SC"), n bytes of data (at most 123), one write each under
// wsockMut. They send nothing while no peer is connected. Returns 0, or -1 when the frame was not sent whole.
int sendWebSockCatFrame(Works* works, const void* data, int n);
int sendWebSockSerParFrame(Works* works, const void* data, int n);
int sendWebSockStatusFrame(Works* works, const void* data, int n);
int sendWebSockSerFrame(Works* works, const void* data, int n);

// Compresses the screen's work buffer into out (capacity *outLength, normally the screen's memSize) as a JPEG
// at the unit's screen-frame quality; *outLength becomes the JPEG's length. Returns 1, or 0 when it failed.
int Compress(Works* works, uint8_t* out, std::size_t* outLength);

// Decodes a received screen JPEG over the work buffer. A damaged stream, or an image of another size than the
// screen, is dropped with a log line and leaves the buffer untouched. Returns 0, or -1 when dropped.
int Uncompress(Works* works, const uint8_t* data, std::size_t length);
