// Tests that Lua code can neither hang the caller (interrupts, abandoned threads) nor crash it (bytecode, C stack).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "panic_message.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/fail.hpp"

namespace tarvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::panic_message;

const Conformation kTwoPoints = {{1, 2, 3}, {4, 5, 6}};

// --- Interrupting Lua code that never returns --------------------------------------

enum class Phase { build, evaluate, close };

struct HangCase {
  const char* name;
  const char* source;  // defines f
  Phase hangs_in;
};

class LuaCostInterrupt : public ::testing::TestWithParam<HangCase> {};

// The check starts throwing 100 ms in, as Ctrl-C would make it; the call must
// end with that exception well within a second, and a new cost must work.
TEST_P(LuaCostInterrupt, EndsWithTheChecksExceptionWithinASecond) {
  const HangCase& c = GetParam();
  const auto start = Clock::now();
  const Check check = [start] {
    if (Clock::now() - start > 100ms) throw Interrupted();
  };
  EXPECT_THROW(
      {
        LuaCost cost("f", c.source, "AB", check);
        ASSERT_NE(c.hangs_in, Phase::build) << "built";
        if (c.hangs_in == Phase::evaluate) cost.evaluate(kTwoPoints);
        EXPECT_EQ(cost.evaluate(kTwoPoints), 1.0);
        cost.close();
      },
      Interrupted);
  EXPECT_LT(Clock::now() - start, 1s);

  // Without the check, which throws from now on: under load even a quick
  // build may reach one of its polls.
  LuaCost fresh("f", "function f(s, c) return #c end", "AB");
  EXPECT_EQ(fresh.evaluate(kTwoPoints), 2.0);
}

// A loop in a finaliser cannot be interrupted (LuaJIT runs finalisers with
// hooks off): those Lua threads are abandoned.
constexpr const char* kFinaliserLoop =
    "local p = newproxy(true) getmetatable(p).__gc = function() while true do end end ";

