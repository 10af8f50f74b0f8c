// Fuzz target: contact-energy costs from arbitrary tables and sequences, and Lua costs from arbitrary source.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <lua.hpp>

#include "fuzz_input.hpp"
#include "tarvex/cost/cost.hpp"
#include "tarvex/cost/lua_state.hpp"
#include "tarvex/cost/lua_thread.hpp"
#include "tarvex/fail.hpp"
#include "testing/peer.hpp"

using namespace tarvex;
using tarvex::fuzzing::awkward_double;
using tarvex::fuzzing::awkward_point;

namespace {

constexpr char kAlphabet[] = "ACGHP";

char32_t residue(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return char32_t(kAlphabet[in.ConsumeIntegralInRange<std::size_t>(0, 4)]);
  return in.ConsumeIntegralInRange<char32_t>(0, 0x10FFFF);
}

// Mostly residues of the alphabet, with arbitrary bytes (and so broken UTF-8) mixed in.
std::string sequence(FuzzedDataProvider& in) {
  std::string out;
  const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 24);
  for (std::size_t i = 0; i < length; ++i) {
    out += in.ConsumeIntegralInRange<int>(0, 3) == 0 ? char(in.ConsumeIntegral<std::uint8_t>())
                                                     : kAlphabet[in.ConsumeIntegralInRange<std::size_t>(0, 4)];
  }
  return out;
}

std::uint64_t separation(FuzzedDataProvider& in) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.ConsumeIntegral<std::uint64_t>();
    case 1: return kMax - in.ConsumeIntegralInRange<std::uint64_t>(0, 2);
    default: return in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
  }
}

// The cost by its definition: the energies of the pairs i <= j, j - i >= kmin
// (a kmin of 0 pairs each residue with itself), at distance at most dmax,
// added in pair order.
double contact_reference(const ContactEnergyCost& cost, const Conformation& c) {
  double sum = 0.0;
  std::size_t k = 0;
  for (std::size_t i = 0; i < c.size(); ++i) {
    for (std::size_t j = i; j < c.size(); ++j) {
      if (j - i < cost.kmin) continue;
      const double dx = c[i].x - c[j].x, dy = c[i].y - c[j].y, dz = c[i].z - c[j].z;
      if (std::sqrt((dx * dx + dy * dy) + dz * dz) <= cost.dmax) sum += cost.pair_energies[k];
      ++k;
    }
  }
  return sum;
}

void fuzz_contact(FuzzedDataProvider& in) {
  EnergyTable table;
  const auto rows = in.ConsumeIntegralInRange<int>(0, 6);
  for (int r = 0; r < rows; ++r) {
    EnergyRow& row = table[residue(in)];
    const auto entries = in.ConsumeIntegralInRange<int>(0, 6);
    for (int e = 0; e < entries; ++e) row[residue(in)] = awkward_double(in);
  }
  const std::string seq = sequence(in);
  const std::uint64_t kmin = separation(in);
  const double dmax = in.ConsumeBool() ? 7.8 : awkward_double(in);
  ContactEnergyCost cost;
  try {
    cost = build_contact_energy_cost(table, seq, kmin, dmax);
  } catch (const Panic&) {
    return;
  }
  TARVEX_FUZZ_CHECK(cost.residues <= seq.size());
  std::size_t pairs = 0;
  for (std::size_t i = 0; i < cost.residues; ++i)
    if (cost.residues - i > kmin) pairs += cost.residues - i - kmin;
  TARVEX_FUZZ_CHECK(cost.pair_energies.size() == pairs);

  const auto conformations = in.ConsumeIntegralInRange<int>(1, 4);
  for (int k = 0; k < conformations; ++k) {
    const std::size_t n =
        in.ConsumeIntegralInRange<int>(0, 5) == 0 ? in.ConsumeIntegralInRange<std::size_t>(0, 30) : cost.residues;
    Conformation c;
    // Points near each other, so that distances fall on both sides of dmax.
    for (std::size_t i = 0; i < n; ++i) {
      if (in.ConsumeBool()) {
        c.push_back(awkward_point(in));
      } else {
        const double x = in.ConsumeIntegralInRange<int>(-4, 4), y = in.ConsumeIntegralInRange<int>(-4, 4),
                     z = in.ConsumeIntegralInRange<int>(-4, 4);
        c.push_back({x * 3.8, y * 3.8, z * 3.8});
      }
    }
    double value;
    try {
      value = cost.evaluate(c);
    } catch (const Panic&) {
      TARVEX_FUZZ_CHECK(n != cost.residues);
      continue;
    }
    TARVEX_FUZZ_CHECK(n == cost.residues);
    const double expected = contact_reference(cost, c);
    TARVEX_FUZZ_CHECK(value == expected || (std::isnan(value) && std::isnan(expected)));
  }
}

