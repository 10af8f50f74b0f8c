// The libraries a cost's Lua code sees: safe mode, text-only loading and bounded coroutine nesting.
#include "tarvex/cost/lua_libraries.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstring>

#include <lua.hpp>

namespace tarvex {
namespace {

// Everything here runs as Lua C functions: they raise Lua errors freely, so
// they hold nothing with a destructor and never throw C++ exceptions.

// --- Safe mode ------------------------------------------------------------------

int loadlib_disabled(lua_State* L) {
  lua_pushliteral(L, "package.loadlib is disabled in safe mode");
  return lua_error(L);
}

// require collects what each searcher returns into its failure message.
int c_searcher_disabled(lua_State* L) {
  lua_pushliteral(L, "\n\tcan't load C modules in safe mode");
  return 1;
}

// --- Text chunks only ----------------------------------------------------------
//
// The library functions below are LuaJIT's own, written again over the public
// API with the mode narrowed to text. Each is called straight from Lua code,
// as the original is, so argument errors name the function and the caller's
// line exactly as before.

// LuaJIT's message when a chunk is not of a mode allowed.
constexpr const char* kWrongMode = "attempt to load chunk with wrong mode";
constexpr const char* kBinaryRefused = "attempt to load a binary chunk (only text chunks are accepted)";

// The caller's mode less binary: "t" unless the caller excluded text too.
const char* text_only(const char* mode) { return mode == nullptr || std::strchr(mode, 't') != nullptr ? "t" : ""; }

// With "t" allowed, a wrong mode can only mean a binary chunk: say so.
int explain_refusal(lua_State* L, int status, const char* allowed) {
  if (status == LUA_ERRSYNTAX && *allowed != '\0' && lua_type(L, -1) == LUA_TSTRING &&
      std::strcmp(lua_tostring(L, -1), kWrongMode) == 0) {
    lua_pop(L, 1);
    lua_pushstring(L, kBinaryRefused);
  }
  return status;
}

// The loaded function (given the environment at env_index if that is a
// table), or nil and the message.
int load_result(lua_State* L, int status, int env_index) {
  if (status == 0) {
    if (lua_istable(L, env_index)) {
      lua_pushvalue(L, env_index);
      lua_setfenv(L, -2);
    }
    return 1;
  }
  lua_pushnil(L);
  lua_insert(L, -2);
  return 2;
}

// load's reader: calls the function at index 1 and keeps the piece it
// returns in slot 5 while the parser reads it.
const char* read_piece(lua_State* L, void*, std::size_t* size) {
  luaL_checkstack(L, 2, "too many nested functions");
  lua_pushvalue(L, 1);
  lua_call(L, 0, 1);
  const int type = lua_type(L, -1);
  if (type == LUA_TNIL) {
    lua_pop(L, 1);
    *size = 0;
    return nullptr;
  }
  if (type != LUA_TSTRING && type != LUA_TNUMBER) luaL_error(L, "reader function must return a string");
  lua_replace(L, 5);
  return lua_tolstring(L, 5, size);
}

// load(chunk [, chunkname [, mode [, env]]]); loadstring is the same function.
int text_load(lua_State* L) {
  const char* name = luaL_optstring(L, 2, nullptr);
  const char* mode = luaL_optstring(L, 3, nullptr);
  const char* allowed = text_only(mode);
  const int type = lua_type(L, 1);
  if (type == LUA_TSTRING || type == LUA_TNUMBER) {
    std::size_t size = 0;
    const char* text = lua_tolstring(L, 1, &size);
    lua_settop(L, 4);
    return load_result(L, explain_refusal(L, luaL_loadbufferx(L, text, size, name ? name : text, allowed), allowed), 4);
  }
  if (type == LUA_TUSERDATA) {
    // A string buffer, whose bytes only LuaJIT's own load can read: it runs
    // with the narrowed mode. Its only failure is a userdata of another kind.
    lua_settop(L, 4);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_pushvalue(L, 1);
    lua_pushvalue(L, 2);
    lua_pushstring(L, allowed);
    lua_pushvalue(L, 4);
    if (const int status = lua_pcall(L, 4, LUA_MULTRET, 0); status != 0) {
      if (status == LUA_ERRMEM) return lua_error(L);
      luaL_checktype(L, 1, LUA_TFUNCTION);
    }
    const int results = lua_gettop(L) - 4;
    if (results == 2 && lua_isnil(L, -2)) explain_refusal(L, LUA_ERRSYNTAX, allowed);
    return results;
  }
  luaL_checktype(L, 1, LUA_TFUNCTION);
  lua_settop(L, 5);  // slot 5 anchors the piece being read
  return load_result(L,
                     explain_refusal(L, lua_loadx(L, read_piece, nullptr, name ? name : "=(load)", allowed), allowed),
                     4);
}

// loadfile([filename [, mode [, env]]])
int text_loadfile(lua_State* L) {
  const char* name = luaL_optstring(L, 1, nullptr);
  const char* mode = luaL_optstring(L, 2, nullptr);
  const char* allowed = text_only(mode);
  lua_settop(L, 3);
  return load_result(L, explain_refusal(L, luaL_loadfilex(L, name, allowed), allowed), 3);
}

// dofile([filename]): runs the file's chunk and returns all it returns.
int text_dofile(lua_State* L) {
  const char* name = luaL_optstring(L, 1, nullptr);
  lua_settop(L, 1);
  if (explain_refusal(L, luaL_loadfilex(L, name, "t"), "t") != 0) return lua_error(L);
  lua_call(L, 0, LUA_MULTRET);
  return lua_gettop(L) - 1;
}

// The first template of path (templates are separated by ';') with every '?'
// replaced by name, pushed, for each template in turn: returns the first file
// that can be opened, or null with the list of files tried pushed instead.
const char* search_path(lua_State* L, const char* name, const char* path) {
  luaL_Buffer tried;
  luaL_buffinit(L, &tried);
  name = luaL_gsub(L, name, ".", "/");
  for (;;) {
    while (*path == ';') ++path;
    if (*path == '\0') break;
    const char* end = std::strchr(path, ';');
    if (end == nullptr) end = path + std::strlen(path);
    lua_pushlstring(L, path, static_cast<std::size_t>(end - path));
    path = end;
    const char* filename = luaL_gsub(L, lua_tostring(L, -1), "?", name);
    lua_remove(L, -2);
    if (std::FILE* file = std::fopen(filename, "r"); file != nullptr) {
      std::fclose(file);
      return filename;
    }
    lua_pushfstring(L, "\n\tno file '%s'", filename);
    lua_remove(L, -2);
    luaL_addvalue(&tried);
  }
  luaL_pushresult(&tried);
  return nullptr;
}

// require's searcher of Lua files along package.path (its environment is
// the package table).
int text_searcher(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  lua_getfield(L, LUA_ENVIRONINDEX, "path");
  const char* path = lua_tostring(L, -1);
  if (path == nullptr) luaL_error(L, "'package.%s' must be a string", "path");
  const char* filename = search_path(L, name, path);
  if (filename == nullptr) return 1;
  if (explain_refusal(L, luaL_loadfilex(L, filename, "t"), "t") != 0)
    luaL_error(L, "error loading module '%s' from file '%s':\n\t%s", lua_tostring(L, 1), filename, lua_tostring(L, -1));
  return 1;
}

// --- Bounded coroutine nesting ---------------------------------------------------

struct CoroutineGuard {
  int depth;          // counted resumes in progress
  bool overflowed;    // a resume was refused; the nesting fails as a whole
  const char* floor;  // resumes need the C stack to reach no lower than this
};

CoroutineGuard& guard_of(lua_State* L) { return *static_cast<CoroutineGuard*>(lua_touserdata(L, lua_upvalueindex(2))); }

// A refused resume raises an error in the coroutine that asked, and every
// resume it unwinds through raises it again: inside coroutines, resume turns
// errors into results, which would let the outermost caller carry on as if
// nothing had happened.
int stack_overflow(lua_State* L, CoroutineGuard& guard) {
  if (guard.depth > 0) guard.overflowed = true;
  return luaL_error(L, "C stack overflow");
}

// Calls upvalue 1 with the arguments, counted; an error it raises is raised
// again once the count is restored. LuaJIT's own wrapped functions raise the
// coroutine's string errors with the caller's position in front; called from
// C here, they cannot see that caller, so with add_position the position is
// added on their behalf.
int counted_call(lua_State* L, bool add_position) {
  CoroutineGuard& guard = guard_of(L);
  const char* here = static_cast<const char*>(__builtin_frame_address(0));
  if (guard.overflowed || guard.depth >= kMaxNestedResumes || here < guard.floor) return stack_overflow(L, guard);
  ++guard.depth;
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  const int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
  --guard.depth;
  if (guard.overflowed) {
    if (guard.depth == 0) guard.overflowed = false;
    return luaL_error(L, "C stack overflow");
  }
  if (status == 0) return lua_gettop(L);
  if (add_position && status != LUA_ERRMEM && lua_type(L, -1) == LUA_TSTRING) {
    luaL_where(L, 1);
    lua_insert(L, -2);
    lua_concat(L, 2);
  }
  return lua_error(L);
}

// coroutine.resume(co, ...), its argument checked as LuaJIT checks it.
int counted_resume(lua_State* L) {
  if (lua_type(L, 1) != LUA_TTHREAD) luaL_argerror(L, 1, "coroutine expected");
  return counted_call(L, false);
}

// A function made by coroutine.wrap.
int counted_wrapped(lua_State* L) { return counted_call(L, true); }

// coroutine.wrap(f): LuaJIT's wrapped function behind a counted one.
int counted_wrap(lua_State* L) {
  luaL_checktype(L, 1, LUA_TFUNCTION);
  lua_settop(L, 1);
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, 1, 1);
  lua_pushvalue(L, lua_upvalueindex(2));
  lua_pushcclosure(L, counted_wrapped, 2);
  return 1;
}

// The lowest address of the calling thread's stack, or null if unknown.
const char* stack_bottom() {
#if defined(__APPLE__)
  // macOS gives the top of the stack and its size.
  const pthread_t self = pthread_self();
  return static_cast<const char*>(pthread_get_stackaddr_np(self)) - pthread_get_stacksize_np(self);
#elif defined(__linux__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return nullptr;
  void* low = nullptr;
  std::size_t size = 0;
  const int status = pthread_attr_getstack(&attributes, &low, &size);
  pthread_attr_destroy(&attributes);
  return status == 0 ? static_cast<const char*>(low) : nullptr;
#else
  return nullptr;
#endif
}

void install_coroutine_guard(lua_State* L) {
  lua_getglobal(L, LUA_COLIBNAME);
  // Kept alive by the registry, freed with the state; the closures refer to
  // it by address.
  auto* guard = static_cast<CoroutineGuard*>(lua_newuserdata(L, sizeof(CoroutineGuard)));
  lua_pushvalue(L, -1);
  luaL_ref(L, LUA_REGISTRYINDEX);
  const char* bottom = stack_bottom();
  // Without the stack's bounds only the count protects; with them, the
  // floor keeps the reserve free whatever each level takes.
  *guard = {0, false, bottom == nullptr ? nullptr : bottom + kLuaStackReserve};
  lua_pop(L, 1);
  static constexpr luaL_Reg kCounted[] = {{"resume", counted_resume}, {"wrap", counted_wrap}};
  for (const luaL_Reg& counted : kCounted) {
    lua_getfield(L, -1, counted.name);
    lua_pushlightuserdata(L, guard);
    lua_pushcclosure(L, counted.func, 2);
    lua_setfield(L, -2, counted.name);
  }
  lua_pop(L, 1);
}

// --- The whole set -------------------------------------------------------------

void install_text_loaders(lua_State* L) {
  lua_getglobal(L, "load");
  lua_pushcclosure(L, text_load, 1);
  lua_pushvalue(L, -1);
  lua_setglobal(L, "load");
  lua_setglobal(L, "loadstring");
  lua_pushcfunction(L, text_loadfile);
  lua_setglobal(L, "loadfile");
  lua_pushcfunction(L, text_dofile);
  lua_setglobal(L, "dofile");
}

void secure_package(lua_State* L) {
  lua_getglobal(L, LUA_LOADLIBNAME);
  lua_pushcfunction(L, loadlib_disabled);
  lua_setfield(L, -2, "loadlib");
  lua_getfield(L, -1, "loaders");
  if (lua_istable(L, -1)) {
    lua_pushcfunction(L, text_searcher);
    lua_pushvalue(L, -3);
    lua_setfenv(L, -2);
    lua_rawseti(L, -2, 2);
    lua_pushcfunction(L, c_searcher_disabled);
    lua_rawseti(L, -2, 3);
    // The all-in-one searcher also loads native code; close the gap it
    // leaves so require still walks a proper sequence.
    const int count = static_cast<int>(lua_objlen(L, -1));
    if (count > 3) {
      for (int k = 4; k < count; ++k) {
        lua_rawgeti(L, -1, k + 1);
        lua_rawseti(L, -2, k);
      }
      lua_pushnil(L);
      lua_rawseti(L, -2, count);
    }
  }
  lua_pop(L, 2);
}

}  // namespace

int open_cost_libraries(lua_State* L) {
  // One by one rather than luaL_openlibs: that would also open debug and ffi.
  static constexpr luaL_Reg kLibraries[] = {
      {"", luaopen_base},
      {LUA_TABLIBNAME, luaopen_table},
      {LUA_IOLIBNAME, luaopen_io},
      {LUA_OSLIBNAME, luaopen_os},
      {LUA_STRLIBNAME, luaopen_string},
      {LUA_BITLIBNAME, luaopen_bit},
      {LUA_MATHLIBNAME, luaopen_math},
      {LUA_LOADLIBNAME, luaopen_package},
      {LUA_JITLIBNAME, luaopen_jit},
  };
  for (const luaL_Reg& library : kLibraries) {
    lua_pushcfunction(L, library.func);
    lua_pushstring(L, library.name);
    lua_call(L, 1, 0);
  }
  secure_package(L);
  install_text_loaders(L);
  install_coroutine_guard(L);
  return 0;
}

int load_text(lua_State* L, const char* text, std::size_t size, const char* chunk_name) {
  return explain_refusal(L, luaL_loadbufferx(L, text, size, chunk_name, "t"), "t");
}

}  // namespace tarvex
