// Small Python operations that pybind11 does not spell the Python way.
#pragma once

#include <pybind11/pybind11.h>

namespace velmora {

namespace py = pybind11;

// a <op> b as Python evaluates it, keeping the result object (pybind11's own
// comparison operators reduce it to a bool, which tables refuse).
inline py::object compare(const py::handle& a, const py::handle& b, int op) {
  PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// Arithmetic as Python evaluates it.
inline py::object add(const py::handle& a, const py::handle& b) {
  PyObject* result = PyNumber_Add(a.ptr(), b.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

inline py::object multiply(const py::handle& a, const py::handle& b) {
  PyObject* result = PyNumber_Multiply(a.ptr(), b.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

inline py::object negative(const py::handle& a) {
  PyObject* result = PyNumber_Negative(a.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// ~a (element-wise "not" of a boolean series).
inline py::object invert(const py::handle& a) {
  PyObject* result = PyNumber_Invert(a.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// `key in container`, raising what Python raises for objects without membership.
inline bool contains(const py::handle& container, const py::handle& key) {
  const int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

inline bool contains(const py::handle& container, const char* key) {
  return contains(container, py::str(key));
}

// format(value, ""): the text that str.format puts for "{}".
inline py::str format(const py::handle& value) {
  PyObject* text = PyObject_Format(value.ptr(), nullptr);
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

}  // namespace velmora