// Arbitrary code may loop forever or run out of memory by design; the budget
// and the filters keep each input short, which is the fuzzer's concern, not
// the system's.
constexpr int kHookEvery = 1000;
constexpr int kHookBudget = 200;
int hook_calls = 0;

void instruction_budget(lua_State* L, lua_Debug*) {
  if (++hook_calls > kHookBudget) luaL_error(L, "instruction budget exhausted");
}

void run_lua(FuzzedDataProvider& in, LuaState& state, const std::string& name, const std::string& seq,
             const std::string& source) {
  hook_calls = 0;
  lua_State* L = testing::Peer::raw(state);
  // Hooks run on every instruction only in the interpreter.
  luaJIT_setmode(L, 0, LUAJIT_MODE_ENGINE | LUAJIT_MODE_OFF);
  lua_sethook(L, instruction_budget, LUA_MASKCOUNT, kHookEvery);
  // The fuzzer must not touch files or end its own process.
  for (const char* global : {"os", "io", "require", "dofile", "loadfile", "package", "print"}) {
    lua_pushnil(L);
    lua_setglobal(L, global);
  }
  try {
    state.run_chunk(source);
    TARVEX_FUZZ_CHECK(lua_gettop(L) == 0);
    state.bind_function(name);
    TARVEX_FUZZ_CHECK(lua_gettop(L) == 0);
    state.bind_sequence(seq);
  } catch (const Panic&) {
    TARVEX_FUZZ_CHECK(lua_gettop(L) == 0);
    return;
  }
  const auto calls = in.ConsumeIntegralInRange<int>(1, 4);
  for (int k = 0; k < calls; ++k) {
    Conformation c;
    const auto n = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    for (std::size_t i = 0; i < n; ++i) c.push_back(awkward_point(in));
    try {
      state.call(c);
    } catch (const Panic&) {
    }
    TARVEX_FUZZ_CHECK(lua_gettop(L) == 0);
  }
}

void fuzz_lua(FuzzedDataProvider& in) {
  static const std::string kNames[] = {"f", "cost", "", "_G", "math"};
  const std::string name =
      in.ConsumeBool() ? kNames[in.ConsumeIntegralInRange<std::size_t>(0, 4)] : in.ConsumeRandomLengthString(8);
  const std::string seq = sequence(in);
  std::string body = in.ConsumeRandomLengthString(200);
  // Exponential string growth fills memory within the instruction budget.
  if (body.find("rep") != std::string::npos || body.find("..") != std::string::npos) return;
  // Usually inside a function taking the usual arguments, so the fuzzer
  // spends its time on calls rather than on finding the keyword.
  std::string source;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: source = body; break;
    case 1: source = "function f(s, c)\n" + body + "\nend"; break;
    default: source = "function f(s, c)\nreturn " + body + "\nend"; break;
  }

  // On a Lua thread of its own, as a cost runs: coroutines get the stack
  // their nesting guard is measured against.
  LuaThread thread;
  const std::exception_ptr failure = thread.run([&](LuaState& state) { run_lua(in, state, name, seq, source); }, {});
  TARVEX_FUZZ_CHECK(!failure);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    fuzz_contact(in);
  } else {
    fuzz_lua(in);
  }
  return 0;
}
