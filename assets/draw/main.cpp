// Command-line tool that writes the nine background screens as PNG files into a folder.
#include <cstdio>
#include <filesystem>
#include <string>

#include "canvas.h"
#include "preview.h"
#include "screens.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: korvane-draw-screens [--preview] <outdir> [fontdir]\n"
               "  writes start, start120, img1, img1b, img3, img3b, m5a, status, statusB (.png) into <outdir>;\n"
               "  fontdir holds DejaVuSans.ttf and DejaVuSans-Bold.ttf (default /usr/share/fonts/truetype/dejavu);\n"
               "  --preview writes <name>-preview.png instead, with sample readings drawn over each screen\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const bool preview = argc > 1 && std::string(argv[1]) == "--preview";
  if (preview) ++first;
  const int rest = argc - first;
  if (rest < 1 || rest > 2 || std::string(argv[first]).empty() || std::string(argv[first]).starts_with("-"))
    return Usage();
  const std::filesystem::path outdir = argv[first];
  const std::filesystem::path fontdir = rest == 2 ? argv[first + 1] : "/usr/share/fonts/truetype/dejavu";

  std::error_code ec;
  std::filesystem::create_directories(outdir, ec);
  if (ec || !std::filesystem::is_directory(outdir)) {
    std::fprintf(stderr, "korvane-draw-screens: cannot use %s as output folder\n", outdir.c_str());
    return 1;
  }

  std::string error;
  const artwork::Fonts fonts{(fontdir / "DejaVuSans.ttf").string(), (fontdir / "DejaVuSans-Bold.ttf").string()};
  auto screens = artwork::DrawAllScreens(fonts, error);
  if (screens.empty()) {
    std::fprintf(stderr, "korvane-draw-screens: %s\n", error.c_str());
    return 1;
  }
  if (preview) screens = artwork::DrawPreviews(screens, fonts);
  for (const auto& s : screens) {
    const std::filesystem::path file = outdir / (s.name + ".png");
    // Write beside the target and rename, so a reader never sees half a screen.
    const std::filesystem::path temp = outdir / (s.name + ".png.tmp");
    if (!artwork::WritePng(temp.string(), s.canvas.Rgba(), artwork::Canvas::kWidth, artwork::Canvas::kHeight, error)) {
      std::fprintf(stderr, "korvane-draw-screens: %s\n", error.c_str());
      std::filesystem::remove(temp, ec);
      return 1;
    }
    std::filesystem::rename(temp, file, ec);
    if (ec) {
      std::fprintf(stderr, "korvane-draw-screens: cannot rename %s: %s\n", temp.c_str(), ec.message().c_str());
      return 1;
    }
    std::printf("%s\n", file.c_str());
  }
  return 0;
}
