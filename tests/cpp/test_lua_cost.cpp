// Tests of the Lua cost: calling convention, result conversion, failures and the safe state.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <lua.hpp>

#include "panic_message.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/cost/lua_state.hpp"
#include "tarvex/fail.hpp"
#include "testing/peer.hpp"

namespace tarvex {
namespace {

const Conformation kThreePoints = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9.5}};

using testing::panic_message;

// --- What the function sees and what its result becomes -------------------------

struct CallCase {
  const char* name;
  const char* source;  // defines the global f
  std::string seq;
  Conformation points;
  double expected;
};

class LuaCostCall : public ::testing::TestWithParam<CallCase> {};

TEST_P(LuaCostCall, ReturnsTheFirstResultAsANumber) {
  const CallCase& c = GetParam();
  const std::unique_ptr<Cost> cost = make_lua_cost("f", c.source, c.seq);
  EXPECT_EQ(cost->score_one(c.points), c.expected);
  EXPECT_EQ(cost->score_one(c.points), c.expected) << "second evaluation";
}

INSTANTIATE_TEST_SUITE_P(
    Examples, LuaCostCall,
    ::testing::Values(
        CallCase{"length_of_coordinates_is_the_number_of_points", "function f(s, c) return #c end", "ABC", kThreePoints,
                 3.0},
        CallCase{"no_points_gives_an_empty_table",
                 "function f(s, c) return #c + (next(c) == nil and 10 or 0) end",
                 "",
                 {},
                 10.0},
        CallCase{"first_point_is_c_1", "function f(s, c) return c[1][1] * 100 + c[1][2] * 10 + c[1][3] end", "ABC",
                 kThreePoints, 123.0},
        CallCase{"last_point_is_c_n", "function f(s, c) return c[#c][3] end", "ABC", kThreePoints, 9.5},
        CallCase{"points_have_three_entries_and_no_c_0",
                 "function f(s, c) return (c[0] == nil and #c[2] == 3 and c[2][4] == nil) and 1 or 0 end", "ABC",
                 kThreePoints, 1.0},
        CallCase{"tables_are_plain_and_fresh",
                 "local last function f(s, c) local fresh = c ~= last; last = c "
                 "return (fresh and getmetatable(c) == nil and getmetatable(c[1]) == nil) and 1 or 0 end",
                 "ABC", kThreePoints, 1.0},
        CallCase{"sequence_is_passed_as_its_bytes",
                 "function f(s, c) return #s + (s == 'AB\\195\\169' and 1000 or 0) end", "AB\u00e9", kThreePoints,
                 1004.0},
        CallCase{"numeric_string_result", "function f() return '2.5' end", "A", kThreePoints, 2.5},
        CallCase{"hexadecimal_string_result", "function f() return ' 0x10 ' end", "A", kThreePoints, 16.0},
        CallCase{"two_results_use_the_first", "function f() return 1.5, 'x' end", "A", kThreePoints, 1.5},
        CallCase{"global_read_through_index_metamethod",
                 "setmetatable(_G, {__index = function(t, k) if k == 'f' then return function() return 7 end end end})",
                 "A", kThreePoints, 7.0},
        CallCase{"value_fetched_at_build_time",
                 "function f() return 1 end local g = f function f() return 2 end "
                 "f = nil f = g",
                 "A", kThreePoints, 1.0},
        CallCase{"lua_modules_still_load", "local s = require('string') function f() return s.len('abcd') end", "A",
                 kThreePoints, 4.0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Failures at build and at call ----------------------------------------------

struct FailureCase {
  const char* name;
  const char* function_name;
  const char* source;
  std::string message_start;  // the message starts with this
  bool traceback;             // and carries a Lua stack traceback
};

class LuaCostFailure : public ::testing::TestWithParam<FailureCase> {};

constexpr const char* kNotNumber = "Lua function did not return a floating number !: ";

// The state's steps one by one, on a Lua thread as a cost runs them: they
// leave the Lua stack as they found it, also when they fail, and a failed
// call leaves the state usable (the next call fails the same way).
TEST_P(LuaCostFailure, AbandonsWithTheMessageAndLeavesTheStackAsItWas) {
  const FailureCase& c = GetParam();
  std::string message;
  LuaThread thread;
  const std::exception_ptr failure = thread.run(
      [&](LuaState& state) {
        lua_State* L = testing::Peer::raw(state);
        message = panic_message([&] {
          state.run_chunk(c.source);
          state.bind_function(c.function_name);
          state.bind_sequence("ABC");
          EXPECT_EQ(lua_gettop(L), 0);
          state.call(kThreePoints);
        });
        EXPECT_EQ(lua_gettop(L), 0) << "after the failure";
        if (message.rfind(kNotNumber, 0) == 0) {
          EXPECT_EQ(panic_message([&] { state.call(kThreePoints); }), message);
        }
      },
      {});
  EXPECT_FALSE(failure);
  EXPECT_EQ(message.substr(0, c.message_start.size()), c.message_start) << message;
  EXPECT_EQ(message.find("stack traceback") != std::string::npos, c.traceback) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, LuaCostFailure,
    ::testing::Values(
        FailureCase{"missing_global", "g", "function f() return 1 end",
                    "Lua function g cannot be found !: error converting Lua nil to function", false},
        FailureCase{"number_global", "g", "g = 5",
                    "Lua function g cannot be found !: error converting Lua number to function", false},
        FailureCase{"table_global", "g", "g = {}",
                    "Lua function g cannot be found !: error converting Lua table to function", false},
        FailureCase{"index_metamethod_raising", "g", "setmetatable(_G, {__index = function() error('nope') end})",
                    "Lua function g cannot be found !: runtime error: lua cost:1: nope", true},
        // The name and the source given the wrong way round.
        FailureCase{"bare_identifier_does_not_compile", "function f() return 1 end", "cost",
                    "Lua code returned an error when run:\nsyntax error: lua cost:1: ", false},
        FailureCase{"error_while_running_the_chunk", "f", "local x = 1\nerror('boom')",
                    "Lua code returned an error when run:\nruntime error: lua cost:2: boom", true},
        FailureCase{"non_string_error_object", "f", "error({})",
                    "Lua code returned an error when run:\nruntime error: (error object is a table value)", false},
        FailureCase{"function_raises", "f", "function f(s, c) return c[1][1] + nil end",
                    std::string(kNotNumber) + "runtime error: lua cost:1: attempt to perform arithmetic", true},
        FailureCase{"boolean_result", "f", "function f() return true end",
                    std::string(kNotNumber) +
                        "error converting Lua boolean to f64 (expected number or string coercible to number)",
                    false},
        FailureCase{"no_result", "f", "function f() end",
                    std::string(kNotNumber) + "error converting Lua nil to f64 (expected number or string "
                                              "coercible to number)",
                    false},
        FailureCase{"non_numeric_string", "f", "function f() return '2.5x' end",
                    std::string(kNotNumber) + "error converting Lua string to f64", false},
        FailureCase{"table_result", "f", "function f(s, c) return c end",
                    std::string(kNotNumber) + "error converting Lua table to f64", false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The state: libraries, safe mode, lifetime ------------------------------------

struct ProbeCase {
  const char* name;
  const char* condition;  // a Lua expression that must hold inside the state
};

class LuaCostState : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(LuaCostState, Holds) {
  const std::string source = std::string("function f() return (") + GetParam().condition + ") and 1 or 0 end";
  LuaCost cost("f", source, "A");
  EXPECT_EQ(cost.evaluate(kThreePoints), 1.0) << GetParam().condition;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, LuaCostState,
    ::testing::Values(
        ProbeCase{"libraries_are_globals_and_loaded",
                  "_G == package.loaded._G and table == package.loaded.table and io == package.loaded.io and "
                  "os == package.loaded.os and string == package.loaded.string and bit == package.loaded.bit and "
                  "math == package.loaded.math and package == package.loaded.package and jit == package.loaded.jit"},
        ProbeCase{"debug_and_ffi_are_absent",
                  "debug == nil and ffi == nil and package.loaded.debug == nil and package.loaded.ffi == nil"},
        ProbeCase{"ffi_cannot_be_required", "not pcall(require, 'ffi') and not pcall(require, 'debug')"},
        ProbeCase{"loadlib_is_disabled",
                  "select(2, pcall(package.loadlib, 'libc.so.6', 'puts')) == "
                  "'package.loadlib is disabled in safe mode'"},
        ProbeCase{"c_searcher_gives_the_safe_mode_reason",
                  "#package.loaders == 3 and package.loaders[3]('x') == \"\\n\\tcan't load C modules in safe mode\""},
        ProbeCase{"lua_searchers_remain",
                  "type(package.loaders[1]) == 'function' and "
                  "type(package.loaders[2]) == 'function'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LuaCostState, RequireOfANativeModuleIsRefusedWithTheSafeModeReason) {
  const auto dir = std::filesystem::temp_directory_path() / "tarvex_lua_cost_test";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "fakemod.so") << "not a library";
  const std::string source = "package.path = '' package.cpath = '" + (dir / "?.so").string() +
                             "' local m = require('fakemod') function f() return 1 end";
  const std::string message = panic_message([&] { LuaCost("f", source, "A"); });
  std::filesystem::remove_all(dir);
  EXPECT_EQ(message.rfind("Lua code returned an error when run:\nruntime error: lua cost:1: module 'fakemod' not found",
                          0),
            0u)
      << message;
  EXPECT_NE(message.find("\n\tcan't load C modules in safe mode"), std::string::npos) << message;
}

TEST(LuaCostState, GlobalsPersistWithinACostAndStartAfreshInANewOne) {
  const char* source = "n = 0 function f() n = n + 1 return n end";
  for (int round = 0; round < 2; ++round) {
    LuaCost cost("f", source, "A");
    for (double expected : {1.0, 2.0, 3.0}) EXPECT_EQ(cost.evaluate(kThreePoints), expected);
  }
}

TEST(LuaCostState, ChunkRunsOnceAndMovesKeepTheState) {
  const char* source = "runs = (runs or 0) + 1 function f() return runs end";
  std::vector<LuaCost> costs;
  for (int i = 0; i < 5; ++i) costs.emplace_back("f", source, "A");  // reallocations move them
  LuaCost moved = std::move(costs.front());
  EXPECT_EQ(moved.evaluate(kThreePoints), 1.0);
  for (std::size_t i = 1; i < costs.size(); ++i) EXPECT_EQ(costs[i].evaluate(kThreePoints), 1.0);
}

// --- Batches ---------------------------------------------------------------------

// Four conformations of two points, the first x of each being 1, 2, 3, 4.
const std::vector<Point> kFourConformations = {{1, 0, 0}, {0, 0, 0}, {2, 0, 0}, {0, 0, 0},
                                               {3, 0, 0}, {0, 0, 0}, {4, 0, 0}, {0, 0, 0}};

TEST(LuaCostBatch, EvaluatesInOrderWithGlobalsCarriedFromBatchToBatch) {
  const std::unique_ptr<Cost> lua =
      make_lua_cost("f", "n = 0 function f(s, c) n = n + 1 return n * 1000 + c[1][1] end", "AB");
  ASSERT_EQ(lua->runs(), CostRuns::own_thread);
  std::vector<double> out(4);
  lua->score_points(kFourConformations, 2, out);
  EXPECT_EQ(out, (std::vector<double>{1001, 2002, 3003, 4004}));
  std::vector<double> two(2);
  lua->start(std::span(kFourConformations).subspan(4), 2, two);
  lua->wait();
  EXPECT_EQ(two, (std::vector<double>{5003, 6004}));
  EXPECT_EQ(lua->score_one(std::span(kFourConformations).first(2)), 7001.0);
  lua->score_points(std::span(kFourConformations).first(0), 2, std::span<double>());
  EXPECT_EQ(lua->score_one(std::span(kFourConformations).subspan(4, 2)), 8003.0) << "an empty batch calls nothing";
}

TEST(LuaCostBatch, FailureKeepsTheResultsBeforeTheFailingConformation) {
  LuaCost cost("f", "function f(s, c) if c[1][1] == 3 then error('third') end return c[1][1] end", "AB");
  std::vector<double> out(4, -1.0);
  const std::string message = panic_message([&] { cost.evaluate(kFourConformations, 2, out); });
  EXPECT_EQ(message.rfind(std::string(kNotNumber) + "runtime error: lua cost:1: third", 0), 0u) << message;
  EXPECT_EQ(cost.completed(), 2u);
  EXPECT_EQ(out, (std::vector<double>{1, 2, -1, -1}));
  EXPECT_EQ(cost.evaluate(std::span(kFourConformations).subspan(6)), 4.0) << "the state is still usable";
}

}  // namespace
}  // namespace tarvex
