// Shared helpers of the simulated-micro tests: a temporary link path, a running
// simulator, and a reading of the status reply the way the unit interprets it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "sim/micro/calibration.h"
#include "sim/micro/micro_sim.h"
#include "tests/sim_micro/pty_client.h"

namespace simtest {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "simmicroXXXXXX").string();
    path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Calibration factors read back from the config text the way the unit reads them:
// watts over counts squared, row i governs [start_i, start_i+1).
struct K {
  double k0 = 1, k1 = 1, k2 = 1, k3 = 0;
};
inline K kFromConfig(const std::string& text, double freq) {
  std::istringstream in(text);
  std::vector<std::vector<double>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == ';') continue;
    std::istringstream ls(line);
    std::vector<double> v;
    for (double x; ls >> x;) v.push_back(x);
    rows.push_back(v);
  }
  for (size_t i = 0; i + 1 < rows.size(); ++i) {
    if (rows[i][0] <= freq && freq < rows[i + 1][0]) {
      const auto& r = rows[i];
      return {r[2] / (r[3] * r[3]), r[4] / (r[5] * r[5]), r[6] / (r[7] * r[7]), r[8]};
    }
  }
  return {};
}

struct Status {
  int s0 = 0, s1 = 0, faults = 0;
  int pw = 0, fwd = 0, refl = 0, cur = 0, t1 = 0, t2 = 0, peak = 0;
};
inline int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
inline bool parseStatus(const std::string& r, Status& s) {
  if (r.size() != 37 || r.compare(0, 2, "ST") != 0 || r.back() != ';') return false;
  auto num = [&](size_t pos) { return std::atoi(r.substr(pos, 4).c_str()); };
  s.s0 = hexDigit(r[2]);
  s.s1 = hexDigit(r[3]);
  s.pw = num(4);
  s.fwd = num(8);
  s.refl = num(12);
  s.cur = num(16);
  s.t1 = num(20);
  s.t2 = num(24);
  s.faults = hexDigit(r[28]) | (hexDigit(r[29]) << 4);
  s.peak = num(32);
  return s.s0 >= 0 && s.s1 >= 0 && hexDigit(r[28]) >= 0 && hexDigit(r[29]) >= 0;
}

// SWR as the unit computes it from a status reply.
inline double unitSwr(const Status& s, const K& k) {
  const double fwd = k.k0 * s.fwd * s.fwd;
  const double refl = std::max(0.0, k.k1 * s.refl * s.refl + k.k3 * fwd);
  if (fwd <= 0.3) return refl > 0.5 ? 100.0 : 0.0;
  if (fwd < refl) return 100.0;
  const double r = std::sqrt(refl / fwd);
  if (r == 1.0) return 100.0;
  return std::min(100.0, (1 + r) / (1 - r));
}

class SimFixture : public ::testing::Test {
 protected:
  void startSim(sim::MicroSimOptions opts = {}) {
    ASSERT_FALSE(dir_.path().empty());
    link_ = dir_.path() + "/ttyAMA0";
    sim_ = std::make_unique<sim::MicroSim>(opts);
    ASSERT_TRUE(sim_->start(link_));
    client_ = std::make_unique<PtyClient>(link_);
    ASSERT_TRUE(client_->ok());
  }
  void TearDown() override {
    client_.reset();
    if (sim_) sim_->stop();
  }
  TempDir dir_;
  std::string link_;
  std::unique_ptr<sim::MicroSim> sim_;
  std::unique_ptr<PtyClient> client_;
};

}  // namespace simtest
