#include "cleaning/sample_table.pybind.h"

#include "common/frames.h"

#include <algorithm>
#include <span>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmora {
namespace {

// Asks for transparent huge pages under a large array that nothing has
// written yet (numpy asks for them itself, except for arrays it starts
// zeroed, such as arrays of objects): one page fault per 2 MiB instead of 512.
void advise_huge_pages(py::array& array) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<uintptr_t>(array.mutable_data());
  const uintptr_t end = begin + static_cast<uintptr_t>(array.nbytes());
  const uintptr_t from = (begin + kHuge - 1) & ~(kHuge - 1), to = end & ~(kHuge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // advice only
#else
  (void)array;
#endif
}

bool is_object_dtype(const py::handle& dtype) {
  return py::isinstance<py::dtype>(dtype) && py::reinterpret_borrow<py::dtype>(dtype).kind() == 'O';
}

bool all_object_columns(const py::object& frame) {
  for (const py::handle dtype : frame.attr("dtypes")) {
    if (!is_object_dtype(dtype)) return false;
  }
  return true;
}

// The columns of `others` with each row's values repeated at its result
// positions, indexed by `index`. Columns of numpy objects are filled here,
// one reference stored per position; others (numbers, pandas' string and
// Arrow columns) are taken by pandas, which keeps their dtypes.
py::object repeated_columns(const Namespace& ns, const py::object& others, const packed::Split& split,
                            const py::object& index) {
  if (!all_object_columns(others)) {
    py::object repeated = others.attr("take")(result_rows(split));
    repeated.attr("index") = index;
    return repeated;
  }
  const size_t rows = split.rows(), n = split.size();
  const auto columns = static_cast<size_t>(py::len(others.attr("columns")));
  py::array source = ns["np"].attr("ascontiguousarray")(others.attr("to_numpy")(py::arg("dtype") = "object"));
  if (!is_object_dtype(source.dtype()) || source.ndim() != 2 || static_cast<size_t>(source.shape(0)) != rows ||
      static_cast<size_t>(source.shape(1)) != columns) {
    throw py::type_error("the other columns did not convert to a table of objects");
  }
  const auto* values = static_cast<PyObject* const*>(source.data());
  // one column after the other: the table's block of object columns
  py::array block(py::dtype("O"),
                  std::vector<py::ssize_t>{static_cast<py::ssize_t>(columns), static_cast<py::ssize_t>(n)});
  advise_huge_pages(block);
  auto* out = static_cast<PyObject**>(block.mutable_data());
  // numpy starts an object array with every element NULL: then each store
  // only adds its reference, and the references a value gains in a block are
  // added to its count at once. Were the array filled (with None, say), each
  // store would release what it replaces.
  const bool empty = n == 0 || columns == 0 || out[0] == nullptr;
  auto store = [](PyObject** slot, PyObject* value) {
    Py_INCREF(value);
    PyObject* was = *slot;
    *slot = value;
    Py_XDECREF(was);
  };
  // `count` more references to `value` (the interpreter lock is held)
  auto add_references = [](PyObject* value, size_t count) {
    Py_SET_REFCNT(value, Py_REFCNT(value) + static_cast<Py_ssize_t>(count));
  };
  split.for_each_block([&](std::span<const size_t> rows_side_by_side, size_t at, size_t slots) {
    for (size_t c = 0; c < columns; ++c) {
      PyObject** slot = out + c * n + at;
      if (!empty) {
        for (size_t s = 0; s < slots; ++s) {
          for (const size_t row : rows_side_by_side) store(slot++, values[row * columns + c]);
        }
        continue;
      }
      if (rows_side_by_side.size() == 1) {
        PyObject* value = values[rows_side_by_side[0] * columns + c];
        std::fill(slot, slot + slots, value);
        add_references(value, slots);
        continue;
      }
      for (const size_t row : rows_side_by_side) add_references(values[row * columns + c], slots);
      for (size_t s = 0; s < slots; ++s) {
        for (const size_t row : rows_side_by_side) *slot++ = values[row * columns + c];
      }
    }
  });
  // pandas would copy a block it does not own; false keeps this one
  return ns["pd"].attr("DataFrame")(block.attr("T"), py::arg("index") = index,
                                    py::arg("columns") = others.attr("columns"), py::arg("dtype") = "object",
                                    py::arg("copy") = false);
}

}  // namespace

py::array_t<int64_t> result_rows(const packed::Split& split) {
  py::array_t<int64_t> rows(static_cast<py::ssize_t>(split.size()));
  int64_t* out = rows.mutable_data();
  split.for_each_block([&](std::span<const size_t> block, size_t at, size_t slots) {
    for (size_t s = 0; s < slots; ++s) {
      for (const size_t row : block) out[at++] = static_cast<int64_t>(row);
    }
  });
  return rows;
}

py::object sample_table(const Namespace& ns, const py::object& others, const packed::Split& split,
                        const py::object& index, const py::array_t<float>& values) {
  py::object pd = ns["pd"];
  py::list obsvalue;
  obsvalue.append("obsvalue");
  py::object result = pd.attr("DataFrame")(values.attr("reshape")(-1, 1), py::arg("index") = index,
                                           py::arg("columns") = obsvalue, py::arg("copy") = false);
  if (py::len(others.attr("columns")) == 0) return result;
  py::list parts;
  parts.append(repeated_columns(ns, others, split, index));
  parts.append(result);
  if (copies_lazily(pd)) return pd.attr("concat")(parts, py::arg("axis") = 1);
  return pd.attr("concat")(parts, py::arg("axis") = 1, py::arg("copy") = false);
}

}  // namespace velmora
