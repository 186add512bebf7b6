// Hands buffers built in C++ to numpy without copying them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <type_traits>
#include <vector>

namespace velmora {

namespace py = pybind11;

// A one-dimensional numpy array that takes over `values` (a std::vector of
// numbers, whatever its allocator); the array owns the buffer through a capsule
// and frees it when the last view is gone.
template <typename Vector>
py::array owned_array(Vector&& values, const py::dtype& dtype) {
  using Owned = std::remove_cvref_t<Vector>;
  auto* owned = new Owned(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<Owned*>(p); });
  return py::array(dtype, {static_cast<py::ssize_t>(owned->size())},
                   {static_cast<py::ssize_t>(sizeof(typename Owned::value_type))}, owned->data(),
                   owner);
}

template <typename Vector>
py::array owned_array(Vector&& values) {
  return owned_array(std::forward<Vector>(values),
                     py::dtype::of<typename std::remove_cvref_t<Vector>::value_type>());
}

// A (rows x columns) object array over `references`, which the array owns:
// each element holds one reference, released when the last view is gone.
template <typename Vector>
py::array owned_object_array(Vector&& references, py::ssize_t rows, py::ssize_t columns) {
  using Owned = std::remove_cvref_t<Vector>;
  static_assert(std::is_same_v<typename Owned::value_type, PyObject*>);
  auto* owned = new Owned(std::move(references));
  py::capsule owner(owned, [](void* p) {
    auto* held = static_cast<Owned*>(p);
    for (PyObject* item : *held) Py_XDECREF(item);
    delete held;
  });
  return py::array(py::dtype("O"), {rows, columns},
                   {static_cast<py::ssize_t>(sizeof(PyObject*)) * columns,
                    static_cast<py::ssize_t>(sizeof(PyObject*))},
                   owned->data(), owner);
}

}  // namespace velmora
