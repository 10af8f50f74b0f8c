// The terminal behind the standard error stream: its size, and writes that survive signals and short writes.
#pragma once

#include <string_view>

namespace tarvex {

struct TerminalSize {
  unsigned columns, rows;
};

// Size of the terminal behind fd 2; 80 x 24 when it is not a terminal or
// reports no size.
TerminalSize terminal_size();

// Writes all of text to fd, one write(2) call per chunk: a signal only delays
// the write and a short write continues where it stopped. Returns 0 or the
// errno of the failure.
int write_all(int fd, std::string_view text);

// A broken display must never stop the run: says why on fd 2, once per call, and goes on.
void report_write_error(int err);

}  // namespace tarvex
