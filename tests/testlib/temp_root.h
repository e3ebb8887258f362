// Test helpers: a fresh temporary root per test, log capture, a Works record with its setup record.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/setup.h"
#include "core/works.h"

namespace testlib {

// A temporary directory used as the program's root; removed at destruction.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  const std::string& path() const { return path_; }
  std::string file(const std::string& abs) const { return path_ + abs; }
  void write(const std::string& abs, const std::string& text) const;
  std::string read(const std::string& abs) const;
  bool exists(const std::string& abs) const;
  // Makes the process use this root (root prefix and PATH with its bin/ first).
  void activate() const;
  // A stand-in command in <root>/bin.
  void standIn(const std::string& name, const std::string& script) const;

 private:
  std::string path_;
};

// Collects log lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;
  bool contains(const std::string& text) const;
  size_t count(const std::string& text) const;

 private:
  mutable std::mutex mut_;
  std::vector<std::string> lines_;
};

// A zero-filled record with its own setup record and mutexes, defaults laid.
struct TestWorks {
  TestWorks();
  std::unique_ptr<Works> works;
  std::unique_ptr<Mirtsetup> setup;
  std::mutex serMut, wsockMut, connMut;
  Works* operator->() { return works.get(); }
  Works* get() { return works.get(); }
};

}  // namespace testlib
