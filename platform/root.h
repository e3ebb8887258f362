// Resolves the unit's absolute paths against the root the program runs in ("/" on the unit).
#pragma once
#include <string>
#include <string_view>

// Chooses the root directory: the argument when given, else KORVANE_ROOT, else "/".
void setRootPrefix(std::string_view root);
void initRootFromEnv();
const std::string& rootPrefix();
bool rootIsSimulated();

// "/opt/set/setup.txt" -> "<root>/opt/set/setup.txt" (unchanged when the root is "/").
std::string rootPath(std::string_view absPath);
