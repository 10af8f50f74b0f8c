// The LuaJIT state behind a Lua cost: the chunk, the function and its calls, each protected.
#pragma once

#include <span>
#include <string_view>

#include "tarvex/point.hpp"

struct lua_State;

namespace tarvex {

// One Lua state for the whole life of a cost. Every operation that can raise
// a Lua error (including running out of memory) runs under lua_cpcall, so a
// Lua error never unwinds through a C++ frame; the failures come back as
// Panic with the system's messages.
//
// The state belongs to the thread that creates it: every member but
// interrupt() must be called there (the nesting guard of coroutines measures
// that thread's stack), and so must the destructor. LuaThread provides such a
// thread.
namespace testing {
struct Peer;  // the tests' access to internals
}  // namespace testing

class LuaState {
 public:
  // A fresh state with the libraries of open_cost_libraries.
  LuaState();
  // Closes the state, running the finalisers of what is left (Lua code that
  // no hook can interrupt).
  ~LuaState();
  LuaState(const LuaState&) = delete;
  LuaState& operator=(const LuaState&) = delete;

  // Loads the source as one text chunk and runs it once with no arguments.
  void run_chunk(std::string_view source);

  // Reads the global called name through the globals table (an __index on it
  // is honoured) and keeps the function it holds in the registry.
  void bind_function(std::string_view name);

  // Keeps the sequence as a Lua string so that calls do not intern it again.
  void bind_sequence(std::string_view sequence);

  // Calls the bound function with the bound sequence and a fresh 1-based table
  // of {x, y, z} tables, and converts its first result by Lua's number rules.
  double call(std::span<const Point> conformation);

  // From any thread, while the state is open: makes the Lua code running in
  // it fail at its next instruction (compiled loops included) and at every
  // one after. Finalisers and C functions run on until they return to Lua
  // code. The state must not run anything afterwards but its destructor.
  void interrupt() noexcept;

 private:
  friend struct testing::Peer;

  lua_State* state_;
  int function_ref_;
  int sequence_ref_;
};

}  // namespace tarvex
