// Building a cost function from the caller's Python object, and the Python-callable cost.
#include "tarvex/module/python_cost.hpp"

#include <optional>
#include <utility>

#include "tarvex/fail.hpp"
#include "tarvex/messages.hpp"
#include "tarvex/module/convert.hpp"
#include "tarvex/module/gil.hpp"

namespace tarvex::py {
namespace {

// "Type: value" with the traceback, as the traceback module prints it, for
// messages about the caller's code.
std::string render_exception(const PyRef& exc) {
  if (!exc) return "attempted to fetch exception but none was set";
  std::string text;
  PyRef module(PyImport_ImportModule("traceback"));
  PyRef lines = module ? PyRef(PyObject_CallMethod(module.get(), "format_exception", "O", exc.get())) : PyRef();
  PyRef joined = lines ? PyRef(PyUnicode_Join(nullptr, lines.get())) : PyRef();
  if (!joined) {
    PyErr_Clear();
    PyRef name = PyRef(PyType_GetQualName(Py_TYPE(exc.get())));
    PyRef value = PyRef(PyObject_Str(exc.get()));
    joined = name && value ? PyRef(PyUnicode_FromFormat("%U: %U", name.get(), value.get())) : PyRef();
    if (!joined) {
      PyErr_Clear();
      return "<exception that cannot be rendered>";
    }
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(joined.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "<exception that cannot be rendered>";
  }
  text.assign(data, static_cast<std::size_t>(size));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Ctrl-C inside the caller's function is the caller's wish to stop, not a
// failure of its code: it reaches Python as KeyboardInterrupt.
[[noreturn]] void fail_with_python_error(const char* message) {
  PyRef exc = take_error();
  if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt)) {
    restore_error(std::move(exc));
    throw Interrupted{};
  }
  std::string text = format("{}: {}", message, render_exception(exc));
  throw PythonCostFailure(text, std::move(exc));
}

class CallableCost final : public HostCost {
 public:
  // Made holding the interpreter lock, like the text of the sequence, which
  // every call passes as the same object.
  CallableCost(PyObject* callable, std::string_view sequence)
      : callable_(callable),
        sequence_(
            PyRef::check(PyUnicode_DecodeUTF8(sequence.data(), static_cast<Py_ssize_t>(sequence.size()), nullptr))) {}
  ~CallableCost() override {
    const HeldGil gil;
    sequence_ = PyRef();
  }
  CallableCost(const CallableCost&) = delete;
  CallableCost& operator=(const CallableCost&) = delete;

  // Called from native work that released the interpreter lock: each call
  // takes it back, a batch once for all its conformations.
  double score_one(std::span<const Point> conformation) override {
    const HeldGil gil;
    return evaluate_held(conformation);
  }

  void score_points(std::span<const Point> points, std::size_t n, std::span<double> out) override {
    const HeldGil gil;
    for (completed_ = 0; completed_ < out.size(); ++completed_)
      out[completed_] = evaluate_held(points.subspan(completed_ * n, n));
  }

 private:
  double evaluate_held(std::span<const Point> conformation) {
    PyRef coordinates = new_conformation(conformation);
    PyObject* args[] = {sequence_.get(), coordinates.get()};
    PyRef result(PyObject_Vectorcall(callable_, args, 2, nullptr));
    if (!result) fail_with_python_error(messages::kPythonCostFailed);
    try {
      return to_float(result.get());
    } catch (const ErrorSet&) {
      fail_with_python_error(messages::kPythonCostNotFloat);
    }
  }

