// The text of progress lines: a bar's state, its line, a redraw of every open bar, a line for a plain stream.
#include "tarvex/sampling/progress_render.hpp"

#include <array>
#include <cstdio>
#include <string_view>

namespace tarvex {

namespace {

// A space, the seven eighth blocks from one eighth up, the full block.
constexpr std::array<std::string_view, 9> kBarChars{" ",      "\u258F", "\u258E", "\u258D", "\u258C",
                                                    "\u258B", "\u258A", "\u2589", "\u2588"};
constexpr double kSmoothing = 0.3;

// Terminal widths are counted in characters; the block characters take three
// bytes each in UTF-8.
std::size_t char_count(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

std::string rate_text(const std::optional<double>& rate) {
  if (!rate) return "?";
  char buf[400];  // the longest finite double takes 309 digits before the point
  std::snprintf(buf, sizeof buf, "%.2f", *rate);
  return buf;
}

std::string remaining_text(std::uint64_t left, const std::optional<double>& rate) {
  if (!rate || !(*rate > 0.0)) return "?";
  const double seconds = static_cast<double>(left) / *rate;
  // A vanishing rate would overflow the conversion to whole seconds.
  if (!(seconds < 1.8e19)) return "?";
  return format_duration(static_cast<std::uint64_t>(seconds));
}

}  // namespace

void BarState::update(Clock::time_point now, std::uint64_t k) {
  if (last_update) {
    const double dt = std::chrono::duration<double>(now - *last_update).count();
    // Two readings can coincide; an instant rate over no time is meaningless,
    // so the previous rate stands.
    if (dt > 0.0) {
      const double instant = static_cast<double>(k) / dt;
      rate = rate ? kSmoothing * instant + (1.0 - kSmoothing) * *rate : instant;
    }
  }
  last_update = now;
  n += k;
}

std::string format_duration(std::uint64_t seconds) {
  char buf[48];
  const auto s = static_cast<unsigned long long>(seconds);
  if (s < 3600) {
    std::snprintf(buf, sizeof buf, "%02llu:%02llu", s / 60, s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%02llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  }
  return buf;
}

std::string render_line(const BarState& state, Clock::time_point now, unsigned columns) {
  const std::uint64_t elapsed_s =
      now > state.begin
          ? static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now - state.begin).count())
          : 0;
  const std::string elapsed = format_duration(elapsed_s);
  const std::string rate = rate_text(state.rate);
  const std::uint64_t n = state.n;

  if (!state.total || n > *state.total) {
    return std::to_string(n) + "it [" + elapsed + ", " + rate + "it/s]";
  }

  const std::uint64_t total = *state.total;
  // Integer arithmetic keeps 29 of 100 at 29 % (0.29 * 100 is 28.999... in
  // doubles); a total of 0 counts as 0 %.
  const auto percent = total == 0 ? 0u : static_cast<unsigned>(static_cast<unsigned __int128>(n) * 100 / total);
  char percent_part[8];
  std::snprintf(percent_part, sizeof percent_part, "%3u%%|", percent);

  std::string suffix = "| " + std::to_string(n) + "/" + std::to_string(total) + " [" + elapsed + "<" +
                       remaining_text(total - n, state.rate) + ", " + rate + "it/s]";

  const std::size_t used = char_count(percent_part) + char_count(suffix);
  const std::size_t width = columns > used ? columns - used : 0;
  // Ninths of a character cell filled, exactly.
  const auto units =
      total == 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(static_cast<unsigned __int128>(n) * 9 * width / total);
  const std::uint64_t full = units / 9;

  std::string line = percent_part;
  line.reserve(line.size() + 3 * width + suffix.size());
  for (std::uint64_t i = 0; i < full; ++i) line += kBarChars[8];
  if (full < width) {
    line += kBarChars[units % 9];
    line.append(width - full - 1, ' ');
  }
  line += suffix;
  return line;
}

std::string render_stream_line(const BarState& state, Clock::time_point now, unsigned columns, bool last) {
  std::string line = "\r";
  line += render_line(state, now, columns);
  if (last) {
    line += '\n';
  } else if (const std::size_t len = char_count(line) - 1; len < columns) {
    line.append(columns - len, ' ');
  }
  return line;
}

std::string render_redraw(const std::map<std::uint64_t, BarState>& bars, Clock::time_point now, TerminalSize size) {
  if (bars.empty()) return {};
  std::string out = "\x1b[?25l\x1b[1G";
  const std::size_t shown = size.rows > 0 ? size.rows - 1 : 0;
  std::size_t drawn = 0;
  for (const auto& [id, state] : bars) {
    if (drawn == shown) break;
    const std::string line = render_line(state, now, size.columns);
    out += line;
    const std::size_t len = char_count(line);
    if (len < size.columns) out.append(size.columns - len, ' ');
    ++drawn;
  }
  // The display never takes more lines than the terminal has rows.
  if (bars.size() >= size.rows) out += "\x1b[J ... (more hidden) ...\x1b[1G";
  // Padded lines wrap onto the next; go back so the next redraw overwrites them.
  if (bars.size() > 1) out += "\x1b[" + std::to_string(bars.size() - 1) + "A";
  out += "\x1b[?25h";
  return out;
}

}  // namespace tarvex
