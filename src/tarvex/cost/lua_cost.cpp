// A cost function written in Lua: its state on a thread of its own, a batch of conformations per handoff.
#include "tarvex/cost/lua_cost.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "tarvex/cost/lua_state.hpp"
#include "tarvex/fail.hpp"

namespace tarvex {

// A batch as the Lua thread sees it: its own copy of the points and its own
// results, so that an abandoned thread never touches the caller's memory.
struct LuaCost::Batch {
  std::vector<Point> points;
  std::size_t n = 0;
  std::vector<double> results;
  std::size_t completed = 0;

  void evaluate(LuaState& state) {
    completed = 0;
    for (std::size_t c = 0; c < results.size(); ++c) {
      results[c] = state.call(std::span<const Point>(points).subspan(c * n, n));
      completed = c + 1;
    }
  }
};

LuaCost::LuaCost(std::string_view function_name, std::string_view source, std::string sequence, Check check)
    : check_(std::move(check)), batch_(std::make_shared<Batch>()) {
  auto set_up = [name = std::string(function_name), source = std::string(source),
                 sequence = std::move(sequence)](LuaState& state) {
    state.run_chunk(source);
    state.bind_function(name);
    state.bind_sequence(sequence);
  };
  if (std::exception_ptr failure = thread_.run(std::move(set_up), check_)) std::rethrow_exception(failure);
}

double LuaCost::evaluate(std::span<const Point> conformation) {
  double result = 0.0;
  evaluate(conformation, conformation.size(), std::span<double>(&result, 1));
  return result;
}

void LuaCost::evaluate(std::span<const Point> points, std::size_t n, std::span<double> out) {
  start(points, n, out);
  wait();
}

void LuaCost::start(std::span<const Point> points, std::size_t n, std::span<double> out) {
  if (in_flight_) fail("The Lua cost is still evaluating a batch");
  if (points.size() != out.size() * n)
    fail("A batch of {} conformations of {} points cannot hold {} points", out.size(), n, points.size());
  batch_->points.assign(points.begin(), points.end());
  batch_->n = n;
  batch_->results.resize(out.size());
  out_ = out;
  completed_ = 0;
  thread_.start([batch = batch_](LuaState& state) { batch->evaluate(state); });
  in_flight_ = true;
}

void LuaCost::wait() {
  if (!in_flight_) return;
  in_flight_ = false;
  // Throws what the check throws, leaving the batch to the thread.
  const std::exception_ptr failure = thread_.wait(check_);
  completed_ = batch_->completed;
  std::copy_n(batch_->results.begin(), completed_, out_.begin());
  if (failure) std::rethrow_exception(failure);
}

void LuaCost::close() {
  wait();
  thread_.close(check_);
}

}  // namespace tarvex
