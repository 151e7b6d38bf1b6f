#include "corvane/server/lograte.h"

namespace cvserver {

bool LogRate::Allow(std::string_view kind, std::uint64_t& skipped, Clock::time_point now) {
  skipped = 0;
  Window& w = kinds_[kind];
  if (w.written == 0 || now - w.start >= window_) {
    skipped = w.skipped;
    w = Window{now, 1, 0};
    return true;
  }
  if (w.written < burst_) {
    ++w.written;
    return true;
  }
  ++w.skipped;
  return false;
}

}  // namespace cvserver
