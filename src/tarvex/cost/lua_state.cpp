// The LuaJIT state behind a Lua cost: the chunk, the function and its calls, each protected.
#include "tarvex/cost/lua_state.hpp"

#include <climits>
#include <string>
#include <string_view>

#include <lua.hpp>

#include "tarvex/cost/lua_libraries.hpp"
#include "tarvex/fail.hpp"
#include "tarvex/messages.hpp"

namespace tarvex {
namespace {

// The functions below run inside lua_cpcall: they may raise Lua errors freely,
// so they hold nothing with a destructor and never throw C++ exceptions. Each
// receives its plain-data arguments as the light userdata at index 1.

// Shown by Lua as the position prefix of errors, e.g. "lua cost:3: boom".
constexpr const char* kChunkName = "=lua cost";

// Message handler: runtime errors carry the stack at the point of failure.
// Other error objects pass through untouched and are described later.
int traceback(lua_State* L) {
  const int type = lua_type(L, 1);
  if (type == LUA_TSTRING || type == LUA_TNUMBER) luaL_traceback(L, L, lua_tostring(L, 1), 1);
  return 1;
}

// Replaces the error object on top by a string, so that the C++ side can copy
// it without calling anything in Lua that might allocate.
void error_to_string(lua_State* L) {
  const int type = lua_type(L, -1);
  if (type == LUA_TSTRING) return;
  if (type == LUA_TNUMBER) {
    lua_tostring(L, -1);
    return;
  }
  lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, -1));
  lua_replace(L, -2);
}

// Records a failure's status for protected_run, turns the error object on top
// into a string and raises it again out of the op.
int raise_recorded(lua_State* L, int status, int& recorded) {
  recorded = status;
  error_to_string(L);
  return lua_error(L);
}

// lua_pcall of the function below the top nargs values, with the traceback
// handler slipped in beneath it; a failure is raised out of the op.
void call_traced(lua_State* L, int nargs, int nresults, int& recorded) {
  const int function = lua_gettop(L) - nargs;
  lua_pushcfunction(L, traceback);
  lua_insert(L, function);
  if (const int status = lua_pcall(L, nargs, nresults, function); status != 0) raise_recorded(L, status, recorded);
}

struct ChunkArgs {
  const char* source;
  std::size_t size;
  int status;
};

int run_chunk_op(lua_State* L) {
  auto* args = static_cast<ChunkArgs*>(lua_touserdata(L, 1));
  if (const int status = load_text(L, args->source, args->size, kChunkName); status != 0)
    return raise_recorded(L, status, args->status);
  call_traced(L, 0, 0, args->status);
  return 0;
}

int get_global(lua_State* L) {
  lua_gettable(L, LUA_GLOBALSINDEX);
  return 1;
}

struct BindArgs {
  const char* name;
  std::size_t size;
  int status;
  int type;
  int ref;
};

int bind_function_op(lua_State* L) {
  auto* args = static_cast<BindArgs*>(lua_touserdata(L, 1));
  lua_pushcfunction(L, get_global);
  // A length-counted key: names with embedded NUL bytes stay what they are.
  lua_pushlstring(L, args->name, args->size);
  // Protected with a handler of its own because an __index on the globals
  // table is user code.
  call_traced(L, 1, 1, args->status);
  args->type = lua_type(L, -1);
  if (args->type == LUA_TFUNCTION) args->ref = luaL_ref(L, LUA_REGISTRYINDEX);
  return 0;
}

struct SequenceArgs {
  const char* bytes;
  std::size_t size;
  int ref;
};

int bind_sequence_op(lua_State* L) {
  auto* args = static_cast<SequenceArgs*>(lua_touserdata(L, 1));
  lua_pushlstring(L, args->bytes, args->size);
  args->ref = luaL_ref(L, LUA_REGISTRYINDEX);
  return 0;
}

struct CallArgs {
  int function_ref;
  int sequence_ref;
  const Point* points;
  int count;
  int status;
  int type;
  double result;
};

int call_op(lua_State* L) {
  auto* args = static_cast<CallArgs*>(lua_touserdata(L, 1));
  lua_rawgeti(L, LUA_REGISTRYINDEX, args->function_ref);
  lua_rawgeti(L, LUA_REGISTRYINDEX, args->sequence_ref);
  lua_createtable(L, args->count, 0);
  for (int i = 0; i < args->count; ++i) {
    const Point& p = args->points[i];
    lua_createtable(L, 3, 0);
    lua_pushnumber(L, p.x);
    lua_rawseti(L, -2, 1);
    lua_pushnumber(L, p.y);
    lua_rawseti(L, -2, 2);
    lua_pushnumber(L, p.z);
    lua_rawseti(L, -2, 3);
    lua_rawseti(L, -2, i + 1);
  }
  // One result: Lua drops the others and supplies nil when there is none.
  call_traced(L, 2, 1, args->status);
  // Lua's own rule: numbers and strings that read as numbers.
  if (lua_isnumber(L, -1)) {
    args->type = LUA_TNUMBER;
    args->result = lua_tonumber(L, -1);
  } else {
    args->type = lua_type(L, -1);
  }
  return 0;
}

