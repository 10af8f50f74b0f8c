// The one way native code gives up on a call: an exception carrying the message.
#pragma once

#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvex {

// An internal failure. The function table turns it into PanicException with
// what() as its only argument; everything built for the call is released by
// the unwinding.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The host asked to stop (a pending signal whose handler raised). The host's
// exception is already set; the function table only has to return.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

namespace detail {

inline void format_rest(std::string& out, std::string_view fmt) { out.append(fmt); }

template <class T, class... Rest>
void format_rest(std::string& out, std::string_view fmt, const T& value, const Rest&... rest) {
  const auto at = fmt.find("{}");
  if (at == std::string_view::npos) {
    out.append(fmt);
    return;
  }
  out.append(fmt.substr(0, at));
  std::ostringstream text;
  text << value;
  out.append(text.str());
  format_rest(out, fmt.substr(at + 2), rest...);
}

}  // namespace detail

// Fills the {} placeholders of fmt in order, the way the system's messages are
// written ("Lattice {} is not recognized !").
template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  std::string out;
  out.reserve(fmt.size() + 16 * sizeof...(Args));
  detail::format_rest(out, fmt, args...);
  return out;
}

template <class... Args>
[[noreturn, gnu::cold, gnu::noinline]] void fail(std::string_view fmt, const Args&... args) {
  throw Panic(format(fmt, args...));
}

}  // namespace tarvex
