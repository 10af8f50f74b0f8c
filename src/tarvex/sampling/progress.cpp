// The progress bar of a run: the registry of open bars on the terminal, and a bar's life from open to close.
#include "tarvex/sampling/progress.hpp"

#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "tarvex/sampling/terminal.hpp"

namespace tarvex {

namespace {

class BarRegistry {
 public:
  // Never destroyed, so a bar closed during process teardown still finds it.
  static BarRegistry& instance() {
    static BarRegistry* const registry = new BarRegistry;
    return *registry;
  }

  std::uint64_t open(std::optional<std::uint64_t> total) {
    const std::uint64_t id = next_id_.fetch_add(1, std::memory_order_relaxed);
    BarState state;
    state.total = total;
    state.begin = Clock::now();
    const std::lock_guard lock(mutex_);
    bars_.emplace(id, state);
    return id;
  }

  void update(std::uint64_t id, Clock::time_point now, std::uint64_t k) {
    const std::lock_guard lock(mutex_);
    if (const auto it = bars_.find(id); it != bars_.end()) it->second.update(now, k);
  }

  int redraw() {
    const std::lock_guard lock(mutex_);
    if (bars_.empty()) return 0;
    const std::string text = render_redraw(bars_, Clock::now(), terminal_size());
    return write_all(STDERR_FILENO, text);
  }

  int close(std::uint64_t id, std::uint64_t pending) {
    const Clock::time_point now = Clock::now();
    const std::lock_guard lock(mutex_);
    auto node = bars_.extract(id);
    if (node.empty()) return 0;
    BarState& state = node.mapped();
    state.update(now, pending);
    std::string text = "\x1b[1G";
    text += render_line(state, now, terminal_size().columns);
    text += '\n';
    return write_all(STDERR_FILENO, text);
  }

 private:
  BarRegistry() = default;

  std::mutex mutex_;
  std::map<std::uint64_t, BarState> bars_;
  std::atomic<std::uint64_t> next_id_{0};
};

}  // namespace

ProgressBar::ProgressBar(std::optional<std::uint64_t> total) : stream_(progress_stream_for_new_bar()) {
  if (stream_) {
    own_.total = total;
    own_.begin = Clock::now();
    stream_->write(render_stream_line(own_, own_.begin, stream_->columns(), false));
    return;
  }
  id_ = BarRegistry::instance().open(total);
  if (const int err = BarRegistry::instance().redraw()) report_write_error(err);
}

ProgressBar::~ProgressBar() {
  try {
    close();
  } catch (...) {
    // Out of memory while rendering the last line: nothing sensible is left to do.
  }
}

void ProgressBar::draw_on_stream(Clock::time_point now, bool last) {
  own_.update(now, std::exchange(pending_, 0));
  stream_->write(render_stream_line(own_, now, stream_->columns(), last));
}

void ProgressBar::update_and_redraw(Clock::time_point now) {
  if (stream_) {
    draw_on_stream(now, false);
    next_redraw_ = now + kStreamInterval;
    return;
  }
  BarRegistry& registry = BarRegistry::instance();
  registry.update(id_, now, std::exchange(pending_, 0));
  if (const int err = registry.redraw()) {
    report_write_error(err);  // next_redraw_ stays: the next tick tries again
  } else {
    next_redraw_ = now + kMinInterval;
  }
}

void ProgressBar::close() {
  if (closed_) return;
  closed_ = true;
  if (stream_) {
    draw_on_stream(Clock::now(), true);
    return;
  }
  if (const int err = BarRegistry::instance().close(id_, std::exchange(pending_, 0))) report_write_error(err);
}

}  // namespace tarvex