std::string_view status_label(int status) {
  switch (status) {
    case LUA_ERRSYNTAX: return "syntax error: ";
    case LUA_ERRMEM: return "memory error: ";
    default: return "runtime error: ";
  }
}

// Runs op under lua_cpcall. On failure returns the error labelled by its kind
// (the inner status recorded by op if it got that far, else the outer one)
// and pops it, leaving the stack as it was.
template <class Args>
std::string protected_run(lua_State* L, lua_CFunction op, Args& args) {
  const int outer = lua_cpcall(L, op, &args);
  if (outer == 0) return {};
  const int status = args.status != 0 ? args.status : outer;
  std::string message(status_label(status));
  if (lua_type(L, -1) == LUA_TSTRING) {
    std::size_t size = 0;
    const char* text = lua_tolstring(L, -1, &size);
    message.append(text, size);
  } else {
    message.append("(error object is not a string)");
  }
  lua_pop(L, 1);
  // The traceback's last frame is the C function this module runs the call
  // from, shown only by its address: noise to whoever wrote the Lua code.
  constexpr std::string_view kOwnFrame = "\n\t[C]: at 0x";
  if (const auto at = message.rfind(kOwnFrame);
      at != std::string::npos && message.find('\n', at + 1) == std::string::npos)
    message.erase(at);
  return message;
}

// Raised at the next instruction once interrupt() has set it, and at every
// one after that, so that Lua code catching it cannot carry on for long.
void interrupt_hook(lua_State* L, lua_Debug*) {
  lua_pushliteral(L, "interrupted: the host gave up waiting for this Lua code");
  lua_error(L);
}

}  // namespace

LuaState::LuaState() : function_ref_(LUA_NOREF), sequence_ref_(LUA_NOREF) {
  state_ = luaL_newstate();
  if (state_ == nullptr) fail(messages::kLuaVm);
  if (lua_cpcall(state_, open_cost_libraries, nullptr) != 0) {
    lua_close(state_);
    fail(messages::kLuaVm);
  }
}

LuaState::~LuaState() { lua_close(state_); }

// LuaJIT keeps hooks in the global state, so one hook reaches every
// coroutine. Setting it from another thread is the asynchronous use that
// hooks are made for (LuaJIT's own interpreter sets one from a signal
// handler); built with LUAJIT_ENABLE_CHECKHOOK, compiled code leaves its
// loops for it too.
void LuaState::interrupt() noexcept { lua_sethook(state_, interrupt_hook, LUA_MASKCOUNT, 1); }

void LuaState::run_chunk(std::string_view source) {
  ChunkArgs args{source.data(), source.size(), 0};
  if (std::string error = protected_run(state_, run_chunk_op, args); !error.empty())
    fail(messages::kLuaChunkError, error);
}

void LuaState::bind_function(std::string_view name) {
  BindArgs args{name.data(), name.size(), 0, LUA_TNIL, LUA_NOREF};
  if (std::string error = protected_run(state_, bind_function_op, args); !error.empty())
    fail(messages::kLuaFunctionMissing, name, error);
  if (args.type != LUA_TFUNCTION)
    fail(messages::kLuaFunctionMissing, name,
         format("error converting Lua {} to function", lua_typename(state_, args.type)));
  function_ref_ = args.ref;
}

void LuaState::bind_sequence(std::string_view sequence) {
  SequenceArgs args{sequence.data(), sequence.size(), LUA_NOREF};
  if (lua_cpcall(state_, bind_sequence_op, &args) != 0) {
    lua_pop(state_, 1);
    fail(messages::kLuaNotFloat, "memory error: not enough memory");
  }
  sequence_ref_ = args.ref;
}

double LuaState::call(std::span<const Point> conformation) {
  // Lua tables index with int; no real conformation comes near this.
  if (conformation.size() > static_cast<std::size_t>(INT_MAX))
    fail(messages::kLuaNotFloat, format("{} points do not fit a Lua table", conformation.size()));
  CallArgs args{
      function_ref_, sequence_ref_, conformation.data(), static_cast<int>(conformation.size()), 0, LUA_TNIL, 0.0};
  if (std::string error = protected_run(state_, call_op, args); !error.empty()) fail(messages::kLuaNotFloat, error);
  if (args.type != LUA_TNUMBER)
    fail(messages::kLuaNotFloat,
         format("error converting Lua {} to f64 (expected number or string coercible to number)",
                lua_typename(state_, args.type)));
  return args.result;
}

}  // namespace tarvex
