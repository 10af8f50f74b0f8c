// The LuaJIT state behind a Lua cost: safe set-up, the chunk, the function and its calls.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "tarvex/point.hpp"

struct lua_State;

namespace tarvex {

// Owns one Lua state for the whole life of a cost. Every operation that can
// raise a Lua error (including running out of memory) runs under lua_cpcall,
// so a Lua error never unwinds through a C++ frame; the failures come back as
// Panic with the system's messages.
class LuaState {
 public:
  // A fresh state with the standard libraries except debug and ffi, and with
  // native module loading disabled.
  LuaState();
  ~LuaState();
  LuaState(LuaState&& other) noexcept;
  LuaState& operator=(LuaState&& other) noexcept;
  LuaState(const LuaState&) = delete;
  LuaState& operator=(const LuaState&) = delete;

  // Loads the source as one chunk and runs it once with no arguments.
  void run_chunk(std::string_view source);

  // Reads the global called name through the globals table (an __index on it
  // is honoured) and keeps the function it holds in the registry.
  void bind_function(std::string_view name);

  // Keeps the sequence as a Lua string so that calls do not intern it again.
  void bind_sequence(std::string_view sequence);

  // Calls the bound function with the bound sequence and a fresh 1-based table
  // of {x, y, z} tables, and converts its first result by Lua's number rules.
  double call(std::span<const Point> conformation);

  // The raw state, for inspection (the tests check the stack stays balanced).
  lua_State* raw() const noexcept { return state_; }

 private:
  void close() noexcept;

  lua_State* state_ = nullptr;
  int function_ref_;
  int sequence_ref_;
};

}  // namespace tarvex
