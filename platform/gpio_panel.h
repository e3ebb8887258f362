// The simulated front panel: a small file mapped by the register model and by whoever presses keys.
#pragma once
#include <cstdint>
#include <string>

// Written from outside (simulator, tests): which keys are down and what the peripheral answers to
// each code. Written by the model: what the program did with them, so a tester sees that a press
// or an exchange reached the registers. Every word is accessed atomically; the file may be mapped
// by several processes at once.
struct GpioPanelWords {
  uint32_t magic;
  uint32_t keysDown;        // bit n - 1: key n held down
  uint32_t replies[256];    // 12-bit answer to each 8-bit code
  uint32_t pressesSeen[6];  // key n read down after being read up, by the program
  uint32_t exchanges;       // exchanges the peripheral completed
  uint32_t lastCode;
  uint32_t lastReply;
  uint32_t timingFaults;  // exchanges spoiled by a clock phase or set-up time too short
  uint32_t outputs;       // output latches of pins 0 to 31
  uint32_t levelReads;    // reads of the level register
};

class GpioPanel {
 public:
  static constexpr uint32_t kMagic = 0x4B475031;  // "KGP1"
  static constexpr int kFileSize = 4096;

  GpioPanel() = default;
  ~GpioPanel();
  GpioPanel(const GpioPanel&) = delete;
  GpioPanel& operator=(const GpioPanel&) = delete;

  // Maps the file, creating it (all keys up, every reply 0) when missing or too short. Anything
  // that is not a regular file is refused with a log line.
  bool open(const std::string& path);
  bool isOpen() const { return words_ != nullptr; }

  // Key 1 to 6; others are ignored.
  void setKey(int key, bool down);
  uint32_t keysDown() const;
  // Code 0 to 255, value masked to 12 bits.
  void setReply(int code, uint32_t value);
  uint32_t reply(int code) const;

  uint32_t pressesSeen(int key) const;
  uint32_t exchanges() const;
  uint32_t lastCode() const;
  uint32_t lastReply() const;
  uint32_t timingFaults() const;
  uint32_t outputs() const;
  uint32_t levelReads() const;

  // The model's side.
  void notePressSeen(int key);
  void noteExchange(uint32_t code, uint32_t reply);
  void noteTimingFault();
  void setOutputs(uint32_t latches);
  void noteLevelRead();

 private:
  uint32_t load(const uint32_t& w) const;
  void store(uint32_t& w, uint32_t v);
  void add(uint32_t& w);
  GpioPanelWords* words_ = nullptr;
};