  PyObject* callable_;  // borrowed: the argument of the running call
  PyRef sequence_;
};

// Items of a dict (or subclass) as a list snapshot, so that conversions
// running Python code cannot disturb the iteration.
PyRef dict_items(PyObject* dict) { return PyRef::check(PyDict_Items(dict)); }

bool single_code_point(PyObject* key, char32_t& out) {
  if (!PyUnicode_Check(key) || PyUnicode_GetLength(key) != 1) return false;
  out = static_cast<char32_t>(PyUnicode_ReadChar(key, 0));
  return true;
}

// The dict of dicts of energies, or nothing when the object has another shape.
std::optional<EnergyTable> energy_table(PyObject* cost) {
  if (!PyDict_Check(cost)) return std::nullopt;
  EnergyTable table;
  PyRef rows = dict_items(cost);
  for (Py_ssize_t r = 0; r < PyList_GET_SIZE(rows.get()); ++r) {
    PyObject* pair = PyList_GET_ITEM(rows.get(), r);
    char32_t residue = 0;
    PyObject* inner = PyTuple_GET_ITEM(pair, 1);
    if (!single_code_point(PyTuple_GET_ITEM(pair, 0), residue) || !PyDict_Check(inner)) return std::nullopt;
    EnergyRow& row = table[residue];
    PyRef entries = dict_items(inner);
    for (Py_ssize_t e = 0; e < PyList_GET_SIZE(entries.get()); ++e) {
      PyObject* entry = PyList_GET_ITEM(entries.get(), e);
      char32_t other = 0;
      if (!single_code_point(PyTuple_GET_ITEM(entry, 0), other)) return std::nullopt;
      PyObject* energy = PyTuple_GET_ITEM(entry, 1);
      try {
        row[other] = to_float(energy);
      } catch (const ErrorSet&) {
        // Ctrl-C while a value converts is the caller's wish to stop, not a
        // sign that the object is something else.
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw;
        PyErr_Clear();
        return std::nullopt;
      }
    }
  }
  return table;
}

std::optional<std::pair<std::string, std::string>> lua_pair(PyObject* cost) {
  if (!PyTuple_Check(cost) || PyTuple_GET_SIZE(cost) != 2) return std::nullopt;
  PyObject* name = PyTuple_GET_ITEM(cost, 0);
  PyObject* source = PyTuple_GET_ITEM(cost, 1);
  if (!PyUnicode_Check(name) || !PyUnicode_Check(source)) return std::nullopt;
  Py_ssize_t name_size = 0, source_size = 0;
  const char* name_data = PyUnicode_AsUTF8AndSize(name, &name_size);
  const char* source_data = name_data ? PyUnicode_AsUTF8AndSize(source, &source_size) : nullptr;
  if (source_data == nullptr) {
    PyErr_Clear();  // not text Lua could run: not this form
    return std::nullopt;
  }
  return std::pair{std::string(name_data, static_cast<std::size_t>(name_size)),
                   std::string(source_data, static_cast<std::size_t>(source_size))};
}

std::string display(PyObject* obj) {
  PyRef text(PyObject_Str(obj));
  Py_ssize_t size = 0;
  const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return format("<{} object>", Py_TYPE(obj)->tp_name);
  }
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace

// The reference is dropped holding the lock, on whichever thread lets the
// last copy of the failure go.
struct PythonCostFailure::Held {
  explicit Held(PyObject* held) : exception(held) {}
  PyObject* exception;
  ~Held() {
    if (exception == nullptr) return;
    const HeldGil gil;
    Py_DECREF(exception);
  }
};

PythonCostFailure::PythonCostFailure(const std::string& message, PyRef exception)
    : Panic(message), held_(std::make_shared<Held>(exception.release())) {}

PyRef PythonCostFailure::take_exception() const { return PyRef(std::exchange(held_->exception, nullptr)); }

std::unique_ptr<Cost> build_cost(PyObject* cost, std::string seq, std::uint64_t kmin, double dmax) {
  if (PyCallable_Check(cost)) return std::make_unique<CallableCost>(cost, std::move(seq));
  if (auto lua = lua_pair(cost)) {
    // Running the chunk is Lua code like any other: it may loop forever, so it
    // runs without the interpreter lock and Ctrl-C can end it.
    const ReleasedGil released;
    return make_lua_cost(lua->first, lua->second, std::move(seq), check_signals);
  }
  if (auto table = energy_table(cost)) return make_contact_cost(build_contact_energy_cost(*table, seq, kmin, dmax));
  if (PyErr_Occurred()) throw ErrorSet{};
  fail(messages::kUnrecognisedCost, display(cost));
}

}  // namespace tarvex::py
