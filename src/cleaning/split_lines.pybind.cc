// split_lines: packed observation rows to one row per sample.
//
// The text work (splitting, placeholders, numbers, times, order) runs in the
// packed-text core without the interpreter lock; this file converts the pandas
// columns to and from it and builds the result table once.
#include "cleaning/split_lines.pybind.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <optional>
#include <string>

#include "cleaning/packed_text.h"
#include "cleaning/sample_times.h"
#include "cleaning/split.h"
#include "cleaning/time_sort.h"
#include "cleaning/worker_threads.h"
#include "common/numpy_owned.h"
#include "common/pyops.h"

namespace velmora {
namespace {

using packed::Buffer;
using packed::Cell;
using packed::Samples;

// UTF-8 views of the string cells of an object column. Strings that hold lone
// surrogates have no UTF-8 form; they are encoded with "surrogatepass" and the
// bytes are kept alive here.
struct TextCells {
  py::array objects;
  std::vector<Cell> cells;
  std::vector<py::bytes> encoded;
};

TextCells text_cells(const Namespace& ns, const py::object& column) {
  TextCells out;
  out.objects = ns["np"].attr("ascontiguousarray")(column.attr("to_numpy")(py::arg("dtype") = "object"));
  const auto* items = static_cast<PyObject* const*>(out.objects.data());
  const auto n = static_cast<size_t>(out.objects.size());
  out.cells.resize(n);
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
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
  }
  return out;
}

py::object piece_as_str(std::string_view text) {
  auto s = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
  if (!s) throw py::error_already_set();
  return s;
}

// Python's float() of a piece: the value, or nullopt when Python refuses the
// text with ValueError (left pending for the caller to clear or raise).
std::optional<double> python_float(std::string_view text) {
  py::object s = piece_as_str(text);
  PyObject* number = PyFloat_FromString(s.ptr());
  if (number == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
    return std::nullopt;
  }
  const double value = PyFloat_AS_DOUBLE(number);
  Py_DECREF(number);
  return value;
}

// Converts the pieces the core left undecided the way Python reads them.
// Returns the samples that are neither numbers nor placeholders.
std::vector<size_t> resolve_undecided(Samples& samples) {
  std::vector<size_t> failed;
  for (size_t j = 0; j < samples.undecided.size(); ++j) {
    const size_t k = samples.undecided[j];
    const std::string_view text = samples.undecided_text[j];
    const std::optional<double> value = python_float(text);
    if (!value) PyErr_Clear();
    const packed::Piece piece = packed::settle_piece(text, value);
    samples.value[k] = piece.value;
    if (piece.kind == packed::PieceKind::kUndecided) failed.push_back(j);
  }
  return failed;
}

// Raises Python's conversion error for the failed piece that comes first in
// the result (`order` empty: the samples are already in result order).
[[noreturn]] void raise_first_failure(const Samples& samples, const std::vector<size_t>& failed,
                                      const Buffer<int64_t>& order) {
  size_t first = failed.front();
  if (!order.empty()) {
    std::vector<size_t> rank(samples.value.size(), SIZE_MAX);
    for (size_t i = 0; i < order.size(); ++i) rank[static_cast<size_t>(order[i])] = i;
    first = *std::min_element(failed.begin(), failed.end(), [&](size_t a, size_t b) {
      return rank[samples.undecided[a]] < rank[samples.undecided[b]];
    });
  }
  python_float(samples.undecided_text[first]);
  throw py::error_already_set();
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

bool is_naive_datetime_ns(const py::object& series) {
  py::object dtype = series.attr("dtype");
  return py::isinstance<py::dtype>(dtype) && py::str(dtype.attr("str")).cast<std::string>() == "<M8[ns]";
}

template <typename T>
Buffer<T> in_order(Buffer<T>&& values, const Buffer<int64_t>& order) {
  if (order.empty()) return std::move(values);
  return packed::gather<T>(values, order);
}

// The result index (sample times) and the order that sorts the samples by it.
struct TimeIndex {
  py::object index;
  Buffer<int64_t> order;  // empty: already in order
};

// Other start columns (time zones, objects, anything else): the core gave
// offsets; pandas adds them to the starts, with its own result or error, and
// orders the sums.
TimeIndex summed_index(const Namespace& ns, const py::object& start, Samples& samples) {
  py::object pd = ns["pd"];
  py::object rows = owned_array(packed::sample_rows(samples.first));
  py::object starts = start.attr("take")(rows).attr("reset_index")(py::arg("drop") = true);
  py::object offsets = owned_array(std::move(samples.time), py::dtype("m8[ns]"));
  py::object values = add(starts, pd.attr("Series")(offsets)).attr("array");
  auto order = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(
      values.attr("argsort")(py::arg("kind") = "stable"));
  if (!order) throw py::error_already_set();
  TimeIndex out;
  out.order.assign(order.data(), order.data() + order.size());
  out.index = pd.attr("Index")(values.attr("take")(order), py::arg("name") = "startdate");
  return out;
}

// The columns of `others` (all of object dtype) with each value repeated for
// every sample of its row, as one (columns x samples) block: sample i belongs
// to row rows[i], or, with `rows` empty, the samples are in row order. A value
// gains its references for all the samples of its row at once.
py::object repeated_objects(const Namespace& ns, const py::object& others, const Buffer<size_t>& first,
                            const Buffer<int64_t>& rows) {
  py::array source = ns["np"].attr("ascontiguousarray")(others.attr("to_numpy")(py::arg("dtype") = "object"));
  const auto columns = static_cast<size_t>(source.shape(1));
  const auto* values = static_cast<PyObject* const*>(source.data());
  for (size_t row = 0; row + 1 < first.size(); ++row) {
    const auto count = static_cast<Py_ssize_t>(first[row + 1] - first[row]);
    for (size_t c = 0; c < columns; ++c) {
      PyObject* value = values[row * columns + c];
      Py_SET_REFCNT(value, Py_REFCNT(value) + count);
    }
  }
  const size_t n = first.back();
  Buffer<PyObject*> block(columns * n);
  for (size_t c = 0; c < columns; ++c) {
    PyObject** out = block.data() + c * n;
    if (rows.empty()) {
      for (size_t row = 0; row + 1 < first.size(); ++row) {
        std::fill(out + first[row], out + first[row + 1], values[row * columns + c]);
      }
    } else {
      for (size_t i = 0; i < n; ++i) out[i] = values[static_cast<size_t>(rows[i]) * columns + c];
    }
  }
  py::array repeated = owned_object_array(std::move(block), static_cast<py::ssize_t>(columns),
                                          static_cast<py::ssize_t>(n));
  return repeated.attr("T");
}

bool all_object_columns(const py::object& frame) {
  for (const py::handle dtype : frame.attr("dtypes")) {
    if (!py::isinstance<py::dtype>(dtype) || py::str(dtype.attr("kind")).cast<std::string>() != "O") return false;
  }
  return true;
}

// Rates up to 3600 seconds: a new table with one row per sample.
py::object split_into_samples(const Namespace& ns, const py::object& df, const py::object& rate) {
  py::object column = df["obsvalue"];
  py::object(column.attr("str"));  // pandas refuses columns that hold no text
  if (py::cast<bool>(df.attr("columns").attr("__contains__")("timespan"))) {
    throw py::value_error("columns overlap but no suffix specified: Index(['timespan'], dtype='object')");
  }
  py::object start = df["startdate"];
  packed::Stamp stamp{sample_rate(rate), std::nullopt};
  py::array_t<int64_t, py::array::c_style> start_ns;
  if (is_naive_datetime_ns(start)) {
    start_ns = py::array_t<int64_t, py::array::c_style>::ensure(start.attr("to_numpy")().attr("view")("i8"));
    if (!start_ns) throw py::error_already_set();
    stamp.row_start = std::span<const int64_t>(start_ns.data(), static_cast<size_t>(start_ns.size()));
  }

  TextCells text = text_cells(ns, column);
  Samples samples;
  const unsigned threads = packed::worker_threads();
  {
    py::gil_scoped_release unlocked;
    samples = packed::split_cells(text.cells, /*split=*/true, stamp, threads);
  }
  py::object pd = ns["pd"];
  py::list drop;
  drop.append("startdate");
  drop.append("obsvalue");
  py::object others = df.attr("drop")(py::arg("columns") = drop);
  const bool carried = py::len(others.attr("columns")) > 0;

  py::object index;
  Buffer<float> values;
  Buffer<int64_t> rows;
  if (stamp.row_start) {
    // The core stamped every sample with its time.
    const std::vector<size_t> failed = resolve_undecided(samples);
    if (!failed.empty()) {
      raise_first_failure(samples, failed,
                          samples.time_ordered ? Buffer<int64_t>() : packed::stable_time_order(samples.time));
    }
    packed::TimeSorted sorted;
    {
      py::gil_scoped_release unlocked;
      // samples already in time order are in row order: their rows follow from `first`
      sorted = packed::sort_by_time(std::move(samples.time), std::move(samples.value), samples.first,
                                    samples.time_ordered, stamp.rate.step_ns(), carried && !samples.time_ordered);
    }
    index = pd.attr("DatetimeIndex")(owned_array(std::move(sorted.time), py::dtype("M8[ns]")),
                                     py::arg("name") = "startdate");
    values = std::move(sorted.value);
    rows = std::move(sorted.row);
  } else {
    TimeIndex times = summed_index(ns, start, samples);
    const std::vector<size_t> failed = resolve_undecided(samples);
    if (!failed.empty()) raise_first_failure(samples, failed, times.order);
    index = times.index;
    values = in_order(std::move(samples.value), times.order);
    if (carried && !times.order.empty()) rows = in_order(packed::sample_rows(samples.first), times.order);
  }

  // The value column, and the other columns repeated for every sample, put
  // side by side without copying either.
  py::list obsvalue;
  obsvalue.append("obsvalue");
  py::object result = pd.attr("DataFrame")(owned_array(std::move(values)).attr("reshape")(-1, 1),
                                           py::arg("index") = index, py::arg("columns") = obsvalue,
                                           py::arg("copy") = false);
  if (!carried) return result;
  py::object repeated;
  if (all_object_columns(others)) {
    repeated = pd.attr("DataFrame")(repeated_objects(ns, others, samples.first, rows), py::arg("index") = index,
                                    py::arg("columns") = others.attr("columns"), py::arg("dtype") = "object",
                                    py::arg("copy") = false);
  } else {
    if (rows.empty()) rows = packed::sample_rows(samples.first);
    repeated = others.attr("take")(owned_array(std::move(rows)));
    repeated.attr("index") = index;
  }
  py::list parts;
  parts.append(repeated);
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
  if (py::str(column.attr("dtype").attr("kind")).cast<std::string>() != "O") {
    df["obsvalue"] = column.attr("astype")("float32");
    return df;
  }

  TextCells text = text_cells(ns, column);
  Samples samples;
  const unsigned threads = packed::worker_threads();
  {
    py::gil_scoped_release unlocked;
    samples = packed::split_cells(text.cells, /*split=*/false, std::nullopt, threads);
  }
  py::object missing = ns["pd"].attr("NA");
  const auto* items = static_cast<PyObject* const*>(text.objects.data());
  size_t next_undecided = 0;
  for (size_t row = 0; row < text.cells.size(); ++row) {
    PyObject* item = items[row];
    if (text.cells[row].has_text) {
      if (next_undecided < samples.undecided.size() && samples.undecided[next_undecided] == row) {
        const std::string_view text = samples.undecided_text[next_undecided++];
        const std::optional<double> value = python_float(text);
        if (!value && !packed::contains_nines(text)) throw py::error_already_set();
        PyErr_Clear();
        samples.value[row] = packed::settle_piece(text, value).value;
      }
    } else if (item != Py_None && item != missing.ptr()) {
      // numbers and other objects convert as numpy converts them
      auto number = py::reinterpret_steal<py::object>(PyNumber_Float(item));
      if (!number) throw py::error_already_set();
      samples.value[row] = packed::to_float32(PyFloat_AS_DOUBLE(number.ptr()));
    }
  }
  df["obsvalue"] = owned_array(std::move(samples.value));
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
