// The terminal behind the standard error stream: its size, and writes that survive signals and short writes.
#include "tarvex/sampling/terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace tarvex {

namespace {

constexpr TerminalSize kFallbackSize{80, 24};

}  // namespace

int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

void report_write_error(int err) {
  const std::string message = std::system_category().message(err) + "\n";
  (void)write_all(STDERR_FILENO, message);
}

TerminalSize terminal_size() {
  winsize ws{};
  // A pseudo-terminal whose size was never set reports 0 x 0.
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0) {
    return kFallbackSize;
  }
  return {ws.ws_col, ws.ws_row};
}

}  // namespace tarvex
