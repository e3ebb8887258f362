// Writes the virtual screen of a simulated root to a PNG file.
#pragma once
#include <string>

namespace sim {

// One read of the virtual screen: its geometry and the bytes of the whole image.
struct ScreenSnapshot {
  unsigned width = 800, height = 480, bpp = 32;
  std::string pixels;
  bool operator==(const ScreenSnapshot& o) const {
    return width == o.width && height == o.height && bpp == o.bpp && pixels == o.pixels;
  }
};

// Reads <root>/dev/fb0 once, with its geometry (16 or 32 bits per pixel).
bool readScreen(const std::string& root, ScreenSnapshot& out, std::string* error = nullptr);
// Writes a snapshot as an RGB PNG (through a temporary file, so a reader never sees half of one).
bool writeSnapshotPng(const ScreenSnapshot& snap, const std::string& outPng, std::string* error = nullptr);
// Reads the screen of a root and writes it as a PNG.
bool writeScreenPng(const std::string& root, const std::string& outPng, std::string* error = nullptr);

// One PNG per distinct screen, PREFIX-000.png, PREFIX-001.png, ...: the moments a person would
// notice. The picture written is always the snapshot that was compared, never a later read.
class ScreenChanges {
 public:
  explicit ScreenChanges(std::string prefix) : prefix_(std::move(prefix)) {}
  // Records the snapshot when it differs from the last one recorded (an all-black screen before
  // the first picture is skipped); true when a PNG was written.
  bool offer(const ScreenSnapshot& snap);
  int count() const { return count_; }

 private:
  std::string prefix_;
  ScreenSnapshot last_;
  bool any_ = false;
  int count_ = 0;
};

// Reads the root's screen once and offers that snapshot; true when a PNG was written.
bool recordScreenChange(const std::string& root, ScreenChanges& changes);

}  // namespace sim
