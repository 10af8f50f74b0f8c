// Tests of the progress line: rendering, rate smoothing, redraw layout and terminal output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tarvex/sampling/progress.hpp"

namespace tarvex {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kFull = "\u2588";
const Clock::time_point kBegin = Clock::time_point{} + std::chrono::hours(1000);

std::string repeat(const std::string& s, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += s;
  return out;
}

std::size_t chars(const std::string& s) {
  std::size_t count = 0;
  for (const char c : s) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

BarState state(std::optional<std::uint64_t> total, std::uint64_t n, std::optional<double> rate) {
  BarState s;
  s.total = total;
  s.n = n;
  s.rate = rate;
  s.begin = kBegin;
  return s;
}

struct LineCase {
  const char* name;
  BarState bar;
  Clock::duration elapsed;
  unsigned columns;
  std::string line;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class RenderLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(RenderLine, DrawsTheExpectedText) {
  const auto& c = GetParam();
  EXPECT_EQ(render_line(c.bar, kBegin + c.elapsed, c.columns), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RenderLine,
    ::testing::Values(
        LineCase{"quarter_done_at_80_columns", state(1000, 260, 50.0), seconds(5), 80,
                 " 26%|" + repeat(kFull, 10) + "\u258D" + std::string(29, ' ') + "| 260/1000 [00:05<00:14, 50.00it/s]"},
        LineCase{"no_total_counts_only", state(std::nullopt, 1234, 246.8), seconds(5), 80,
                 "1234it [00:05, 246.80it/s]"},
        LineCase{"total_zero_is_zero_percent", state(0, 0, std::nullopt), seconds(0), 80,
                 "  0%|" + std::string(53, ' ') + "| 0/0 [00:00<?, ?it/s]"},
        LineCase{"finished_bar_is_all_full_blocks", state(1000, 1000, 50.0), seconds(20), 80,
                 "100%|" + repeat(kFull, 39) + "| 1000/1000 [00:20<00:00, 50.00it/s]"},
        LineCase{"beyond_total_counts_only", state(3, 5, std::nullopt), milliseconds(1999), 80, "5it [00:01, ?it/s]"},
        LineCase{"empty_bar_starts_with_a_space", state(10, 0, std::nullopt), seconds(0), 40,
                 "  0%|" + std::string(12, ' ') + "| 0/10 [00:00<?, ?it/s]"},
        LineCase{"percentage_is_exact", state(100, 29, 1.0), seconds(29), 48,
                 " 29%|" + repeat(kFull, 3) + "\u258F" + std::string(7, ' ') + "| 29/100 [00:29<01:11, 1.00it/s]"},
        LineCase{"long_elapsed_uses_hours", state(std::nullopt, 7, 0.125), seconds(3725), 80,
                 "7it [01:02:05, 0.12it/s]"},
        LineCase{"zero_rate_leaves_remaining_unknown", state(4, 1, 0.0), seconds(3), 80,
                 " 25%|" + repeat(kFull, 12) + "\u258C" + std::string(37, ' ') + "| 1/4 [00:03<?, 0.00it/s]"},
        LineCase{"narrow_terminal_drops_the_bar", state(10, 5, 2.0), seconds(1), 20,
                 " 50%|| 5/10 [00:01<00:02, 2.00it/s]"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DurationCase {
  std::uint64_t seconds;
  const char* text;
};

class FormatDuration : public ::testing::TestWithParam<DurationCase> {};

TEST_P(FormatDuration, UsesMinutesBelowAnHourAndHoursFromThen) {
  EXPECT_EQ(format_duration(GetParam().seconds), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Examples, FormatDuration,
                         ::testing::Values(DurationCase{0, "00:00"}, DurationCase{59, "00:59"},
                                           DurationCase{125, "02:05"}, DurationCase{3599, "59:59"},
                                           DurationCase{3600, "01:00:00"}, DurationCase{3725, "01:02:05"},
                                           DurationCase{360000, "100:00:00"}));

TEST(RenderLine, BarLinesFillTheWidthInCharactersAtEveryCount) {
  for (const unsigned columns : {60u, 80u, 123u}) {
    for (std::uint64_t n = 0; n <= 97; ++n) {
      const std::string line = render_line(state(97, n, 3.5), kBegin + seconds(2), columns);
      EXPECT_EQ(chars(line), columns) << "n=" << n << " columns=" << columns << "\n" << line;
    }
  }
}

TEST(BarState, RateIsAbsentAfterOneUpdateThenSmoothed) {
  BarState s;
  s.begin = kBegin;
  s.update(kBegin + seconds(1), 1);
  EXPECT_EQ(s.n, 1u);
  EXPECT_FALSE(s.rate.has_value());

  s.update(kBegin + seconds(3), 10);  // 5 items a second
  EXPECT_EQ(s.n, 11u);
  ASSERT_TRUE(s.rate.has_value());
  EXPECT_DOUBLE_EQ(*s.rate, 5.0);

  s.update(kBegin + milliseconds(3500), 10);  // 20 items a second
  EXPECT_EQ(s.n, 21u);
  EXPECT_DOUBLE_EQ(*s.rate, 0.3 * 20.0 + 0.7 * 5.0);
}

TEST(BarState, UpdateWithoutElapsedTimeKeepsTheRate) {
  BarState s;
  s.begin = kBegin;
  s.update(kBegin, 1);
  s.update(kBegin, 4);
  EXPECT_EQ(s.n, 5u);
  EXPECT_FALSE(s.rate.has_value());
  s.update(kBegin + seconds(2), 4);
  s.update(kBegin + seconds(2), 4);
  ASSERT_TRUE(s.rate.has_value());
  EXPECT_DOUBLE_EQ(*s.rate, 2.0);
  EXPECT_EQ(s.n, 13u);
}

TEST(RenderRedraw, OneBarIsPaddedBetweenHideAndShowCursor) {
  const std::map<std::uint64_t, BarState> bars{{7, state(std::nullopt, 3, std::nullopt)}};
  const std::string line = "3it [00:01, ?it/s]";
  EXPECT_EQ(render_redraw(bars, kBegin + seconds(1), {80, 24}),
            "\x1b[?25l\x1b[1G" + line + std::string(80 - line.size(), ' ') + "\x1b[?25h");
}

TEST(RenderRedraw, NothingIsDrawnWithoutBars) { EXPECT_EQ(render_redraw({}, kBegin, {80, 24}), ""); }

TEST(RenderRedraw, SeveralBarsInIdOrderReturnToTheFirstLine) {
  const std::map<std::uint64_t, BarState> bars{{9, state(std::nullopt, 2, std::nullopt)},
                                               {4, state(std::nullopt, 1, std::nullopt)}};
  const std::string pad(40 - 18, ' ');
  EXPECT_EQ(render_redraw(bars, kBegin, {40, 24}),
            "\x1b[?25l\x1b[1G1it [00:00, ?it/s]" + pad + "2it [00:00, ?it/s]" + pad + "\x1b[1A\x1b[?25h");
}

TEST(RenderRedraw, BarsBeyondTheScreenAreHidden) {
  std::map<std::uint64_t, BarState> bars;
  for (std::uint64_t id = 0; id < 4; ++id) bars.emplace(id, state(std::nullopt, id, std::nullopt));
  const std::string pad(30 - 18, ' ');
  EXPECT_EQ(render_redraw(bars, kBegin, {30, 3}), "\x1b[?25l\x1b[1G0it [00:00, ?it/s]" + pad + "1it [00:00, ?it/s]" +
                                                      pad + "\x1b[J ... (more hidden) ...\x1b[1G\x1b[3A\x1b[?25h");
}

// Points the standard error stream at `fd` for the lifetime of the object.
class StderrRedirect {
 public:
  explicit StderrRedirect(int fd) : saved_(::dup(STDERR_FILENO)) { ::dup2(fd, STDERR_FILENO); }
  ~StderrRedirect() { restore(); }
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }

 private:
  int saved_;
};

std::string read_available(int fd, const std::string& until) {
  std::string out;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) break;
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
    if (!until.empty() && out.size() >= until.size() &&
        out.compare(out.size() - until.size(), until.size(), until) == 0) {
      break;
    }
  }
  return out;
}

// What body writes to the standard error stream, through a pipe.
std::string stderr_of(const std::function<void()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  {
    StderrRedirect redirect(fds[1]);
    body();
  }
  ::close(fds[1]);
  const std::string out = read_available(fds[0], "");
  ::close(fds[0]);
  return out;
}

TEST(ProgressBarOutput, ThroughAPipeDrawsOpenFirstTickAndFinalLine) {
  const std::string out = stderr_of([] {
    ProgressBar bar(3);
    bar.tick();
    bar.tick();
    bar.tick();
    bar.close();
    bar.close();  // a second close writes nothing
  });

  const std::string open = "\x1b[?25l\x1b[1G  0%|" + std::string(53, ' ') + "| 0/3 [00:00<?, ?it/s]\x1b[?25h";
  ASSERT_EQ(out.substr(0, open.size()), open);
  const std::string first_tick =
      "\x1b[?25l\x1b[1G 33%|" + repeat(kFull, 17) + "\u258A" + std::string(35, ' ') + "| 1/3 [00:00<?, ?it/s]\x1b[?25h";
  ASSERT_EQ(out.substr(open.size(), first_tick.size()), first_tick);

  // The final line: column 0, the finished bar laid out for 80 columns, a newline.
  const auto last = out.rfind("\x1b[1G");
  ASSERT_NE(last, std::string::npos);
  const std::string final_line = out.substr(last + 4);
  EXPECT_EQ(final_line.substr(0, 5 + 3 * 4), "100%|" + repeat(kFull, 4));
  EXPECT_NE(final_line.find("| 3/3 [00:00<00:00, "), std::string::npos) << final_line;
  ASSERT_EQ(final_line.back(), '\n');
  EXPECT_EQ(chars(final_line), 81u) << final_line;
  EXPECT_EQ(out.find("\x1b[1G", last + 1), std::string::npos);
}

TEST(ProgressBarOutput, DestructorEndsTheLineWhenARunFails) {
  const std::string out = stderr_of([] {
    try {
      ProgressBar bar(std::nullopt);
      bar.tick();
      throw std::runtime_error("cost failed");
    } catch (const std::runtime_error&) {
    }
  });
  const auto last = out.rfind("\x1b[1G");
  ASSERT_NE(last, std::string::npos);
  const std::string final_line = out.substr(last + 4);
  EXPECT_EQ(final_line.substr(0, 11), "1it [00:00,") << final_line;
  EXPECT_EQ(final_line.substr(final_line.size() - 6), "it/s]\n") << final_line;
}

TEST(ProgressBarOutput, AnUnwritableStreamNeverStopsTheRun) {
  const int read_only = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(read_only, 0);
  {
    StderrRedirect redirect(read_only);
    ProgressBar bar(1000);
    for (int i = 0; i < 1000; ++i) bar.tick();
    bar.close();
  }
  ::close(read_only);
  // The failed bar still left the display: the next bar is drawn alone, with
  // no line of a stale bar to climb back over.
  const std::string out = stderr_of([] {
    ProgressBar bar(1);
    bar.tick();
    bar.close();
  });
  EXPECT_NE(out.find("| 1/1 ["), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b[1A"), std::string::npos) << out;
}

// A pseudo-terminal, optionally with a window size; the test writes through
// its terminal side and reads what a terminal would receive.
struct Pty {
  int master = -1, slave = -1;
  explicit Pty(std::optional<winsize> size) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
    slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    if (slave >= 0 && size) ::ioctl(slave, TIOCSWINSZ, &*size);
  }
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  bool ok() const { return slave >= 0; }
};

TEST(TerminalSize, ComesFromTheStandardErrorTerminalOrFallsBack) {
  {
    Pty pty(winsize{30, 100, 0, 0});
    ASSERT_TRUE(pty.ok());
    StderrRedirect redirect(pty.slave);
    const TerminalSize size = terminal_size();
    redirect.restore();
    EXPECT_EQ(size.columns, 100u);
    EXPECT_EQ(size.rows, 30u);
  }
  {
    Pty pty(std::nullopt);  // a terminal that reports 0 x 0
    ASSERT_TRUE(pty.ok());
    StderrRedirect redirect(pty.slave);
    const TerminalSize size = terminal_size();
    redirect.restore();
    EXPECT_EQ(size.columns, 80u);
    EXPECT_EQ(size.rows, 24u);
  }
  {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    StderrRedirect redirect(fds[1]);
    const TerminalSize size = terminal_size();
    redirect.restore();
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(size.columns, 80u);
    EXPECT_EQ(size.rows, 24u);
  }
}

TEST(ProgressBarOutput, InATerminalTheFinalLineSpansItsWidth) {
  Pty pty(winsize{30, 100, 0, 0});
  ASSERT_TRUE(pty.ok());
  {
    StderrRedirect redirect(pty.slave);
    ProgressBar bar(10);
    for (int i = 0; i < 10; ++i) bar.tick();
    bar.close();
  }
  // The terminal turns the newline into CR LF.
  const std::string out = read_available(pty.master, "\r\n");
  const auto last = out.rfind("\x1b[1G");
  ASSERT_NE(last, std::string::npos);
  const std::string final_line = out.substr(last + 4);
  EXPECT_EQ(final_line.substr(0, 5 + 3 * 3), "100%|" + repeat(kFull, 3)) << final_line;
  EXPECT_EQ(chars(final_line), 102u) << final_line;
  EXPECT_NE(final_line.find("| 10/10 [00:00<00:00, "), std::string::npos) << final_line;
}

// Collects what bars opened while it is installed write to their stream.
struct RecordingStream : ProgressStream {
  static inline std::string text;
  static std::unique_ptr<ProgressStream> make() { return std::make_unique<RecordingStream>(); }
  void write(std::string_view piece) noexcept override { text += piece; }
  unsigned columns() const noexcept override { return 40; }
};

TEST(ProgressBarOutput, ABarOnAStreamDrawsPlainLinesThereAndNothingOnFd2) {
  RecordingStream::text.clear();
  set_progress_stream_hook(&RecordingStream::make);
  const std::string fd2 = stderr_of([] {
    ProgressBar bar(2);
    bar.tick(2);
    bar.close();
  });
  set_progress_stream_hook(nullptr);
  EXPECT_EQ(fd2, "");
  const std::string& out = RecordingStream::text;
  const std::string open = "\r  0%|" + std::string(13, ' ') + "| 0/2 [00:00<?, ?it/s]";
  ASSERT_EQ(out.substr(0, open.size()), open);
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  const std::string final_line = out.substr(out.rfind('\r') + 1);
  EXPECT_EQ(final_line.substr(0, 5 + 3 * 4), "100%|" + repeat(kFull, 4)) << final_line;
  EXPECT_EQ(final_line.back(), '\n');
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

}  // namespace
}  // namespace tarvex
