// Where a progress bar is drawn when not on the terminal: the hook that supplies a stream.
#include "tarvex/sampling/progress_stream.hpp"

#include <atomic>

namespace tarvex {

namespace {

std::atomic<ProgressStreamHook> stream_hook{nullptr};

}  // namespace

std::unique_ptr<ProgressStream> progress_stream_for_new_bar() {
  const ProgressStreamHook hook = stream_hook.load(std::memory_order_acquire);
  return hook != nullptr ? hook() : nullptr;
}

void set_progress_stream_hook(ProgressStreamHook hook) noexcept { stream_hook.store(hook, std::memory_order_release); }

}  // namespace tarvex
