// Requests weighed against the machine's memory before any work starts.
#include "tarvex/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

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

// A number in a file of the kernel ("max" and unreadable files: no limit).
std::uint64_t file_number(const std::string& path) {
  std::ifstream in(path);
  std::uint64_t value = 0;
  if (!(in >> value)) return UINT64_MAX;
  return value;
}

std::uint64_t available_memory() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  std::string unit;
  while (in >> key >> kib >> unit)
    if (key == "MemAvailable:") return kib * 1024;
  return UINT64_MAX;
}

std::uint64_t address_space_left() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  // What the process has mapped already counts against the limit.
  const std::uint64_t pages = [] {
    std::ifstream in("/proc/self/statm");
    std::uint64_t size = 0;
    return (in >> size) ? size : 0;
  }();
  const std::uint64_t used = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
  const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
  return cap > used ? cap - used : 0;
}

// The memory limit of this process's cgroup, v2 or v1, less what it uses.
std::uint64_t cgroup_memory_left() {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  std::uint64_t left = UINT64_MAX;
  while (std::getline(in, line)) {
    // hierarchy-id:controllers:path
    const auto first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    std::uint64_t limit = UINT64_MAX, usage = 0;
    if (controllers.empty()) {
      limit = file_number("/sys/fs/cgroup" + path + "/memory.max");
      usage = file_number("/sys/fs/cgroup" + path + "/memory.current");
    } else if (controllers.find("memory") != std::string::npos) {
      limit = file_number("/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes");
      usage = file_number("/sys/fs/cgroup/memory" + path + "/memory.usage_in_bytes");
    }
    if (limit == UINT64_MAX) continue;
    if (usage == UINT64_MAX) usage = 0;
    left = std::min(left, limit > usage ? limit - usage : 0);
  }
  return left;
}

}  // namespace

std::uint64_t usable_memory() {
  return std::min({physical_memory(), available_memory(), address_space_left(), cgroup_memory_left()});
}

void require_memory(std::uint64_t count, std::uint64_t bytes_each, std::string_view what) {
  const unsigned __int128 bytes = static_cast<unsigned __int128>(count) * bytes_each;
  const std::uint64_t usable = usable_memory();
  if (bytes <= usable) return;
  throw MemoryExceeded(
      format("{} would need {} bytes, more than the {} bytes this process may use", what, decimal(bytes), usable));
}

void exceed_memory(std::uint64_t at_least, std::uint64_t bytes_each, std::uint64_t limit, std::string_view what) {
  const unsigned __int128 bytes = static_cast<unsigned __int128>(at_least) * bytes_each;
  throw MemoryExceeded(
      format("{} would need more than {} bytes (at least {} of them), more than the {} bytes "
             "this process may use",
             what, decimal(bytes), at_least, limit));
}

}  // namespace tarvex
