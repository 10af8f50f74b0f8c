// The cost interface's defaults, and the Lua cost behind it.
#include "tarvex/cost/cost.hpp"

#include "tarvex/cost/contact_delta.hpp"
#include "tarvex/fail.hpp"

namespace tarvex {

std::unique_ptr<ContactField> Cost::delta(std::size_t, double, LatticeKind) const {
  fail("assertion failed: a cost that offers a delta");
}

namespace {

class LuaScriptCost final : public Cost {
 public:
  LuaScriptCost(std::string_view function_name, std::string_view source, std::string sequence, Check check)
      : lua_(function_name, source, std::move(sequence), std::move(check)) {}

  CostRuns runs() const override { return CostRuns::own_thread; }
  double score_one(std::span<const Point> conformation) override { return lua_.evaluate(conformation); }
  void score_points(std::span<const Point> points, std::size_t n, std::span<double> out) override {
    lua_.evaluate(points, n, out);
  }
  std::size_t completed() const override { return lua_.completed(); }
  void start(std::span<const Point> points, std::size_t n, std::span<double> out) override {
    lua_.start(points, n, out);
  }
  void wait() override { lua_.wait(); }
  void close() override { lua_.close(); }

 private:
  LuaCost lua_;
};

}  // namespace

std::unique_ptr<Cost> make_lua_cost(std::string_view function_name, std::string_view source, std::string sequence,
                                    Check check) {
  return std::make_unique<LuaScriptCost>(function_name, source, std::move(sequence), std::move(check));
}

}  // namespace tarvex
