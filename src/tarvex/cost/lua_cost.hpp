// A cost function written in Lua: its state on a thread of its own, a batch of conformations per handoff.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "tarvex/cost/lua_thread.hpp"
#include "tarvex/point.hpp"

namespace tarvex {

// A Lua function called as f(sequence, coordinates) in a state of its own.
// Globals persist from one evaluation to the next, so evaluations run one at
// a time in the order given. Everything runs on the cost's LuaThread while
// the caller waits, calling check at least every LuaThread::kCheckEvery; when
// check throws, the Lua code is stopped (or abandoned, see LuaThread), the
// cost can do nothing more, and the exception goes on to the caller.
class LuaCost {
 public:
  // Runs source once in a fresh state and binds the global function_name.
  LuaCost(std::string_view function_name, std::string_view source, std::string sequence, Check check = {});

  // Each evaluation hands work to the Lua thread and waits for it: cheap for
  // a batch, costly for single conformations.
  double evaluate(std::span<const Point> conformation);

  // out[c] for conformation c at points[c * n, (c + 1) * n), in order of c.
  // On a failure out[0, completed()) holds the results before the failing
  // conformation.
  void evaluate(std::span<const Point> points, std::size_t n, std::span<double> out);

  // The same in two halves, so that the caller can work meanwhile: start
  // copies the points and returns; wait waits and fills out, which must
  // stay valid until then. One batch at a time.
  void start(std::span<const Point> points, std::size_t n, std::span<double> out);
  void wait();

  // Results the last batch delivered to out.
  std::size_t completed() const noexcept { return completed_; }

  // Closes the state, running its finalisers (waiting as evaluations do).
  // Without it the destructor closes, giving the finalisers LuaThread::kGrace.
  void close();

 private:
  struct Batch;

  Check check_;
  std::shared_ptr<Batch> batch_;
  std::span<double> out_;
  std::size_t completed_ = 0;
  bool in_flight_ = false;
  LuaThread thread_;
};

}  // namespace tarvex
