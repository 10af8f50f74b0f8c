// Where a progress bar is drawn when not on the terminal: the stream interface and the hook that supplies one.
#pragma once

#include <memory>
#include <string_view>

namespace tarvex {

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

// The hook's stream for a bar opening now; null without a hook or when the hook gives none.
std::unique_ptr<ProgressStream> progress_stream_for_new_bar();

}  // namespace tarvex
