// Calls from a lower library up into a higher one, gathered in one place of the record. The entry
// point fills them (a test that runs the libraries together fills what it needs); an unset hook
// means the caller does without.
#pragma once
#include <cstddef>

struct Works;

struct Hooks {
  // Amplifier link -> tuner: the relay-word commands, composed under the tune-word lock and handed
  // back to `send`; one auto-tune step after a status reply; the thresholds of the start-up seeding.
  int (*tunerCommand)(Works*, int state, void (*send)(Works*, const char* text, int len)) = nullptr;
  void (*tuneTask)(Works*) = nullptr;
  void (*thresholds)(Works*) = nullptr;
  // Error list's remote restart -> the remote threads.
  void (*startAudioWrite)(Works*) = nullptr;
  void (*startAudioRead)(Works*) = nullptr;
  void (*startCat)(Works*) = nullptr;
  void (*startFft)(Works*) = nullptr;
  // Interface change of the band tables -> the transceiver link threads.
  void (*startThreadBIX)(Works*) = nullptr;
  void (*startThreadCATserial)(Works*) = nullptr;
  // GPIO key scanner -> key dispatch (DecodeTasto): key 1-6, heldMask 0 for a short press or the
  // key's bit once held for the long-press time; a non-zero result asks for the held call again.
  int (*keyEvent)(Works*, int key, int heldMask) = nullptr;
  // WebSocket peer -> transceiver links: the peer's bytes for the CAT port and the packet link (whole
  // writes, one command at a time per port; -1 when the port is closed or refused them), the CAT relay's
  // end after a refused write, and a remote head's received parameter blocks and spectrum lines.
  int (*writeCatPort)(Works*, const void* data, size_t len) = nullptr;
  int (*writeSerPort)(Works*, const void* data, size_t len) = nullptr;
  void (*exitCat)(Works*) = nullptr;
  void (*storeParameters)(Works*, int length, const unsigned char* payload) = nullptr;
  void (*storeFFT)(Works*, int length, const unsigned char* line) = nullptr;
  // Remote menu's presence check -> the USB, CAT and audio probes: the transceiver on USB (1 present),
  // the CAT port search (0 found), the USB audio devices counted.
  int (*usbTransceiverPresent)(Works*) = nullptr;
  int (*verifyCat)(Works*) = nullptr;
  int (*verifyAudioBIX)(Works*) = nullptr;
  // Key pages -> the threads the entry point owns: the amplifier link again after a port error, the
  // WebSocket thread and the remote threads of the remote mode switch.
  void (*startLinear)(Works*) = nullptr;
  void (*startWebSocket)(Works*) = nullptr;
  void (*startRemote)(Works*) = nullptr;
  void (*stopRemote)(Works*) = nullptr;
  // Remote mode prerequisites: the remote settings check (0 all present, 1 USB, 2 CAT, 3 audio read
  // missing) and the number of the transceiver's USB audio devices. Unset: the devices are missing.
  int (*findRemoteSettings)(Works*) = nullptr;
  int (*getAudioBIX)(Works*) = nullptr;
  // Transceiver links -> WebSocket server: frames to a connected peer ("CA" CAT replies, "PA"
  // parameter blocks, "SC" spectrum lines). Unset: no peer to tell.
  void (*sendWebSockCatFrame)(Works*, const char* data, int len) = nullptr;
  void (*sendWebSockSerParFrame)(Works*, const unsigned char* data, int len) = nullptr;
  void (*sendWebSockSerSpectrFrame)(Works*, const unsigned char* data, int len) = nullptr;
  // Error screen's Retry -> the transceiver link threads of the current work mode, started again
  // so they reopen their ports.
  void (*restartRadioLinks)(Works*) = nullptr;
};

struct HookFields {
  Hooks hooks;
};
