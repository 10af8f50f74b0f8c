// The progress bar of a run: drawn on the terminal behind fd 2 among every other open bar, or alone on a stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "tarvex/poll.hpp"
#include "tarvex/sampling/progress_render.hpp"
#include "tarvex/sampling/progress_stream.hpp"

namespace tarvex {

// A progress display of one run. tick() is on the per-walk path: it costs a
// counter increment and a clock reading unless a redraw is due.
class ProgressBar {
 public:
  explicit ProgressBar(std::optional<std::uint64_t> total);  // registers, draws the empty bar
  ~ProgressBar();                                            // closes if not yet closed (a failure still ends the line)
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void tick(std::uint64_t items = 1) {
    pending_ += items;
    const Clock::time_point now = Clock::now();
    if (now < next_redraw_) [[likely]]
      return;
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

// A run's bar when one is asked for and nothing otherwise: what every loop
// that may show progress opens, ticks and closes. The destructor closes it.
class OptionalProgressBar {
 public:
  OptionalProgressBar() = default;  // none until opened
  OptionalProgressBar(bool shown, std::optional<std::uint64_t> total) { open(shown, total); }

  void open(bool shown, std::optional<std::uint64_t> total) {
    if (shown) bar_.emplace(total);
  }
  void tick(std::uint64_t items = 1) {
    if (bar_) bar_->tick(items);
  }
  void close() {
    if (bar_) bar_->close();
  }
  ProgressBar* get() { return bar_ ? &*bar_ : nullptr; }

 private:
  std::optional<ProgressBar> bar_;
};

// The bar of work spread over a task group: workers add what they finish to
// done(), and poll(), the group's poll on the owner thread, shows it and asks
// the host.
class SharedProgress {
 public:
  SharedProgress(Poll& host, bool shown, std::optional<std::uint64_t> total)
      : bar_(shown, total), counted_{&host, bar_.get(), &done_}, poll_(&CountedProgress::check, &counted_) {}
  SharedProgress(const SharedProgress&) = delete;
  SharedProgress& operator=(const SharedProgress&) = delete;

  std::atomic<std::uint64_t>& done() { return done_; }
  Poll& poll() { return poll_; }
  // Shows all that is done and asks the host once more: after the group's wait.
  void catch_up() { CountedProgress::check(&counted_); }
  void close() { bar_.close(); }

 private:
  OptionalProgressBar bar_;
  std::atomic<std::uint64_t> done_{0};
  CountedProgress counted_;
  Poll poll_;
};

}  // namespace tarvex
