// Table operations whose plain spelling misbehaves when made from C++.
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyops.h"

namespace velmora {

namespace py = pybind11;

// df[label] = value. pandas 2.2 takes an assignment to a table that shares its
// data with another one for chained assignment when the table has few
// references, and warns; a call from here holds fewer than the same statement
// in a Python function, so the warning would come for a table that is no
// temporary at all. A label the table holds once is set by position
// (DataFrame.isetitem: a new column, aligned as __setitem__ aligns it), a new
// label is inserted after the last column; labels held twice or more keep
// __setitem__, whose handling of them is its own.
inline void set_column(const py::object& df, const py::object& label, const py::object& value) {
  py::object columns = df.attr("columns");
  if (!contains(columns, label)) {
    df.attr("insert")(py::len(columns), label, value);
    return;
  }
  py::object at = columns.attr("get_loc")(label);
  if (PyLong_Check(at.ptr())) {
    df.attr("isetitem")(at, value);
    return;
  }
  df[label] = value;
}

inline void set_column(const py::object& df, const char* label, const py::object& value) {
  set_column(df, py::str(label), value);
}

}  // namespace velmora
