// Per-evaluation time of the contact-energy and Lua costs against their yardsticks.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <lua.hpp>

#include "tarvex/cost/cost.hpp"
#include "tarvex/cost/lua_state.hpp"
#include "testing/peer.hpp"

namespace {

using tarvex::Conformation;
using tarvex::Point;
using Clock = std::chrono::steady_clock;

// Self-avoiding walks on the cubic lattice grown step by step (restarting on
// a dead end), scaled to 3.8 between neighbours: compact enough that a
// realistic share of pairs lies near dmax = 7.8.
std::vector<Conformation> random_walks(std::size_t n, std::size_t count, std::mt19937_64& random) {
  static constexpr int kSteps[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
  std::vector<Conformation> walks;
  while (walks.size() < count) {
    std::vector<std::tuple<int, int, int>> walk{{0, 0, 0}};
    std::set<std::tuple<int, int, int>> seen{{0, 0, 0}};
    while (walk.size() < n) {
      std::vector<std::tuple<int, int, int>> free;
      const auto [x, y, z] = walk.back();
      for (const auto& s : kSteps) {
        const std::tuple<int, int, int> next{x + s[0], y + s[1], z + s[2]};
        if (!seen.count(next)) free.push_back(next);
      }
      if (free.empty()) break;
      const auto next = free[random() % free.size()];
      walk.push_back(next);
      seen.insert(next);
    }
    if (walk.size() < n) continue;
    Conformation c;
    for (const auto& [x, y, z] : walk) c.push_back({3.8 * x, 3.8 * y, 3.8 * z});
    walks.push_back(std::move(c));
  }
  return walks;
}

// The contact rule written plainly, with a square root for every pair.
double plain_contact_cost(const tarvex::ContactEnergyCost& cost, const Conformation& c) {
  double sum = 0.0;
  std::size_t k = 0;
  for (std::size_t i = 0; i < c.size(); ++i)
    for (std::size_t j = i + cost.kmin; j < c.size(); ++j, ++k) {
      const double dx = c[i].x - c[j].x, dy = c[i].y - c[j].y, dz = c[i].z - c[j].z;
      if (std::sqrt((dx * dx + dy * dy) + dz * dz) <= cost.dmax) sum += cost.pair_energies[k];
    }
  return sum;
}

// Best of several timed runs, in nanoseconds per evaluation.
template <class F>
double ns_per_call(std::size_t calls, F&& run) {
  double best = 1e300;
  for (int repeat = 0; repeat < 7; ++repeat) {
    const auto start = Clock::now();
    run(calls);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    best = std::min(best, ns / static_cast<double>(calls));
  }
  return best;
}

volatile double sink;

void bench_contact(std::size_t n, std::mt19937_64& random) {
  const std::string alphabet = "ACDEFGHIKLMNPQRSTVWY";
  tarvex::EnergyTable table;
  std::uniform_real_distribution<double> energy(-1.0, 0.5);
  for (char a : alphabet)
    for (char b : alphabet) table[static_cast<unsigned char>(a)][static_cast<unsigned char>(b)] = energy(random);
  std::string seq;
  for (std::size_t i = 0; i < n; ++i) seq += alphabet[random() % alphabet.size()];
  const auto walks = random_walks(n, 256, random);
  const tarvex::ContactEnergyCost cost = tarvex::build_contact_energy_cost(table, seq, 1, 7.8);

  for (const auto& w : walks)
    if (cost.evaluate(w) != plain_contact_cost(cost, w)) std::printf("MISMATCH\n");

  const std::size_t calls = 400000 / n;
  const double fast = ns_per_call(calls, [&](std::size_t m) {
    double s = 0;
    for (std::size_t i = 0; i < m; ++i) s += cost.evaluate(walks[i % walks.size()]);
    sink = s;
  });
  const double plain = ns_per_call(calls, [&](std::size_t m) {
    double s = 0;
    for (std::size_t i = 0; i < m; ++i) s += plain_contact_cost(cost, walks[i % walks.size()]);
    sink = s;
  });
  const double pairs = static_cast<double>(cost.pair_energies.size());
  std::printf("contact  n=%3zu  %8.1f ns/eval (%.2f ns/pair)  plain sqrt loop %8.1f ns/eval  ratio %.2f\n", n, fast,
              fast / pairs, plain, fast / plain);
}

// Times `count` calls of f made from a Lua loop, in a state of the cost's
// kind on a thread of the cost's kind.
double lua_loop_ns(const char* source, const char* driver, std::size_t n, std::size_t count) {
  double ns = 0;
  tarvex::LuaThread thread;
  const std::exception_ptr failure = thread.run(
      [&](tarvex::LuaState& state) {
        state.run_chunk(source);
        lua_State* L = tarvex::testing::Peer::raw(state);
        if (luaL_dostring(L, driver) != 0) {
          std::printf("driver failed: %s\n", lua_tostring(L, -1));
          lua_pop(L, 1);
          return;
        }
        ns = ns_per_call(count, [&](std::size_t m) {
          lua_getglobal(L, "bench_driver");
          lua_pushnumber(L, static_cast<double>(m));
          lua_pushnumber(L, static_cast<double>(n));
          if (lua_pcall(L, 2, 0, 0) != 0) {
            std::printf("driver failed: %s\n", lua_tostring(L, -1));
            lua_pop(L, 1);
          }
        });
      },
      {});
  if (failure) std::rethrow_exception(failure);
  return ns;
}

void bench_lua(const char* label, const char* source, std::size_t n, std::mt19937_64& random) {
  const auto walks = random_walks(n, 64, random);
  std::vector<Point> flat;
  for (const auto& w : walks) flat.insert(flat.end(), w.begin(), w.end());
  tarvex::LuaCost cost("f", source, std::string(n, 'A'));
  const std::size_t calls = 2000000 / n;
  // One handoff to the Lua thread per conformation, then per batch of 64.
  const double single = ns_per_call(calls / 8, [&](std::size_t m) {
    double s = 0;
    for (std::size_t i = 0; i < m; ++i) s += cost.evaluate(walks[i % walks.size()]);
    sink = s;
  });
  std::vector<double> out(walks.size());
  const double batched = ns_per_call(calls, [&](std::size_t m) {
    double s = 0;
    for (std::size_t i = 0; i < m; i += walks.size()) {
      cost.evaluate(flat, n, out);
      s += out[0];
    }
    sink = s;
  });
  // The floor: the same function called from Lua with arguments built once.
  const double prebuilt = lua_loop_ns(source,
                                      "function bench_driver(m, n) "
                                      "  local c = {} for i = 1, n do c[i] = {i * 3.8, 0.5 * i, -1.0 * i} end "
                                      "  local s = string.rep('A', n) local acc = 0 "
                                      "  for k = 1, m do acc = acc + f(s, c) end return acc end",
                                      n, calls);
  // Building fresh tables in Lua itself, for comparison with building them
  // through the C API.
  const double fresh = lua_loop_ns(source,
                                   "function bench_driver(m, n) "
                                   "  local s = string.rep('A', n) local acc = 0 "
                                   "  for k = 1, m do local c = {} "
                                   "    for i = 1, n do c[i] = {i * 3.8, 0.5 * i, -1.0 * k} end "
                                   "    acc = acc + f(s, c) end return acc end",
                                   n, calls);
  std::printf(
      "lua %-9s n=%3zu  batches of 64 %8.1f ns/eval  single %8.1f ns/eval  prebuilt-args Lua loop %8.1f ns "
      "(batch ratio %.1f)  fresh tables built in Lua %8.1f ns (batch ratio %.2f)\n",
      label, n, batched, single, prebuilt, batched / prebuilt, fresh, batched / fresh);
}

// Creating a cost: a state of its own on a thread of its own, against the
// state alone on the calling thread (what a cache of idle Lua threads could
// save at most).
void bench_lua_set_up() {
  const char* source = "function f(s, c) return #c end";
  const double with_thread = ns_per_call(200, [&](std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) {
      tarvex::LuaCost cost("f", source, "A");
      cost.close();
    }
  });
  const double state_only = ns_per_call(200, [&](std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) {
      tarvex::LuaState state;
      state.run_chunk(source);
      state.bind_function("f");
    }
  });
  std::printf("lua set-up: cost with its thread %8.1f us   state alone %8.1f us   ratio %.2f\n", with_thread / 1e3,
              state_only / 1e3, with_thread / state_only);
}

}  // namespace

int main() {
  std::mt19937_64 random(2024);
  for (std::size_t n : {20u, 100u}) bench_contact(n, random);
  const char* trivial = "function f(s, c) return #c end";
  const char* gyration =
      "function f(s, c) local n = #c local mx, my, mz = 0, 0, 0 "
      "for i = 1, n do local p = c[i] mx = mx + p[1] my = my + p[2] mz = mz + p[3] end "
      "mx, my, mz = mx / n, my / n, mz / n local r = 0 "
      "for i = 1, n do local p = c[i] local dx, dy, dz = p[1] - mx, p[2] - my, p[3] - mz "
      "r = r + dx * dx + dy * dy + dz * dz end return r / n end";
  for (std::size_t n : {20u, 100u}) {
    bench_lua("trivial", trivial, n, random);
    bench_lua("gyration", gyration, n, random);
  }
  bench_lua_set_up();
}
