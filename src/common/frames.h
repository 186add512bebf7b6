// Table operations whose plain spelling misbehaves when made from C++.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

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

// The caller's table `df` takes on the contents of `result`, a table that a
// method returned in place of changing `df`: what the method does to `df`
// when called with inplace=True. pandas 3.1 deprecates that keyword for
// sort_values, set_index, dropna and rename (pandas 4 removes it) and warns
// on every call; the update it makes, NDFrame._update_inplace, is the same on
// every release from 1.5 on.
inline void update_in_place(const py::object& df, const py::object& result) {
  df.attr("_update_inplace")(result);
}

// Whether pandas takes `column` for a column of text: numpy object columns,
// pandas' string dtype (python or pyarrow storage, NA or NaN as the missing
// value), pandas 3's default str, and Arrow string columns.
inline bool is_text_column(const py::object& pd, const py::handle& column) {
  return pd.attr("api").attr("types").attr("is_string_dtype")(column.attr("dtype")).cast<bool>();
}

// pandas' major release number, read from pd.__version__ ("3.1.2" gives 3).
inline int pandas_major(const py::object& pd) {
  const std::string version = py::str(pd.attr("__version__"));
  int major = 0;
  for (const char c : version) {
    if (c < '0' || c > '9') break;
    major = major * 10 + (c - '0');
  }
  return major;
}

// Whether pandas copies lazily (copy-on-write, pandas 3 and later): there
// the copy=False of earlier releases is implied, and asking for it warns
// that the keyword goes away.
inline bool copies_lazily(const py::object& pd) { return pandas_major(pd) >= 3; }

}  // namespace velmora
