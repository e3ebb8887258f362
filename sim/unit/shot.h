// Writes the virtual screen of a simulated root to a PNG file.
#pragma once
#include <string>

namespace sim {
// Reads <root>/dev/fb0 with its geometry (16 or 32 bits per pixel) and writes an RGB PNG.
bool writeScreenPng(const std::string& root, const std::string& outPng, std::string* error = nullptr);
}
