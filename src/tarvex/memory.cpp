// Requests weighed against the machine's memory before any work starts.
#include "tarvex/memory.hpp"

#include <unistd.h>

#include <algorithm>

#include "tarvex/fail.hpp"

namespace tarvex {
namespace {

std::string decimal(unsigned __int128 value) {
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

// Bytes of physical memory (RAM) of this machine.
std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return UINT64_MAX;  // unknown: nothing is refused
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

}  // namespace

void require_memory(std::uint64_t count, std::uint64_t bytes_each, std::string_view what) {
  const unsigned __int128 bytes = static_cast<unsigned __int128>(count) * bytes_each;
  const std::uint64_t available = physical_memory();
  if (bytes <= available) return;
  throw MemoryExceeded(format("{} would need {} bytes, more than the {} bytes of memory of this machine", what,
                              decimal(bytes), available));
}

}  // namespace tarvex
