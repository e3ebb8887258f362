// Transceiver links: packet link and CAT relay, FT-817 CAT, USB spectrum reader.
#pragma once
#include <cstddef>
#include <cstdint>

struct Works;
struct SerParam;

// Thread bodies: each runs until `running` drops or its own enable character leaves '1'.
void Serial(Works* works);
void Cat(Works* works);
void CatSerial(Works* works);
void BIXRead(Works* works);
// Whether the transceiver's own USB device (2b4d:0e31) is on the bus: 1, else 0 (also when the USB
// library cannot be used). The remote menu's presence check.
int UsbTransceiverPresent(Works* works);

// Packet link. SerialLoop serves an already opened port (Serial opens it); it returns 1 when the
// port went away (portError 3 raised), 0 when the link was stopped.
int SerialLoop(Works* works, int fd);
// Reads exactly n bytes of a packet from serFD. -1 when the packet is given up: the link was
// stopped, the port went away, or nothing came for the timeout (error 8 raised).
int readSerialPort(Works* works, unsigned char* buffer, int n);
// header: subtype byte and four length digits (least significant first, 0x30 + value). The length,
// clamped to 1999; -1 when a digit is not one (the bytes are then scanned as headers).
int decodeCmdParameters(Works* works, const unsigned char header[5], unsigned char* subtype);
void storeParameters(Works* works, int length, const unsigned char* payload);
void getParameters(Works* works, SerParam* out);
// Rotates a spectrum line's 1024 level bytes by the receive offset (and the CW pitch in modes 4
// and 6) into out; returns how many of them go to the peer (0 for a line too short to rotate).
int RotateSpectrum(const SerParam& p, const unsigned char* payload, int length, unsigned char out[1024]);
void storeFFT(Works* works, int length, const unsigned char* line);
// Writes the pending transceiver requests ("RX;", "TU120;TX2;") in their order.
void ServeSerialRequests(Works* works, int fd);
// Whole writes to one port, one command at a time. 0, or -1 when the port refused.
int writeSerialPort(int fd, const void* data, size_t length, Works* works);

// CAT relay.
int VerifyCAT(Works* works);
void ExitCAT(Works* works);
// Writes a peer's CAT text to the transceiver's CAT port; -1 when it is closed or refused.
int writeCatPort(Works* works, const void* data, size_t length);

// FT-817 poll.
int writeSerialCatPort(int fd, const void* data, size_t length, Works* works);
void DecodeCatSerialCmd(Works* works, const unsigned char* reply, int count);
bool VerifyByteFreq(unsigned char byte);
