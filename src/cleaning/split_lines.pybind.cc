// split_lines: packed observation rows to one row per sample.
//
// This file converts Python values to what the packed-text core reads and
// back: it holds references to the text cells and copies the row starts for
// the duration of the call, allocates the result's numpy arrays at their final
// size, lets the core fill them (without the interpreter lock), and puts them
// together as a table. Splitting, placeholders, numbers, times and their
// order are the core's (split.h); Python's float() is handed to it for the
// pieces it leaves undecided.
#include "cleaning/split_lines.pybind.h"

#include <pybind11/numpy.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "cleaning/packed_text.h"
#include "cleaning/sample_times.h"
#include "cleaning/split.h"
#include "cleaning/worker_threads.h"
#include "common/frames.h"
#include "common/pyops.h"

namespace velmora {
namespace {

using packed::Cell;

// `value` as a one-dimensional numpy array of `length` elements of numpy kind
// `kind` and `itemsize` bytes each, before any of its memory is read as such.
py::array checked_array(const py::handle& value, char kind, py::ssize_t itemsize, size_t length,
                        const char* what) {
  if (!value || !py::isinstance<py::array>(value)) {
    throw py::type_error(std::string(what) + ": expected a numpy array");
  }
  auto array = py::reinterpret_borrow<py::array>(value);
  if (array.dtype().kind() != kind || array.itemsize() != itemsize || array.ndim() != 1 ||
      static_cast<size_t>(array.shape(0)) != length) {
    throw py::type_error(std::string(what) + ": expected " + std::to_string(length) + " elements of kind '" +
                         kind + "', got " + py::repr(array.dtype()).cast<std::string>() + " of shape " +
                         py::repr(py::tuple(array.attr("shape"))).cast<std::string>());
  }
  return array;
}

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

// New references to the objects of a column, taken in one pass in which no
// Python code runs: what another thread does to the column afterwards
// cannot free them.
std::vector<py::object> held_objects(const py::object& column, size_t rows) {
  py::array objects = checked_array(column.attr("to_numpy")(py::arg("dtype") = "object"), 'O',
                                    static_cast<py::ssize_t>(sizeof(PyObject*)), rows, "column");
  objects = py::array::ensure(objects, py::array::c_style);
  if (!objects) throw py::type_error("column: no contiguous array of objects");
  const auto* items = static_cast<PyObject* const*>(objects.data());
  std::vector<py::object> held(rows);
  for (size_t i = 0; i < rows; ++i) held[i] = py::reinterpret_borrow<py::object>(items[i]);
  return held;
}

// The text cells of the obsvalue column as the core reads them: UTF-8 views
// of str objects held for the call. Strings that hold lone surrogates have no
// UTF-8 form; they are encoded with "surrogatepass" and the bytes held too.
struct TextCells {
  std::vector<py::object> held;
  std::vector<py::bytes> encoded;
  std::vector<Cell> cells;
  size_t strings = 0;
};

TextCells text_cells(const py::object& column, size_t rows) {
  TextCells out;
  out.held = held_objects(column, rows);
  out.cells.resize(rows);
  for (size_t i = 0; i < rows; ++i) {
    PyObject* item = out.held[i].ptr();
    if (!PyUnicode_Check(item)) continue;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
      PyErr_Clear();
      auto bytes = py::reinterpret_steal<py::bytes>(PyUnicode_AsEncodedString(item, "utf-8", "surrogatepass"));
      if (!bytes) throw py::error_already_set();
      text = PyBytes_AS_STRING(bytes.ptr());
      size = PyBytes_GET_SIZE(bytes.ptr());
      out.encoded.push_back(std::move(bytes));
    }
    out.cells[i] = Cell{std::string_view(text, static_cast<size_t>(size)), true};
    ++out.strings;
  }
  return out;
}

// Python's float() of a piece: the value, or nullopt when float() refuses the
// text with ValueError.
std::optional<double> python_float(std::string_view text) {
  auto piece = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
  if (!piece) throw py::error_already_set();
  PyObject* number = PyFloat_FromString(piece.ptr());
  if (number == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
    PyErr_Clear();
    return std::nullopt;
  }
  const double value = PyFloat_AS_DOUBLE(number);
  Py_DECREF(number);
  return value;
}

// Raises float()'s own error for a piece that is no number.
[[noreturn]] void raise_not_a_number(std::string_view text) {
  auto piece = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
  if (!piece) throw py::error_already_set();
  Py_XDECREF(PyFloat_FromString(piece.ptr()));
  if (PyErr_Occurred()) throw py::error_already_set();
  throw py::value_error("could not convert string to float: " + py::repr(piece).cast<std::string>());
}

packed::SampleRate sample_rate(const py::object& rate) {
  if (PyFloat_Check(rate.ptr())) return packed::SampleRate::seconds(PyFloat_AS_DOUBLE(rate.ptr()));
  if (PyIndex_Check(rate.ptr())) {
    auto index = py::reinterpret_steal<py::object>(PyNumber_Index(rate.ptr()));
    if (!index) throw py::error_already_set();
    const long long seconds = PyLong_AsLongLong(index.ptr());
    if (seconds == -1 && PyErr_Occurred()) throw py::error_already_set();
    return packed::SampleRate::whole_seconds(seconds);
  }
  const double seconds = PyFloat_AsDouble(rate.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return packed::SampleRate::seconds(seconds);
}

bool has_dtype_kind(const py::handle& dtype, char kind) {
  return py::isinstance<py::dtype>(dtype) && py::reinterpret_borrow<py::dtype>(dtype).kind() == kind;
}

bool is_naive_datetime_ns(const py::object& series) {
  py::object dtype = series.attr("dtype");
  return py::isinstance<py::dtype>(dtype) && py::str(dtype.attr("str")).cast<std::string>() == "<M8[ns]";
}

// A copy of the row starts (ns since the epoch; NaT is the smallest int64).
std::vector<int64_t> row_starts(const py::object& start, size_t rows) {
  py::array times = checked_array(start.attr("to_numpy")(), 'M', 8, rows, "startdate");
  std::vector<int64_t> out(rows);
  for (size_t i = 0; i < rows; ++i) out[i] = *static_cast<const int64_t*>(times.data(static_cast<py::ssize_t>(i)));
  return out;
}

std::span<float> span_of(py::array_t<float>& values) {
  return {values.mutable_data(), static_cast<size_t>(values.size())};
}

std::span<int64_t> int64_span_of(py::array& values) {
  return {static_cast<int64_t*>(values.mutable_data()), static_cast<size_t>(values.size())};
}

// The source row of every result position.
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

bool all_object_columns(const py::object& frame) {
  for (const py::handle dtype : frame.attr("dtypes")) {
    if (!has_dtype_kind(dtype, 'O')) return false;
  }
  return true;
}

// The columns of `others` with each row's values repeated at its result
// positions, indexed by `index`. Object columns are filled here, one
// reference stored per position; others are taken by pandas.
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
  if (!has_dtype_kind(source.dtype(), 'O') || source.ndim() != 2 || static_cast<size_t>(source.shape(0)) != rows ||
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
  // only adds its reference. Were it filled (with None, say), each store
  // would release what it replaces.
  const bool empty = n == 0 || columns == 0 || out[0] == nullptr;
  auto store = [empty](PyObject** slot, PyObject* value) {
    Py_INCREF(value);
    if (empty) {
      *slot = value;
      return;
    }
    PyObject* was = *slot;
    *slot = value;
    Py_XDECREF(was);
  };
  split.for_each_block([&](std::span<const size_t> rows_side_by_side, size_t at, size_t slots) {
    for (size_t c = 0; c < columns; ++c) {
      PyObject** slot = out + c * n + at;
      if (rows_side_by_side.size() == 1) {
        PyObject* value = values[rows_side_by_side[0] * columns + c];
        for (size_t s = 0; s < slots; ++s) store(slot++, value);
        continue;
      }
      for (size_t s = 0; s < slots; ++s) {
        for (const size_t row : rows_side_by_side) store(slot++, values[row * columns + c]);
      }
    }
  });
  return ns["pd"].attr("DataFrame")(block.attr("T"), py::arg("index") = index,
                                    py::arg("columns") = others.attr("columns"), py::arg("dtype") = "object",
                                    py::arg("copy") = false);
}

// Rates up to 3600 seconds: a new table with one row per sample.
py::object split_into_samples(const Namespace& ns, const py::object& df, const py::object& rate) {
  py::object pd = ns["pd"];
  py::object column = df["obsvalue"];
  py::object(column.attr("str"));  // pandas refuses columns that hold no text
  const size_t rows = py::len(column);
  TextCells text = text_cells(column, rows);
  if (text.strings == 0 && rows > 0) {
    // what pandas' str.split refuses: a column whose values are all bytes
    py::object inferred = pd.attr("api").attr("types").attr("infer_dtype")(column, py::arg("skipna") = true);
    if (py::str(inferred).cast<std::string>() == "bytes") {
      throw py::type_error("Cannot use .str.split with values of inferred dtype 'bytes'.");
    }
  }
  if (contains(df.attr("columns"), "timespan")) {
    throw py::value_error("columns overlap but no suffix specified: Index(['timespan'], dtype='object')");
  }
  py::object start = df["startdate"];
  packed::Stamp stamp{sample_rate(rate), std::nullopt};
  std::vector<int64_t> starts;
  const bool naive = is_naive_datetime_ns(start);
  if (naive) {
    starts = row_starts(start, rows);
    stamp.row_start = std::span<const int64_t>(starts);
  }

  std::optional<packed::Split> split;
  {
    py::gil_scoped_release unlocked;
    split.emplace(text.cells, /*split=*/true, stamp);
  }
  const auto n = static_cast<py::ssize_t>(split->size());
  py::array_t<float> values(n);
  py::array times(py::dtype(naive ? "M8[ns]" : "m8[ns]"), std::vector<py::ssize_t>{n});
  const unsigned threads = split->worth_threads() ? packed::worker_threads() : 1;
  {
    py::gil_scoped_release unlocked;
    split->fill(span_of(values), int64_span_of(times), threads);
  }

  py::object index;
  if (naive) {
    index = pd.attr("DatetimeIndex")(times, py::arg("name") = "startdate");
  } else {
    // Other start columns (time zones, objects, anything else): pandas adds
    // the offsets to the starts, with its own result or error, and orders
    // the sums.
    py::object at_rows = start.attr("take")(result_rows(*split)).attr("reset_index")(py::arg("drop") = true);
    py::object sums = add(at_rows, pd.attr("Series")(times)).attr("array");
    py::array order = checked_array(py::array::ensure(sums.attr("argsort")(py::arg("kind") = "stable")), 'i', 8,
                                    split->size(), "order");
    split->reorder(std::span<const int64_t>(static_cast<const int64_t*>(order.data()), split->size()),
                   span_of(values));
    index = pd.attr("Index")(sums.attr("take")(order), py::arg("name") = "startdate");
  }
  if (const auto failed = split->settle(span_of(values), python_float)) raise_not_a_number(failed->text);

  py::list drop;
  drop.append("startdate");
  drop.append("obsvalue");
  py::object others = df.attr("drop")(py::arg("columns") = drop);
  py::list obsvalue;
  obsvalue.append("obsvalue");
  py::object result = pd.attr("DataFrame")(values.attr("reshape")(-1, 1), py::arg("index") = index,
                                           py::arg("columns") = obsvalue, py::arg("copy") = false);
  if (py::len(others.attr("columns")) == 0) return result;
  py::list parts;
  parts.append(repeated_columns(ns, others, *split, index));
  parts.append(result);
  return pd.attr("concat")(parts, py::arg("axis") = 1, py::arg("copy") = false);
}

// Rates above 3600 seconds: the caller's table, sorted and indexed by time in
// place, each cell one value.
py::object convert_in_place(const Namespace& ns, py::object df) {
  py::list by;
  by.append("startdate");
  df.attr("sort_values")(py::arg("by") = by, py::arg("inplace") = true, py::arg("kind") = "stable");
  df.attr("set_index")("startdate", py::arg("inplace") = true);
  py::object column = df["obsvalue"];
  if (!has_dtype_kind(column.attr("dtype"), 'O')) {
    set_column(df, "obsvalue", column.attr("astype")("float32"));
    return df;
  }

  const size_t rows = py::len(column);
  TextCells text = text_cells(column, rows);
  std::optional<packed::Split> split;
  py::array_t<float> values(static_cast<py::ssize_t>(rows));
  {
    py::gil_scoped_release unlocked;
    split.emplace(text.cells, /*split=*/false, std::nullopt);
    split->fill(span_of(values), {});
  }
  const auto failed = split->settle(span_of(values), python_float);
  // Cells that are not text convert as numpy converts them; the first cell
  // that converts to nothing, text or not, raises.
  py::object missing = ns["pd"].attr("NA");
  float* out = values.mutable_data();
  for (size_t row = 0; row < rows; ++row) {
    if (failed && row > failed->at) break;
    PyObject* item = text.held[row].ptr();
    if (text.cells[row].has_text || item == Py_None || item == missing.ptr()) continue;
    auto number = py::reinterpret_steal<py::object>(PyNumber_Float(item));
    if (!number) throw py::error_already_set();
    out[row] = packed::to_float32(PyFloat_AS_DOUBLE(number.ptr()));
  }
  if (failed) raise_not_a_number(failed->text);
  set_column(df, "obsvalue", values);
  return df;
}

}  // namespace

py::object split_lines(const Namespace& ns, py::object df, py::object rate) {
  ns.print("splitting data...");
  const int split = PyObject_RichCompareBool(rate.ptr(), py::int_(3600).ptr(), Py_LE);
  if (split < 0) throw py::error_already_set();
  if (split) return split_into_samples(ns, df, rate);
  return convert_in_place(ns, std::move(df));
}

}  // namespace velmora

namespace velmora {

void register_split_lines(py::module_& m) {
  define(m, {.name = "split_lines",
             .params = {Param::required("df"), Param::required("sample_by_seconds")},
             .body = [](const Arguments& args) { return split_lines(args.ns(), args[0], args[1]); }});
}

}  // namespace velmora
