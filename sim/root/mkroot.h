// Builds a simulated root: the unit's file tree with stand-in commands, a virtual screen and realistic files.
#pragma once
#include <map>
#include <string>

#include "sim/panel/panel_driver.h"

namespace sim {

struct RootOptions {
  // Setup file lines to change from the defaults, by key ("EnableGPIO" -> "0").
  std::map<std::string, std::string> setup;
  // Write the calibration, filter and fan tables of the simulated amplifier.
  bool amplifierTables = true;
  // Folder holding the screen PNGs to copy into the unit's working directory (empty: the project's own).
  std::string screensDir;
  // The command that writes the screen to a PNG (used by the fbgrab stand-in).
  std::string shotCommand;
};

// Creates (or refreshes) a complete root at dir; false with a message on stderr when it cannot.
bool makeSimRoot(const std::string& dir, const RootOptions& opt = {});

// The unit's working directory inside a root, where the screens live.
std::string unitWorkDir(const std::string& dir);

// Writes a stand-in command into <dir>/bin (used by tests to make one fail).
bool writeStandIn(const std::string& dir, const std::string& name, const std::string& script);

// The ALSA configuration of a simulated root (<dir>/sim/asound.conf, read by the program in place of the
// system's): the unit's device name "hw" (so "hw:1" of the setup file) captures from <dir>/sim/audio_in.raw
// and plays into <dir>/sim/audio_out.raw, raw 16-bit little-endian. audioDevice gives one such device.
std::string audioConfig(const std::string& dir);
std::string audioDevice(const std::string& name, const std::string& inFile, const std::string& outFile);

// The setup file text with the given keys changed from the defaults.
std::string setupText(const std::map<std::string, std::string>& changes);

}  // namespace sim
