// Conversion of Python arguments into native values and of results back into Python objects.
#include "tarvex/module/convert.hpp"

#include "tarvex/fail.hpp"
#include "tarvex/reserve.hpp"

namespace tarvex::py {
namespace {

PyRef type_qualname(PyObject* obj) { return PyRef::check(PyType_GetQualName(Py_TYPE(obj))); }

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
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
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

void raise_cast_error(PyObject* obj, const char* target) {
  PyRef name = type_qualname(obj);
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), target);
  throw ErrorSet{};
}

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
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0)
    return false;
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

Conformation to_structure(PyObject* obj) { return to_list<Point>(obj, to_point); }

std::vector<Conformation> to_structure_list(PyObject* obj) {
  return to_list<Conformation>(obj, to_structure);
}

void result_failed() {
  PyErr_PrintEx(0);
  fail("Python API call failed");
}

namespace {

PyObject* point_object(const Point& p) {
  PyRef list = PyRef::check(PyList_New(3));
  const double xyz[3] = {p.x, p.y, p.z};
  for (Py_ssize_t i = 0; i < 3; ++i)
    PyList_SET_ITEM(list.get(), i, PyRef::check(PyFloat_FromDouble(xyz[i])).release());
  return list.release();
}

PyObject* conformation_object(std::span<const Point> points) {
  PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(points.size())));
  for (std::size_t i = 0; i < points.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), point_object(points[i]));
  return list.release();
}

}  // namespace

PyRef new_float(double value) { return PyRef::check(PyFloat_FromDouble(value)); }

PyRef new_conformation(std::span<const Point> points) { return PyRef(conformation_object(points)); }

PyRef new_conformation_list(std::span<const Conformation> conformations) {
  PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(conformations.size())));
  for (std::size_t i = 0; i < conformations.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), conformation_object(conformations[i]));
  return list;
}

}  // namespace tarvex::py
