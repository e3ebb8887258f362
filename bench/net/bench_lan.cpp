// The interfaces file read at start-up and rebuilt on save: a 200-line file with two interfaces.
// Run with 2>/dev/null: the reader traces its values to standard error as the unit does.
#include <benchmark/benchmark.h>

#include <string>

#include "net/lan.h"
#include "tests/testlib/temp_root.h"

namespace {

std::string longFile() {
  std::string f;
  for (int i = 0; i < 90; ++i) f += "# comment line " + std::to_string(i) + std::string(i % 7 ? 20 : 200, '-') + "\n";
  f += "auto eth0\niface eth0 inet static\n    address 192.168.10.20\n    netmask 255.255.255.0\n"
       "    gateway 192.168.10.1\n    nameserver 192.168.10.1\n";
  for (int i = 0; i < 98; ++i) f += "# more " + std::to_string(i) + "\n";
  f += "iface eth1 inet static\n    address 10.1.1.1\n";
  return f;
}

void BM_ReadLanParam(benchmark::State& state) {
  testlib::TempRoot root;
  root.activate();
  root.write("/etc/network/interfaces", longFile());
  for (auto _ : state) benchmark::DoNotOptimize(ReadLanParam());
}
BENCHMARK(BM_ReadLanParam);

void BM_LanFileText(benchmark::State& state) {
  const std::string in = longFile();
  std::string out, why;
  SplitAddr("192.168.10.99", IP_v);
  for (auto _ : state) {
    benchmark::DoNotOptimize(lanFileText(in, out, why));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_LanFileText);

}  // namespace
