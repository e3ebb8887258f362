// Encode and decode of one 800x480 screen at quality 75, 4:2:0, standard tables: ours against libjpeg-turbo.
// libjpeg-turbo reads JSIMD_FORCENONE once per process, so run the binary twice to see it with and without
// SIMD (bench/jpeg/run.sh does both); each run ends with our time as a multiple of libjpeg-turbo's.
#include <benchmark/benchmark.h>
#include <png.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "remote/jpeg.h"

namespace {

struct Screen {
  std::vector<uint8_t> rgba;
  int w = 0, h = 0;
  std::vector<uint8_t> jpeg;  // our encode of it, the input of both decoders
};

const Screen& TheScreen() {
  static Screen s = [] {
    Screen s;
    const char* name = std::getenv("KORVANE_BENCH_SCREEN");
    const std::string path = std::string(KORVANE_SCREENS_DIR) + "/" + (name ? name : "img1") + ".png";
    png_image im{};
    im.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&im, path.c_str())) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      std::exit(1);
    }
    im.format = PNG_FORMAT_RGBA;
    s.rgba.resize(PNG_IMAGE_SIZE(im));
    s.w = static_cast<int>(im.width);
    s.h = static_cast<int>(im.height);
    png_image_finish_read(&im, nullptr, s.rgba.data(), 0, nullptr);
    s.jpeg.resize(s.rgba.size());
    std::size_t size = s.jpeg.size();
    jpeg::EncodeParams p;
    p.quality = 75;
    p.subsampling = jpeg::H2V2;
    jpeg::EncodeToMemory(s.jpeg.data(), size, s.w, s.h, 4, s.rgba.data(), p);
    s.jpeg.resize(size);
    return s;
  }();
  return s;
}

void OursEncode(benchmark::State& state) {
  const Screen& s = TheScreen();
  std::vector<uint8_t> out(s.rgba.size());
  jpeg::EncodeParams p;
  p.quality = 75;
  p.subsampling = jpeg::H2V2;
  for (auto _ : state) {
    std::size_t size = out.size();
    if (!jpeg::EncodeToMemory(out.data(), size, s.w, s.h, 4, s.rgba.data(), p)) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(out.data());
  }
}

void TurboEncode(benchmark::State& state) {
  const Screen& s = TheScreen();
  tjhandle tj = tjInitCompress();
  unsigned char* buf = tjAlloc(static_cast<int>(tjBufSize(s.w, s.h, TJSAMP_420)));
  for (auto _ : state) {
    unsigned long size = tjBufSize(s.w, s.h, TJSAMP_420);
    // The default DCT is the same accurate integer one ours uses.
    if (tjCompress2(tj, s.rgba.data(), s.w, 0, s.h, TJPF_RGBX, &buf, &size, TJSAMP_420, 75, TJFLAG_NOREALLOC))
      state.SkipWithError(tjGetErrorStr());
    benchmark::DoNotOptimize(buf);
  }
  tjFree(buf);
  tjDestroy(tj);
}

void OursDecode(benchmark::State& state) {
  const Screen& s = TheScreen();
  for (auto _ : state) {
    int w, h, c;
    uint8_t* img = jpeg::DecodeFromMemory(s.jpeg.data(), s.jpeg.size(), &w, &h, &c, 4);
    if (!img) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(img);
    std::free(img);
  }
}

void TurboDecode(benchmark::State& state) {
  const Screen& s = TheScreen();
  tjhandle tj = tjInitDecompress();
  std::vector<uint8_t> out(s.rgba.size());
  for (auto _ : state) {
    // Plain chroma replication and the accurate IDCT: the work ours does.
    if (tjDecompress2(tj, s.jpeg.data(), s.jpeg.size(), out.data(), s.w, 0, s.h, TJPF_RGBX,
                      TJFLAG_FASTUPSAMPLE | TJFLAG_ACCURATEDCT))
      state.SkipWithError(tjGetErrorStr());
    benchmark::DoNotOptimize(out.data());
  }
  tjDestroy(tj);
}

BENCHMARK(OursEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(TurboEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(OursDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(TurboDecode)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's processor time per iteration (steadier than wall time on a shared machine) for
// the ratios that close the report.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration) times[r.benchmark_name()] = r.GetAdjustedCPUTime();
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const char* simd = std::getenv("JSIMD_FORCENONE");
  const bool noSimd = simd && std::string(simd) == "1";
  auto ratio = [&](const char* ours, const char* theirs) {
    auto a = reporter.times.find(ours), b = reporter.times.find(theirs);
    if (a == reporter.times.end() || b == reporter.times.end() || b->second <= 0) return;
    std::printf("%s / %s (libjpeg-turbo %s SIMD): %.2f\n", ours, theirs, noSimd ? "without" : "with",
                a->second / b->second);
  };
  ratio("OursEncode", "TurboEncode");
  ratio("OursDecode", "TurboDecode");
  std::printf("screen %dx%d, our JPEG %zu bytes\n", TheScreen().w, TheScreen().h, TheScreen().jpeg.size());
  return 0;
}
