// The operator's choice of auto-tune search, kept in a small file of its own so that the setup
// file's fixed layout never changes: "0" the step climb, "1" the matching search.
#include <cerrno>
#include <cstdio>
#include <string>

#include "core/works.h"
#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "tuner/tuner.h"

namespace {
constexpr const char* kTuneSearchFile = "/opt/set/tunesearch.txt";
}

const char* TuneSearchCaption(int search) { return search == 1 ? "Match" : "Climb"; }

int ParseTuneSearch(const std::string& text) {
  // One digit on the first line that is not a comment, blanks and a line end around it allowed.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t a = line.find_first_not_of(" \t\r");
    if (a == std::string::npos || line[a] == ';') continue;
    const size_t b = line.find_last_not_of(" \t\r");
    line = line.substr(a, b - a + 1);
    if (line == "0") return 0;
    if (line == "1") return 1;
    return -1;
  }
  return -1;
}

int LoadTuneSearch(Works* w) {
  std::string text;
  if (!readWholeFile(rootPath(kTuneSearchFile), text, 4096)) {
    const int err = errno;
    w->tuneSearch = 0;
    if (err == ENOENT) return 0;  // never chosen: the step climb
    klog(LOG_ERR, "Tuner: %s unreadable (%s), auto-tune uses the step climb", kTuneSearchFile, fileErrorText(err));
    return -1;
  }
  const int v = ParseTuneSearch(text);
  if (v < 0) {
    w->tuneSearch = 0;
    klog(LOG_ERR, "Tuner: %s holds no search number (0 or 1), auto-tune uses the step climb", kTuneSearchFile);
    return -1;
  }
  w->tuneSearch = v;
  klog(LOG_INFO, "Tuner: auto-tune search %s", TuneSearchCaption(v));
  return 0;
}

int SaveTuneSearch(Works* w) {
  const int v = w->tuneSearch.load() == 1 ? 1 : 0;
  char text[4];
  snprintf(text, sizeof text, "%d\n", v);
  return optSetWriteFile(kTuneSearchFile, text);
}
