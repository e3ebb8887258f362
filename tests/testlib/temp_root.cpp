// Test helpers shared by the test programs.
#include "tests/testlib/temp_root.h"

#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/log.h"
#include "platform/root.h"

namespace fs = std::filesystem;

namespace testlib {

TempRoot::TempRoot() {
  std::string tmpl = (fs::temp_directory_path() / "korvane-test-XXXXXX").string();
  char* p = mkdtemp(tmpl.data());
  path_ = p ? p : "/tmp/korvane-test-fallback";
  for (const char* d : {"/bin", "/dev", "/opt/set", "/var/log", "/etc/network"}) fs::create_directories(path_ + d);
  standIn("mount", "#!/bin/sh\necho \"mount $*\" >> \"$(dirname \"$0\")/../var/log/commands.log\"\nexit 0\n");
}

TempRoot::~TempRoot() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempRoot::write(const std::string& abs, const std::string& text) const {
  fs::create_directories(fs::path(file(abs)).parent_path());
  std::ofstream f(file(abs), std::ios::binary | std::ios::trunc);
  f << text;
}

std::string TempRoot::read(const std::string& abs) const {
  std::ifstream f(file(abs), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool TempRoot::exists(const std::string& abs) const { return fs::exists(file(abs)); }

void TempRoot::activate() const {
  setRootPrefix(path_);
  static std::string basePath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (path_ + "/bin:" + basePath).c_str(), 1);
}

void TempRoot::standIn(const std::string& name, const std::string& script) const {
  std::string p = path_ + "/bin/" + name;
  std::ofstream(p, std::ios::trunc) << script;
  chmod(p.c_str(), 0755);
}

LogCapture::LogCapture() {
  setLogCapture([this](int, const std::string& m) {
    std::lock_guard<std::mutex> lk(mut_);
    lines_.push_back(m);
  });
}

LogCapture::~LogCapture() { setLogCapture(nullptr); }

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lk(mut_);
  return lines_;
}

bool LogCapture::contains(const std::string& text) const { return count(text) > 0; }

size_t LogCapture::count(const std::string& text) const {
  std::lock_guard<std::mutex> lk(mut_);
  size_t n = 0;
  for (const auto& l : lines_)
    if (l.find(text) != std::string::npos) ++n;
  return n;
}

TestWorks::TestWorks() : works(std::make_unique<Works>()), setup(std::make_unique<Mirtsetup>()) {
  works->setup = setup.get();
  works->serMut = &serMut;
  works->wsockMut = &wsockMut;
  works->connMut = &connMut;
  initSetup(works.get());
}

}  // namespace testlib
