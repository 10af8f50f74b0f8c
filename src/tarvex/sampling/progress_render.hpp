// The text of progress lines: a bar's state, its line, a redraw of every open bar, a line for a plain stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "tarvex/sampling/terminal.hpp"

namespace tarvex {

// Monotonic, so elapsed times and rates never see a clock step backwards.
using Clock = std::chrono::steady_clock;

// What is known about one open bar; kept in the registry so that every redraw
// can render all open bars.
struct BarState {
  std::optional<double> rate;  // items per second, smoothed
  std::optional<std::uint64_t> total;
  std::uint64_t n = 0;
  Clock::time_point begin;
  std::optional<Clock::time_point> last_update;

  // k more items done at `now`. The first update only records the time: a
  // rate needs an interval.
  void update(Clock::time_point now, std::uint64_t k);
};

// "mm:ss" below an hour, "hh:mm:ss" from an hour on.
std::string format_duration(std::uint64_t seconds);

// One bar's line at `now`, laid out for `columns` characters (not padded).
std::string render_line(const BarState& state, Clock::time_point now, unsigned columns);

// Everything one redraw writes: the open bars in id order, each padded to
// the terminal width, with the cursor hidden while drawing and left on the
// first bar's line.
std::string render_redraw(const std::map<std::uint64_t, BarState>& bars, Clock::time_point now, TerminalSize size);

// One bar's text for a plain stream: a carriage return, then the line laid
// out for `columns` characters, padded to that width unless it is the last
// one, which ends with a newline instead. No escape sequences: notebooks and
// log files understand the carriage return and nothing else.
std::string render_stream_line(const BarState& state, Clock::time_point now, unsigned columns, bool last);

}  // namespace tarvex
