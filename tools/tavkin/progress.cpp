// Progress bar on standard error; see progress.h.
#include "progress.h"

#include <unistd.h>

#include <fmt/format.h>

namespace tavkin {

Progress::Progress(std::string_view label, std::uint64_t total, bool enabled)
    : label_(label), total_(total), enabled_(enabled && isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { finish(); }

void Progress::finish() {
  if (drawn_) fmt::print(stderr, "\r\x1b[2K");  // leave the line clean for what follows
  drawn_ = false;
  enabled_ = false;
}

void Progress::update(std::uint64_t done) {
  if (!enabled_ || total_ == 0) return;
  const auto now = Clock::now();
  // Short runs get no bar; long ones are redrawn ten times a second.
  if (now - start_ < std::chrono::milliseconds(500) || now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  drawn_ = true;
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(kWidth * done / total_);
  fmt::print(stderr, "\r{} [{:#<{}}{:.<{}}] {:3}% {}/{}", label_, "", filled, "", kWidth - filled,
             100 * done / total_, done, total_);
  std::fflush(stderr);
}

}  // namespace tavkin