INSTANTIATE_TEST_SUITE_P(
    Examples, LuaCostInterrupt,
    ::testing::Values(
        HangCase{"compiled_while_loop", "function f() while true do end end", Phase::evaluate},
        HangCase{"compiled_for_loop", "function f() local x = 0 for i = 1, math.huge do x = x + i end end",
                 Phase::evaluate},
        HangCase{"compiled_repeat_loop_with_calls",
                 "local function g(x) return x + 1 end function f() local x = 0 repeat x = g(x) until false end",
                 Phase::evaluate},
        HangCase{"loop_catching_the_interrupt",
                 "function f() while true do pcall(function() while true do end end) end end", Phase::evaluate},
        HangCase{"loop_in_the_chunk", "function f() return 1 end while true do end", Phase::build},
        HangCase{"finaliser_loop_during_an_evaluation",
                 "function f() local p = newproxy(true) getmetatable(p).__gc = function() while true do end end "
                 "p = nil collectgarbage() return 1 end",
                 Phase::evaluate},
        HangCase{"finaliser_loop_at_close",
                 "keep = newproxy(true) getmetatable(keep).__gc = function() while true do "
                 "end end function f() return 1 end",
                 Phase::close}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LuaCostInterrupt, DestructorGivesUpOnAFinaliserThatNeverEnds) {
  const auto start = Clock::now();
  {
    LuaCost cost("f", std::string(kFinaliserLoop) + "keep = p function f() return 1 end", "A");
    EXPECT_EQ(cost.evaluate(kTwoPoints), 1.0);
  }
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(LuaCostInterrupt, BatchInFlightIsStoppedByTheDestructor) {
  std::vector<double> out(1);
  const auto start = Clock::now();
  {
    LuaCost cost("f", "function f() while true do end end", "AB");
    cost.start(kTwoPoints, 2, out);
  }
  EXPECT_LT(Clock::now() - start, 1s);
}

// --- Bytecode is refused on every path that loads code -------------------------

constexpr const char* kRefused = "attempt to load a binary chunk (only text chunks are accepted)";

// The bytes of the crash reported against loadstring: malformed bytecode.
const std::string kMalformedBytecode = [] {
  const unsigned char bytes[] = {27, 76, 74, 2, 8,  9,   61,  108, 117, 97,  32, 99, 111, 115, 116,
                                 27, 0,  0,  1, 0,  1,   0,   2,   3,   2,   0,  39, 0,   255, 127,
                                 76, 0,  2,  0, 10, 104, 101, 108, 108, 111, 0,  0,  0,   0};
  return std::string(bytes, bytes + sizeof bytes);
}();

struct LoadCase {
  const char* name;
  const char* expression;  // true inside the state; dump is bytecode, dir a writable directory
};

class LuaCostLoading : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LuaCostLoading, Holds) {
  const auto dir = std::filesystem::temp_directory_path() / ("tarvex_lua_loading_" + std::string(GetParam().name));
  std::filesystem::create_directories(dir);
  const std::string source =
      "local dir = '" + dir.string() +
      "/' package.path = dir .. '?.lua' "
      "local dump = string.dump(function() return 'from bytecode' end) "
      "local function write(name, bytes) local file = io.open(dir .. name, 'wb') file:write(bytes) file:close() end "
      "write('binary.lua', dump) write('text.lua', 'return ...') "
      "local refused = '" +
      kRefused +
      "' "
      "function f() return (" +
      GetParam().expression + ") and 1 or 0 end";
  LuaCost cost("f", source, "A");
  EXPECT_EQ(cost.evaluate(kTwoPoints), 1.0) << GetParam().expression;
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, LuaCostLoading,
    ::testing::Values(
        LoadCase{"load", "select(2, load(dump)) == refused"},
        LoadCase{"loadstring", "select(2, loadstring(dump)) == refused"},
        LoadCase{"load_through_a_reader",
                 "select(2, load(function() local piece = dump dump = nil return piece end)) == refused"},
        LoadCase{"load_of_a_string_buffer", "select(2, load(require('string.buffer').new():put(dump))) == refused"},
        LoadCase{"loadfile", "select(2, loadfile(dir .. 'binary.lua')) == refused"},
        LoadCase{"dofile", "select(2, pcall(dofile, dir .. 'binary.lua')) == refused"},
        LoadCase{"require", "select(2, pcall(require, 'binary')):find(refused, 1, true) ~= nil"},
        LoadCase{"text_still_loads_everywhere",
                 "load('return 1')() == 1 and loadstring('return ...', '=x')(2) == 2 and "
                 "load(function() local piece = dump and 'return 3' dump = nil return piece end)() == 3 and "
                 "loadfile(dir .. 'text.lua')(4) == 4 and dofile(dir .. 'text.lua') == nil and "
                 "require('text') == 'text' and load('return y', 'n', 't', {y = 5})() == 5"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LuaCostLoading, MalformedBytecodeIsALuaErrorNotACrash) {
  const std::string message = panic_message([] {
    std::string source = "function f() return loadstring(\"";
    for (unsigned char byte : kMalformedBytecode) {
      source += '\\';
      source += std::to_string(byte);
    }
    source += "\")() end";
    LuaCost("f", source, "A").evaluate(kTwoPoints);
  });
  EXPECT_EQ(message.rfind("Lua function did not return a floating number !: runtime error: lua cost:1: attempt to "
                          "call a nil value",
                          0),
            0u)
      << message;
  EXPECT_EQ(panic_message([] { LuaCost("f", kMalformedBytecode, "A"); }),
            std::string("Lua code returned an error when run:\nsyntax error: ") + kRefused);
}

// --- Nesting that would overflow the C stack fails as a Lua error ---------------

struct NestingCase {
  const char* name;
  const char* nest;  // defines nest(), which recurses through coroutines
};

class LuaCostNesting : public ::testing::TestWithParam<NestingCase> {};

TEST_P(LuaCostNesting, FailsWithCStackOverflowAndLeavesTheStateUsable) {
  // f nests only for one point, so the same state can be tried again.
  LuaCost cost("f", std::string(GetParam().nest) + " function f(s, c) if #c == 1 then nest() end return #c end", "A");
  const std::string message = panic_message([&] { cost.evaluate(Conformation{{0, 0, 0}}); });
  EXPECT_EQ(
      message.rfind("Lua function did not return a floating number !: runtime error: lua cost:1: C stack overflow", 0),
      0u)
      << message.substr(0, 300);
  EXPECT_EQ(cost.evaluate(kTwoPoints), 2.0);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, LuaCostNesting,
    ::testing::Values(
        // The reported crash: resume returns the failure as a result, which
        // the code ignores; the nesting must fail all the same.
        NestingCase{"resume",
                    "local function r(n) return coroutine.resume(coroutine.create(r), n + 1) end "
                    "function nest() r(1) end"},
        NestingCase{"wrap", "local function r(n) return coroutine.wrap(r)(n + 1) end function nest() r(1) end"},
        NestingCase{"resume_and_wrap_counted_together",
                    "local function r(n) if n % 2 == 0 then return coroutine.wrap(r)(n + 1) end "
                    "return coroutine.resume(coroutine.create(r), n + 1) end function nest() r(1) end"},
        // Each level also recurses 5000 deep through string.gsub, which keeps
        // 8 KiB of C stack per call: no count of coroutines alone would do.
        NestingCase{"deep_c_recursion_in_each_level",
                    "local function level() local depth = 0 local function dig() depth = depth + 1 "
                    "if depth < 5000 then return (string.gsub('a', 'a', dig)) end "
                    "return tostring(coroutine.wrap(level)()) end return dig() end function nest() level() end"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LuaCostNesting, ReasonableDepthsWorkAndCStackRecursionHitsLuasOwnLimit) {
  LuaCost cost("f",
               "local function r(n) if n == 0 then return 0 end "
               "return select(2, coroutine.resume(coroutine.create(r), n - 1)) + 1 end "
               "local function g(c) return c:gsub('.', g) end "
               "function f() local ok, message = pcall(g, 'a') "
               "return r(1000) + (not ok and message:find('stack overflow') and 1 or 0) end",
               "A");
  EXPECT_EQ(cost.evaluate(kTwoPoints), 1001.0);
}

}  // namespace
}  // namespace tarvex
