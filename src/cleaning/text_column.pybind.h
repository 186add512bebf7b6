// A pandas column of packed text, read for the kernel.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <vector>

#include "cleaning/text_column.h"
#include "common/function.h"

namespace velmora {

namespace py = pybind11;

// The cells of a column with what keeps their text alive. A column backed by
// Arrow string arrays is read from their buffers (the arrays are held);
// any other column through its objects, each str held by a new reference
// (taken in one pass in which no Python code runs, so that a thread changing
// the column meanwhile cannot free a text under the kernel). Cells that are
// not str have no text.
struct HeldText {
  packed::TextColumn column;
  std::vector<py::object> objects;  // the column's objects, for the object form
  std::vector<py::bytes> encoded;   // UTF-8 of str objects that hold lone surrogates
  py::object arrow;                 // the Arrow arrays, for the Arrow form

  bool from_arrow() const { return static_cast<bool>(arrow); }
};

HeldText read_text_column(const Namespace& ns, const py::object& column);

// A one-dimensional numpy array of `length` elements of numpy kind `kind`
// and `itemsize` bytes each, checked before any of its memory is read as
// such; TypeError naming `what` otherwise.
py::array checked_array(const py::handle& value, char kind, py::ssize_t itemsize, size_t length,
                        const char* what);

}  // namespace velmora
