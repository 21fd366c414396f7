// Reads the PNG files a browser writes, with no library beyond the C++ standard one: a zlib
// inflater and the PNG filters. Enough to tell a rendered page from a blank one.
#ifndef TALVEN_TESTS_HOST_REPORT_SAMPLE_PNG_READER_H
#define TALVEN_TESTS_HOST_REPORT_SAMPLE_PNG_READER_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace render_check {

// Decompresses a zlib stream (RFC 1950 around RFC 1951), checking its Adler-32 sum.
std::optional<std::string> inflate_zlib(std::string_view stream, std::string* error);

struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 0;        // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
  std::vector<uint8_t> pixels;  // rows top to bottom, `channels` bytes per pixel
};

// 8-bit grey, grey + alpha, RGB, RGBA and palette images (a palette image comes back as RGB),
// not interlaced; chunk checksums are verified.
std::optional<Image> decode_png(std::string_view file, std::string* error);

}  // namespace render_check

#endif  // TALVEN_TESTS_HOST_REPORT_SAMPLE_PNG_READER_H
