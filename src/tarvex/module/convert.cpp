// Conversion of Python arguments into native values and of results back into Python objects.
#include "tarvex/module/convert.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "tarvex/fail.hpp"
#include "tarvex/messages.hpp"
#include "tarvex/module/gil.hpp"
#include "tarvex/reserve.hpp"

namespace tarvex::py {
namespace {

PyRef type_qualname(PyObject* obj) { return PyRef::check(PyType_GetQualName(Py_TYPE(obj))); }

// Raises TypeError "'{type}' object cannot be cast as '{target}'".
[[noreturn]] void raise_cast_error(PyObject* obj, const char* target) {
  PyRef name = type_qualname(obj);
  PyErr_Format(PyExc_TypeError, messages::kCannotCast, name.get(), target);
  throw ErrorSet{};
}

// The length an object reports is only a hint: the iteration decides.
std::size_t capacity_hint(PyObject* obj) {
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return reserve_for(static_cast<std::uint64_t>(length));
}

// Iterates a sequence (checked as in to_structure) and converts every item.
template <class T, class Convert>
std::vector<T> to_list(PyObject* obj, Convert convert) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, messages::kStrNotSequence);
    throw ErrorSet{};
  }
  if (!PySequence_Check(obj)) raise_cast_error(obj, "Sequence");
  std::vector<T> out;
  out.reserve(capacity_hint(obj));
  PyRef iter = PyRef::check(PyObject_GetIter(obj));
  while (PyRef item = PyRef(PyIter_Next(iter.get()))) out.push_back(convert(item.get()));
  if (PyErr_Occurred()) throw ErrorSet{};
  return out;
}

}  // namespace

std::string_view to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_cast_error(obj, "str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) throw ErrorSet{};
  return {data, static_cast<std::size_t>(size)};
}

PyObject* as_object(PyObject* obj) { return obj; }

std::optional<std::string_view> to_optional_text(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return to_text(obj);
}

std::uint64_t to_unsigned(PyObject* obj) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::check(PyNumber_Index(obj));
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorSet{};
  return value;
}

double to_float(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  // NumPy's complex scalars convert by dropping the imaginary part.
  if (PyComplex_Check(obj) || std::strstr(Py_TYPE(obj)->tp_name, "complex") != nullptr) {
    PyErr_Format(PyExc_TypeError, "must be real number, not %.200s", Py_TYPE(obj)->tp_name);
    throw ErrorSet{};
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw ErrorSet{};
  return value;
}

namespace {

bool is_numpy_bool(PyTypeObject* type) {
  PyRef module = PyRef(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  PyRef name = PyRef::check(PyType_GetName(type));
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool to_flag(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyTypeObject* type = Py_TYPE(obj);
  if (is_numpy_bool(type)) {
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                   reinterpret_cast<PyObject*>(type));
      throw ErrorSet{};
    }
    const int truth = nb_bool(obj);
    if (truth < 0) throw ErrorSet{};
    return truth != 0;
  }
  raise_cast_error(obj, "bool");
}

namespace {

Point to_point(PyObject* obj) {
  if (!PySequence_Check(obj)) raise_cast_error(obj, "Sequence");
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) throw ErrorSet{};
  if (length != 3) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length %d (got %zd)", 3, length);
    throw ErrorSet{};
  }
  double xyz[3];
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyRef item = PyRef::check(PySequence_GetItem(obj, i));
    xyz[i] = to_float(item.get());
  }
  return {xyz[0], xyz[1], xyz[2]};
}

// Coordinates of a NumPy array read through the buffer protocol, without an
// object per element. Only NumPy's own ndarray and memoryview qualify: an
// ndarray's rows iterate exactly as its buffer reads, which other exporters
// do not promise (a matrix iterates as two-dimensional rows, a masked array
// as masked values), and a multi-dimensional memoryview cannot be iterated at
// all. Other element types, byte orders and shapes of an ndarray take the
// sequence path and its messages; a memoryview is refused.
class CoordinateArray {
 public:
  // Usable when obj is such an array of float64 or float32 with `rank`
  // dimensions, the last of them 3.
  CoordinateArray(PyObject* obj, int rank) {
    if (std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") != 0 && !PyMemoryView_Check(obj)) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();  // not exportable as asked: the sequence path decides
      return;
    }
    held_ = true;
    if (view_.ndim != rank || view_.shape[rank - 1] != 3) return;
    width_ = element_width(view_.format, view_.itemsize);
  }
  ~CoordinateArray() {
    if (held_) PyBuffer_Release(&view_);
  }
  CoordinateArray(const CoordinateArray&) = delete;
  CoordinateArray& operator=(const CoordinateArray&) = delete;

