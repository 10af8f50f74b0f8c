// The progress line drawn on the standard error stream while walks are produced.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tarvex/poll.hpp"

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

struct TerminalSize {
  unsigned columns, rows;
};

// Size of the terminal behind fd 2; 80 x 24 when it is not a terminal or
// reports no size.
TerminalSize terminal_size();

// "mm:ss" below an hour, "hh:mm:ss" from an hour on.
std::string format_duration(std::uint64_t seconds);

// One bar's line at `now`, laid out for `columns` characters (not padded).
std::string render_line(const BarState& state, Clock::time_point now, unsigned columns);

// Everything one redraw writes: the open bars in id order, each padded to
// the terminal width, with the cursor hidden while drawing and left on the
// first bar's line.
std::string render_redraw(const std::map<std::uint64_t, BarState>& bars, Clock::time_point now,
                          TerminalSize size);

// One bar's text for a plain stream: a carriage return, then the line laid
// out for `columns` characters, padded to that width unless it is the last
// one, which ends with a newline instead. No escape sequences: notebooks and
// log files understand the carriage return and nothing else.
std::string render_stream_line(const BarState& state, Clock::time_point now, unsigned columns, bool last);

// A destination for the bar other than the terminal behind fd 2 (the host's
// own error stream when that is not fd 2). A bar drawn there stands alone:
// it is neither in the terminal display nor under its lock, so write() may
// wait for anything (an interpreter lock) without stalling another bar.
class ProgressStream {
 public:
  virtual ~ProgressStream() = default;
  // Must not throw: a broken display never stops the run, so a stream deals
  // with its own failures.
  virtual void write(std::string_view text) noexcept = 0;
  // The width lines are laid out for.
  virtual unsigned columns() const noexcept { return 80; }
};

// Asked once as each bar opens, on the thread that opens it; returns the
// stream to draw on, or null for the terminal display on fd 2. Without a hook
// every bar is on fd 2.
using ProgressStreamHook = std::unique_ptr<ProgressStream> (*)();
void set_progress_stream_hook(ProgressStreamHook hook) noexcept;

// A progress display of one run. tick() is on the per-walk path: it costs a
// counter increment and a clock reading unless a redraw is due.
class ProgressBar {
 public:
  explicit ProgressBar(std::optional<std::uint64_t> total);  // registers, draws the empty bar
  ~ProgressBar();  // closes if not yet closed (a failure still ends the line)
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void tick(std::uint64_t items = 1) {
    pending_ += items;
    const Clock::time_point now = Clock::now();
    if (now < next_redraw_) [[likely]] return;
    update_and_redraw(now);
  }

  // Final update, final line (not padded) and a newline; the bar leaves the
  // registry. Later calls do nothing.
  void close();

  // At most 24 redraws a second.
  static constexpr Clock::duration kMinInterval = std::chrono::nanoseconds(41'666'667);
  // On a stream, twice a second: a notebook keeps every redraw it is sent.
  static constexpr Clock::duration kStreamInterval = std::chrono::milliseconds(500);

 private:
  void update_and_redraw(Clock::time_point now);
  // A bar on a stream: takes in the pending items and writes its line, the
  // last one ending in a newline.
  void draw_on_stream(Clock::time_point now, bool last);

  std::unique_ptr<ProgressStream> stream_;  // null: on the terminal display
  BarState own_;                            // the state of a bar on a stream
  std::uint64_t id_ = 0;                    // the bar in the terminal display
  std::uint64_t pending_ = 0;
  // The clock's epoch lies before any reading, so the first tick redraws.
  Clock::time_point next_redraw_{};
  bool closed_ = false;
};

// The owner thread's check while workers advance a shared count: ticks the
// bar (when there is one) with what they have done since the last look, then
// asks the host. Poll(&CountedProgress::check, &progress) hands it to a group.
struct CountedProgress {
  Poll* host;
  ProgressBar* bar;
  const std::atomic<std::uint64_t>* done;
  std::uint64_t shown = 0;

  static void check(void* self) {
    auto& p = *static_cast<CountedProgress*>(self);
    if (p.bar != nullptr) {
      const std::uint64_t now = p.done->load(std::memory_order_relaxed);
      p.bar->tick(now - p.shown);
      p.shown = now;
    }
    p.host->check_now();
  }
};

}  // namespace tarvex
