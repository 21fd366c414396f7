// Checks what a browser made of a report: the screenshot must be a PNG that shows something (not
// a single colour, and more than a trace of ink), the printout a complete PDF with pages.
//   render_check SCREENSHOT.png PRINTOUT.pdf
#include <cstdio>
#include <filesystem>
#include <string>

#include "png_reader.h"
#include "tests/support/files.h"

namespace {

bool read_file(const char* path, std::string* bytes) {
  if (!std::filesystem::is_regular_file(path)) return false;
  *bytes = test_support::read_file(path);
  return true;
}

// Zero when the page is blank; the share of pixels that differ from the top-left one otherwise.
double ink(const render_check::Image& image) {
  const size_t n = image.channels;
  size_t differing = 0;
  for (size_t i = n; i < image.pixels.size(); i += n) {
    for (size_t k = 0; k < n; ++k) {
      if (image.pixels[i + k] != image.pixels[k]) {
        ++differing;
        break;
      }
    }
  }
  return static_cast<double>(differing) /
         (static_cast<double>(image.width) * static_cast<double>(image.height));
}

// Page objects, not the page tree ("/Type /Pages").
int pdf_pages(const std::string& pdf) {
  int pages = 0;
  for (const char* key : {"/Type /Page", "/Type/Page"}) {
    const std::string k(key);
    for (size_t at = pdf.find(k); at != std::string::npos; at = pdf.find(k, at + 1)) {
      if (at + k.size() >= pdf.size() || pdf[at + k.size()] != 's') ++pages;
    }
  }
  return pages;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: render_check SCREENSHOT.png PRINTOUT.pdf\n");
    return 2;
  }
  int failures = 0;
  std::string png;
  std::string pdf;
  std::string error;
  if (!read_file(argv[1], &png)) {
    std::fprintf(stderr, "FAIL: the screenshot %s is missing\n", argv[1]);
    ++failures;
  } else if (auto image = render_check::decode_png(png, &error); !image) {
    std::fprintf(stderr, "FAIL: the screenshot %s cannot be read: %s\n", argv[1], error.c_str());
    ++failures;
  } else {
    const double share = ink(*image);
    std::printf("%s: %u x %u pixels, %.2f%% differ from the background\n", argv[1], image->width,
                image->height, 100.0 * share);
    if (share == 0.0) {
      std::fprintf(stderr, "FAIL: the screenshot %s is blank (a single colour)\n", argv[1]);
      ++failures;
    } else if (share < 0.001) {
      std::fprintf(stderr, "FAIL: the screenshot %s is nearly blank\n", argv[1]);
      ++failures;
    }
  }
  if (!read_file(argv[2], &pdf)) {
    std::fprintf(stderr, "FAIL: the printout %s is missing\n", argv[2]);
    ++failures;
  } else {
    const int pages = pdf_pages(pdf);
    const bool complete =
        pdf.rfind("%PDF-", 0) == 0 &&
        pdf.find("%%EOF", pdf.size() > 64 ? pdf.size() - 64 : 0) != std::string::npos;
    std::printf("%s: %zu bytes, %d page%s\n", argv[2], pdf.size(), pages, pages == 1 ? "" : "s");
    if (!complete || pages == 0) {
      std::fprintf(stderr, "FAIL: the printout %s is not a complete PDF with pages\n", argv[2]);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
