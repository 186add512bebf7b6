// Hands buffers built in C++ to numpy without copying them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

namespace velmora {

namespace py = pybind11;

// A one-dimensional numpy array that takes over `values`; the array owns the
// buffer through a capsule and frees it when the last view is gone.
template <typename T>
py::array owned_array(std::vector<T>&& values, const py::dtype& dtype) {
  auto* owned = new std::vector<T>(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array(dtype, {static_cast<py::ssize_t>(owned->size())},
                   {static_cast<py::ssize_t>(sizeof(T))}, owned->data(), owner);
}

template <typename T>
py::array owned_array(std::vector<T>&& values) {
  return owned_array(std::move(values), py::dtype::of<T>());
}

}  // namespace velmora
