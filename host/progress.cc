#include "host/progress.h"

#include <cmath>
#include <cstdio>

namespace host {

namespace {

// Redrawing more often than this only costs terminal time.
constexpr double kRedrawInterval = 0.2;

}  // namespace

std::string format_duration(double seconds) {
  const long total = seconds > 0 && std::isfinite(seconds) ? static_cast<long>(seconds) : 0;
  const long h = total / 3600;
  const long m = total / 60 % 60;
  const long s = total % 60;
  char text[48];
  if (h > 0) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", h, m, s);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", m, s);
  }
  return text;
}

ProgressLine::ProgressLine(Sink out, Clock now, double start, double delay)
    : out_(std::move(out)), now_(std::move(now)), start_(start), delay_(delay) {}

void ProgressLine::update(int32_t done, int32_t total) {
  if (total <= 0 || done < 0) return;
  const double now = now_();
  if (first_done_ < 0 || done < last_done_ || total != last_total_) {
    first_time_ = now;
    first_done_ = done;
  }
  last_done_ = done;
  last_total_ = total;
  if (done >= total) {
    clear();
    return;
  }
  const double elapsed = now - start_;
  if (elapsed < delay_) return;
  if (shown() && now - last_drawn_ < kRedrawInterval) return;

  double per_unit = 0.0;
  if (done > first_done_) {
    per_unit = (now - first_time_) / (done - first_done_);
  } else if (done > 0) {
    per_unit = elapsed / done;
  }
  std::string text = "Bootstrap: " + std::to_string(done) + "/" + std::to_string(total) +
                     " replicates, " + format_duration(elapsed) + " elapsed";
  if (per_unit > 0.0) {
    // Round the estimate up: "0:00 left" while work remains reads as a stall.
    text += ", about " + format_duration(std::ceil(per_unit * (total - done))) + " left";
  }
  const std::size_t width = text.size();
  if (width < width_) text.append(width_ - width, ' ');  // cover the end of a longer line
  out_("\r" + text);
  width_ = width > width_ ? width : width_;
  last_drawn_ = now;
}

void ProgressLine::clear() {
  if (!shown()) return;
  std::string blank(width_ + 2, ' ');
  blank.front() = '\r';
  blank.back() = '\r';
  out_(blank);
  width_ = 0;
}

}  // namespace host