  bool usable() const { return width_ != 0; }
  std::size_t extent(int dimension) const { return static_cast<std::size_t>(view_.shape[dimension]); }

  // The structure at index `model` of the first dimension (0 for rank 2).
  Conformation structure(std::size_t model) const {
    const int points = view_.ndim - 2;
    const char* base = static_cast<const char*>(view_.buf);
    if (points == 1) base += static_cast<Py_ssize_t>(model) * view_.strides[0];
    const Py_ssize_t row = view_.strides[points], column = view_.strides[points + 1];
    Conformation out(extent(points));
    for (std::size_t i = 0; i < out.size(); ++i) {
      const char* at = base + static_cast<Py_ssize_t>(i) * row;
      out[i] = {element(at), element(at + column), element(at + 2 * column)};
    }
    return out;
  }

 private:
  // 8 for native doubles, 4 for native floats, 0 for anything else.
  static int element_width(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return 0;
    constexpr char kNative = std::endian::native == std::endian::little ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == kNative) ++format;
    if (format[0] == 'd' && format[1] == '\0' && itemsize == 8) return 8;
    if (format[0] == 'f' && format[1] == '\0' && itemsize == 4) return 4;
    return 0;
  }

  // Arrays may be unaligned: copy the bytes out.
  double element(const char* at) const {
    if (width_ == 8) {
      double value;
      std::memcpy(&value, at, sizeof value);
      return value;
    }
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }

  Py_buffer view_{};
  bool held_ = false;
  int width_ = 0;
};

}  // namespace

namespace {

[[noreturn]] void refuse_memoryview(int rank) {
  PyErr_Format(PyExc_TypeError,
               "a memoryview of coordinates must hold float64 or float32 values in %d dimensions, "
               "the last of length 3",
               rank);
  throw ErrorSet{};
}

}  // namespace

Conformation to_structure(PyObject* obj) {
  if (const CoordinateArray array(obj, 2); array.usable()) return array.structure(0);
  if (PyMemoryView_Check(obj) && PyMemoryView_GET_BUFFER(obj)->ndim != 1) refuse_memoryview(2);
  return to_list<Point>(obj, to_point);
}

std::vector<Conformation> to_structure_list(PyObject* obj) {
  if (PyMemoryView_Check(obj)) {
    const CoordinateArray array(obj, 3);
    if (!array.usable()) refuse_memoryview(3);
  }
  if (const CoordinateArray array(obj, 3); array.usable()) {
    std::vector<Conformation> out;
    out.reserve(array.extent(0));
    for (std::size_t model = 0; model < array.extent(0); ++model) out.push_back(array.structure(model));
    return out;
  }
  return to_list<Conformation>(obj, to_structure);
}

void result_failed(std::uint64_t bytes) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_MemoryError, "the result would need about %llu bytes, which could not be allocated",
                 static_cast<unsigned long long>(bytes));
    throw ErrorSet{};
  }
  PyErr_PrintEx(0);
  fail("Python API call failed");
}

namespace {

// Floats are immutable and a walk's coordinates take few distinct values, so
// a result shares one float object per value instead of allocating one per
// coordinate. NaN is never shared: its objects stay distinct, as before, so
// that comparing results (which tries identity first) still finds NaN unequal.
class FloatCache {
 public:
  PyObject* get(double value) {  // a new reference
    if (value != value) return PyRef::check(PyFloat_FromDouble(value)).release();
    const auto bits = std::bit_cast<std::uint64_t>(value);
    Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> 58];
    if (!slot.value || slot.bits != bits) {
      slot.value = PyRef::check(PyFloat_FromDouble(value));
      slot.bits = bits;
    }
    return Py_NewRef(slot.value.get());
  }

 private:
  struct Slot {
    std::uint64_t bits = 0;
    PyRef value;
  };
  std::array<Slot, 64> slots_;
};

// Millions of new lists would start the cyclic collector every few hundred of
// them, each time over more of what was built, so building a large result took
// several times as long as the computation. Lists of floats hold no cycles:
// collection is suspended while they are built, and the caller's setting is
// back on every path out, errors included.
class CollectionSuspended {
 public:
  CollectionSuspended() : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectionSuspended() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectionSuspended(const CollectionSuspended&) = delete;
  CollectionSuspended& operator=(const CollectionSuspended&) = delete;

 private:
  bool was_enabled_;
};

