// Requests weighed against the machine's memory before any work starts.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace tarvex {

// A call asked for more memory than the machine has; the module raises
// MemoryError with the message.
class MemoryExceeded : public std::exception {
 public:
  explicit MemoryExceeded(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Bytes this process may still use: the least of physical memory, the memory
// available now (MemAvailable), the address-space limit (RLIMIT_AS) and the
// limit of its cgroup (memory.max, or memory.limit_in_bytes of cgroup v1).
std::uint64_t usable_memory();

// Fails with MemoryExceeded when count items of bytes_each bytes (multiplied
// without overflow) cannot fit in usable_memory(): an absurd request must fail
// at once instead of after filling the machine. `what` names the items.
void require_memory(std::uint64_t count, std::uint64_t bytes_each, std::string_view what);

// For a count known only as it grows (an enumeration): at_least items of
// bytes_each went past `limit` bytes (usable_memory() when the work began).
[[noreturn]] void exceed_memory(std::uint64_t at_least, std::uint64_t bytes_each, std::uint64_t limit,
                                std::string_view what);

}  // namespace tarvex
