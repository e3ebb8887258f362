// PNG screens: decodes a full-screen 8-bit RGBA image with libpng into the background or work buffer.
#include "ui/png.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/works.h"
#include "platform/log.h"
#include "ui/fb.h"

namespace {

// Everything a load owns; released by the destructor however the decode ended.
struct PngLoad {
  FILE* fp = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_bytep* rows = nullptr;
  png_uint_32 rowCount = 0;
  png_uint_32 width = 0;
  png_uint_32 height = 0;

  ~PngLoad() {
    if (rows) {
      for (png_uint_32 i = 0; i < rowCount; ++i) free(rows[i]);
      free(rows);
    }
    if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    if (fp) fclose(fp);
  }
};

// libpng's own messages would go to standard error; the caller logs one line of its own instead.
[[noreturn]] void onPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onPngWarning(png_structp, png_const_charp) {}

// Decodes the opened file into d.rows. Only plain data lives in this frame, so the longjmp out of
// libpng on a damaged file skips no destructor; everything allocated hangs off `d`.
bool decode(PngLoad& d, const char* name, const Screen* s) {
  if (setjmp(png_jmpbuf(d.png))) {
    klog(LOG_ERR, "%s error during init_io", name);
    return false;
  }
  png_init_io(d.png, d.fp);
  png_set_sig_bytes(d.png, 8);
  png_read_info(d.png, d.info);

  d.width = png_get_image_width(d.png, d.info);
  d.height = png_get_image_height(d.png, d.info);
  const int bitDepth = png_get_bit_depth(d.png, d.info);
  const int colorType = png_get_color_type(d.png, d.info);
  if (d.width > static_cast<png_uint_32>(s->width)) {
    klog(LOG_ERR, "%s image has %d cols not %d", name, static_cast<int>(d.width), s->width);
    return false;
  }
  if (d.height > static_cast<png_uint_32>(s->height)) {
    klog(LOG_ERR, "%s image has %d rows not %d", name, static_cast<int>(d.height), s->height);
    return false;
  }
  if (bitDepth != 8 || s->pixelSize != 4 || colorType != PNG_COLOR_TYPE_RGBA) {
    klog(LOG_ERR, "%s image has %d pixels not %d or color_type is %d not %d", name, bitDepth,
         static_cast<int>(s->pixelSize), colorType, PNG_COLOR_TYPE_RGBA);
    return false;
  }
  png_set_interlace_handling(d.png);
  png_read_update_info(d.png, d.info);

  if (setjmp(png_jmpbuf(d.png))) {
    klog(LOG_ERR, "%s error during reading image", name);
    return false;
  }
  const size_t rowBytes = png_get_rowbytes(d.png, d.info);
  if (rowBytes != static_cast<size_t>(d.width) * 4) {
    klog(LOG_ERR, "%s error during reading image", name);
    return false;
  }
  d.rows = static_cast<png_bytep*>(calloc(d.height ? d.height : 1, sizeof(png_bytep)));
  if (!d.rows) {
    klog(LOG_ERR, "%s unable to alloc row_pointers for image", name);
    return false;
  }
  d.rowCount = d.height;
  for (png_uint_32 y = 0; y < d.height; ++y) {
    d.rows[y] = static_cast<png_bytep>(malloc(rowBytes ? rowBytes : 1));
    if (!d.rows[y]) {
      klog(LOG_ERR, "%s unable to alloc row_pointers[%d] for image", name, static_cast<int>(y));
      return false;
    }
  }
  png_read_image(d.png, d.rows);
  // Reading to the end also catches a file cut off or damaged after its last row.
  png_read_end(d.png, nullptr);
  return true;
}

}  // namespace

void getPng(Works* works, int toBackground) {
  if (!works || !works->fb) return;
  Screen* s = works->fb;
  const std::string name = std::string(works->pngName, strnlen(works->pngName, sizeof works->pngName)) + ".png";
  const char* fileName = name.c_str();

  PngLoad d;
  d.fp = fopen(fileName, "rb");
  if (!d.fp) {
    klog(LOG_ERR, "%s image could not be opened", fileName);
    return;
  }
  png_byte header[8];
  if (fread(header, 1, sizeof header, d.fp) != sizeof header || png_sig_cmp(header, 0, sizeof header) != 0) {
    klog(LOG_ERR, "%s image is not a PNG file", fileName);
    return;
  }
  // The library's own version keeps libpng's header/library check meaningful.
  d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
  if (!d.png) {
    klog(LOG_ERR, "%s PNG_create_read_struct failed", fileName);
    return;
  }
#ifdef KORVANE_FUZZ_BUILD
  // Mutated files nearly all fail a checksum before anything else: let the fuzzer reach the decoder.
  png_set_crc_action(d.png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#ifdef PNG_IGNORE_ADLER32
  png_set_option(d.png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
#endif
  d.info = png_create_info_struct(d.png);
  if (!d.info) {
    klog(LOG_ERR, "%s PNG_create_info_struct failed", fileName);
    return;
  }
  if (!decode(d, fileName, s)) return;

  // Only a completely decoded image reaches the target, so a refused file leaves it as it was.
  uint8_t* target = toBackground ? s->backBuf : s->workBuf;
  if (!target) return;
  if (toBackground) s->backgroundLoads.fetch_add(1);
  if (d.height > 0 &&
      (static_cast<size_t>(d.height) - 1) * s->lineSize + static_cast<size_t>(d.width) * 4 > s->memSize) {
    klog(LOG_ERR, "%s image has %d cols not %d", fileName, static_cast<int>(d.width), s->width);
    return;
  }
  for (png_uint_32 y = 0; y < d.height; ++y) {
    const png_bytep src = d.rows[y];
    uint8_t* dst = target + static_cast<size_t>(y) * s->lineSize;
    for (png_uint_32 x = 0; x < d.width; ++x) {
      const png_bytep px = src + static_cast<size_t>(x) * 4;
      dst[0] = px[2];
      dst[1] = px[1];
      dst[2] = px[0];
      dst[3] = 0;
      dst += 4;
    }
  }
  if (!toBackground && s->screenMem) fbRealize(s);
}