// A list of [x, y, z] lists, each coordinate's object from `floats`.
template <class P, class Floats>
PyObject* points_object(std::span<const P> points, Floats& floats) {
  PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(points.size())));
  for (std::size_t i = 0; i < points.size(); ++i) {
    PyRef point = PyRef::check(PyList_New(3));
    PyList_SET_ITEM(point.get(), 0, floats.get(points[i].x));
    PyList_SET_ITEM(point.get(), 1, floats.get(points[i].y));
    PyList_SET_ITEM(point.get(), 2, floats.get(points[i].z));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), point.release());
  }
  return list.release();
}

}  // namespace

PyRef new_float(double value) { return PyRef::check(PyFloat_FromDouble(value)); }

PyRef new_conformation(std::span<const Point> points) {
  FloatCache floats;
  return PyRef(points_object(points, floats));
}

namespace {

// The float objects of a run's lattice walks: a walk's coordinates are a few
// integers times the scale, so one object per integer serves every point (NaN
// aside: a NaN scale gives distinct objects, as the other results do). The
// values are those of to_conformation, double(c) * scale.
constexpr std::chrono::milliseconds kResultPause{50};

class CoordinateFloats {
 public:
  CoordinateFloats(std::span<const LatticePoint> walks, double scale) : scale_(scale) {
    std::int32_t low = 0, high = 0;
    for (const LatticePoint& p : walks) {
      low = std::min({low, p.x, p.y, p.z});
      high = std::max({high, p.x, p.y, p.z});
    }
    low_ = low;
    objects_.resize(static_cast<std::size_t>(std::int64_t{high} - low + 1));
  }

  PyObject* get(std::int32_t c) {  // a new reference
    const double value = double(c) * scale_;
    if (value != value) return PyRef::check(PyFloat_FromDouble(value)).release();
    PyRef& slot = objects_[static_cast<std::size_t>(std::int64_t{c} - low_)];
    if (!slot) slot = PyRef::check(PyFloat_FromDouble(value));
    return Py_NewRef(slot.get());
  }

 private:
  double scale_;
  std::int64_t low_ = 0;
  std::vector<PyRef> objects_;
};

}  // namespace

PyRef new_walk_list(std::span<const LatticePoint> walks, std::size_t n, std::size_t count, double scale) {
  const bool fits = n == 0 ? walks.empty() : walks.size() % n == 0 && walks.size() / n == count;
  if (!fits) fail("{} points are not {} walks of {} points", walks.size(), count, n);
  const CollectionSuspended suspended;
  CoordinateFloats floats(walks, scale);
  PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(count)));
  // Seconds of building for a large result: Ctrl-C is heard, and other Python
  // threads run, between chunks. No one else can see the list yet.
  auto next_pause = std::chrono::steady_clock::now() + kResultPause;
  for (std::size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), points_object(walks.subspan(i * n, n), floats));
    if (i % 256 != 255 || std::chrono::steady_clock::now() < next_pause) continue;
    if (PyErr_CheckSignals() < 0) throw Interrupted{};
    { const ReleasedGil others_run; }
    next_pause = std::chrono::steady_clock::now() + kResultPause;
  }
  return list;
}

std::uint64_t to_optional_count(PyObject* obj, const char* argument, const char* what) {
  if (obj == Py_None) return 0;
  if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s must be a positive int or None, not %.200s", argument, what,
                 Py_TYPE(obj)->tp_name);
    throw ErrorSet{};
  }
  PyRef index = PyRef::check(PyNumber_Index(obj));
  const int positive = PyObject_RichCompareBool(index.get(), PyRef::check(PyLong_FromLong(0)).get(), Py_GT);
  if (positive < 0) throw ErrorSet{};
  if (positive == 0) {
    PyErr_Format(PyExc_ValueError, "argument '%s': %s must be a positive int, not %R", argument, what, index.get());
    throw ErrorSet{};
  }
  const unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
  if (PyErr_Occurred()) throw ErrorSet{};
  return count;
}

int add_pair_type(PyObject* module, const char* name, const char* first, const char* second, const char* doc,
                  PyObject*& type) {
  PyRef collections(PyImport_ImportModule("collections"));
  if (!collections) return -1;
  type = PyObject_CallMethod(collections.get(), "namedtuple", "s(ss)", name, first, second);
  if (type == nullptr) return -1;
  PyRef module_name(PyUnicode_FromString("tarvex"));
  if (!module_name || PyObject_SetAttrString(type, "__module__", module_name.get()) < 0) return -1;
  PyRef text(PyUnicode_FromString(doc));
  if (!text || PyObject_SetAttrString(type, "__doc__", text.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, type);
}

}  // namespace tarvex::py
