// The libraries a cost's Lua code sees: safe mode, text-only loading and bounded coroutine nesting.
#pragma once

#include <cstddef>

struct lua_State;

namespace tarvex {

// Nested coroutine resumes (coroutine.resume and calls of coroutine.wrap
// functions, counted together) allowed at once. LuaJIT itself sets no bound,
// and each level takes C stack: unbounded, plain Lua source overflows it.
inline constexpr int kMaxNestedResumes = 10000;

// The C stack one coroutine may take without resuming another. LuaJIT bounds
// that only through each coroutine's Lua stack (65500 slots), and recursion
// through string.gsub keeps an 8 KiB buffer on the C stack per level: about
// 112 MiB measured at its worst, so a resume needs this much left.
inline constexpr std::size_t kLuaStackReserve = std::size_t{160} << 20;

// Opens the libraries in a fresh state (a lua_CFunction for lua_cpcall):
// the standard ones except debug and ffi, with native modules refused; load,
// loadstring, loadfile, dofile and require's Lua searcher take text chunks
// only (LuaJIT bytecode is memory-unsafe when malformed); coroutine.resume and
// coroutine.wrap refuse to nest past kMaxNestedResumes or to start a
// coroutine with less than kLuaStackReserve of the current thread's stack
// left. Everything Lua code runs afterwards must run on this same thread.
int open_cost_libraries(lua_State* L);

// Loads text as the chunk called chunk_name, refusing bytecode with a
// message that says so.
int load_text(lua_State* L, const char* text, std::size_t size, const char* chunk_name);

}  // namespace tarvex
