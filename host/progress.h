// The progress line of a long computation: one terminal line rewritten in place, shown only once
// the step has run for a while, and erased before anything else is written to the terminal.
#ifndef TALVEN_HOST_PROGRESS_H
#define TALVEN_HOST_PROGRESS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace host {

// "0:07", "12:34", "1:02:03" (seconds rounded down).
std::string format_duration(double seconds);

class ProgressLine {
 public:
  using Clock = std::function<double()>;  // monotonic seconds
  using Sink = std::function<void(std::string_view)>;

  // `start`: when the step began, on the clock's scale. Nothing is shown before `delay` seconds.
  ProgressLine(Sink out, Clock now, double start, double delay = 2.0);

  void update(int32_t done, int32_t total);
  // Erases the line if it is shown; the next update may show it again.
  void clear();
  bool shown() const { return width_ > 0; }

 private:
  Sink out_;
  Clock now_;
  double start_;
  double delay_;
  // The rate is measured from the first report of a computation: what came before it (reading
  // the data, a preliminary phase) says little about the time per unit.
  double first_time_ = 0.0;
  int32_t first_done_ = -1;
  int32_t last_done_ = -1;
  int32_t last_total_ = -1;
  double last_drawn_ = 0.0;
  std::size_t width_ = 0;  // characters on the terminal line now
};

}  // namespace host

#endif  // TALVEN_HOST_PROGRESS_H
