// split_lines: packed observation rows to one row per sample.
//
// This file converts Python values to what the packed-text core reads and
// back: the text cells (text_column.pybind.h) and a copy of the row starts
// for the duration of the call, the result's numpy arrays allocated at their
// final size and filled by the core without the interpreter lock, the time
// unit pandas gives the sums. Splitting, placeholders, numbers, times and
// their order are the core's (split.h); Python's float() is handed to it for
// the pieces it leaves undecided; sample_table.pybind.h puts the table
// together.
#include "cleaning/split_lines.pybind.h"

#include <pybind11/numpy.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cleaning/packed_text.h"
#include "cleaning/sample_table.pybind.h"
#include "cleaning/sample_times.h"
#include "cleaning/split.h"
#include "cleaning/text_column.pybind.h"
#include "cleaning/worker_threads.h"
#include "common/frames.h"
#include "common/pyops.h"

namespace velmora {
namespace {

py::object decoded(std::string_view text) {
  auto piece = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
  if (!piece) throw py::error_already_set();
  return piece;
}

// Python's float() of a piece: the value, or nullopt when float() refuses the
// text with ValueError.
std::optional<double> python_float(std::string_view text) {
  py::object piece = decoded(text);
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
  py::object piece = decoded(text);
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

// Nanoseconds per tick of a plain datetime64 or timedelta64 numpy dtype of
// one second, millisecond, microsecond or nanosecond per tick; nullopt for
// any other dtype (time zones, objects, other units).
std::optional<int64_t> ns_per_tick(const Namespace& ns, const py::handle& dtype, char kind) {
  if (!py::isinstance<py::dtype>(dtype) || py::reinterpret_borrow<py::dtype>(dtype).kind() != kind) {
    return std::nullopt;
  }
  py::tuple unit = ns["np"].attr("datetime_data")(dtype);
  if (unit[1].cast<int>() != 1) return std::nullopt;
  const std::string name = py::str(unit[0]);
  if (name == "ns") return 1;
  if (name == "us") return 1'000;
  if (name == "ms") return 1'000'000;
  if (name == "s") return 1'000'000'000;
  return std::nullopt;
}

// The dtypes pandas gives the offsets of a rate (to_timedelta of the offsets
// in seconds: whole numbers for whole rates, fractions otherwise) and the
// sums of one start of `start_dtype` and an offset. pandas 1.5 and 2 give
// nanoseconds throughout; pandas 3 keeps the unit of the starts where the
// offsets need nothing finer.
struct TimeUnits {
  py::object offsets;
  py::object sums;  // None without a start dtype
};

TimeUnits time_units(const Namespace& ns, const py::object& rate, const py::object& start_dtype) {
  py::object pd = ns["pd"], np = ns["np"];
  const bool whole = sample_rate(rate).step_ns().has_value();
  py::object offset = pd.attr("Series")(np.attr("array")(py::make_tuple(whole ? py::object(py::int_(1))
                                                                              : py::object(py::float_(0.5)))));
  py::object offsets = pd.attr("to_timedelta")(offset, py::arg("unit") = "s");
  TimeUnits units{offsets.attr("dtype"), py::none()};
  if (!start_dtype.is_none()) {
    py::object start = pd.attr("Series")(np.attr("zeros")(1, py::arg("dtype") = start_dtype));
    units.sums = add(start, offsets).attr("dtype");
  }
  return units;
}

// time_units depends on nothing but pandas, whether the rate is whole and the
// starts' dtype: it is worked out once for each of those and kept, since
// asking pandas costs a few hundred microseconds a call. Keys that cannot be
// hashed are asked every time.
TimeUnits known_time_units(const Namespace& ns, const py::object& rate, const py::object& start_dtype) {
  // never destroyed: the interpreter may still call in while it shuts down
  static auto* const known = new py::dict();
  const bool whole = sample_rate(rate).step_ns().has_value();
  py::tuple key = py::make_tuple(ns["pd"], whole, start_dtype);
  if (PyObject* hit = PyDict_GetItemWithError(known->ptr(), key.ptr())) {
    auto units = py::reinterpret_borrow<py::tuple>(hit);
    return TimeUnits{units[0], units[1]};
  }
  const bool hashable = !PyErr_Occurred();
  PyErr_Clear();
  TimeUnits units = time_units(ns, rate, start_dtype);
  if (hashable) (*known)[key] = py::make_tuple(units.offsets, units.sums);
  return units;
}

// The table without its startdate and obsvalue columns, as
// df.drop(columns=[...]) gives it; taken by position where the columns have
// one level, which costs pandas a third of the drop.
py::object other_columns(const py::object& df) {
  py::object columns = df.attr("columns");
  py::list drop;
  drop.append("startdate");
  drop.append("obsvalue");
  if (py::int_(columns.attr("nlevels")).cast<long>() != 1) return df.attr("drop")(py::arg("columns") = drop);
  py::list keep;
  long position = 0;
  for (const py::handle label : columns) {
    bool dropped = false;
    for (const py::handle name : drop) {
      const int equal = PyObject_RichCompareBool(label.ptr(), name.ptr(), Py_EQ);
      if (equal < 0) throw py::error_already_set();
      dropped = dropped || equal == 1;
    }
    if (!dropped) keep.append(position);
    ++position;
  }
  return df.attr("take")(keep, py::arg("axis") = 1);
}

// The filled times, counted in nanoseconds, as the numpy array of `dtype`
// when it has a unit that holds every one of them exactly; as they are
// otherwise.
py::array in_unit(const Namespace& ns, py::array times, const py::object& dtype, char kind) {
  const std::optional<int64_t> tick = ns_per_tick(ns, dtype, kind);
  if (!tick || *tick == 1) return times;
  std::span<int64_t> ticks(static_cast<int64_t*>(times.mutable_data()), static_cast<size_t>(times.size()));
  if (!packed::ns_to_ticks(ticks, *tick)) return times;
  return times.attr("view")(dtype);
}

// A copy of the row starts in nanoseconds (NaT is the smallest int64), or
// nullopt when a start lies beyond the nanosecond range.
std::optional<std::vector<int64_t>> row_starts(const py::object& start, size_t rows, int64_t tick) {
  py::array times = checked_array(start.attr("to_numpy")(), 'M', 8, rows, "startdate");
  std::vector<int64_t> out(rows);
  for (size_t i = 0; i < rows; ++i) out[i] = *static_cast<const int64_t*>(times.data(static_cast<py::ssize_t>(i)));
  if (!packed::ticks_to_ns(out, tick)) return std::nullopt;
  return out;
}

std::span<float> span_of(py::array_t<float>& values) {
  return {values.mutable_data(), static_cast<size_t>(values.size())};
}

std::span<int64_t> int64_span_of(py::array& values) {
  return {static_cast<int64_t*>(values.mutable_data()), static_cast<size_t>(values.size())};
}

// pandas' own words for a table that already has the column the split adds.
void refuse_timespan_column(const Namespace& ns, const py::object& df) {
  if (!contains(df.attr("columns"), "timespan")) return;
  // pandas' own words for the join's overlap, its Index as the release shows it
  py::list overlap;
  overlap.append("timespan");
  throw py::value_error("columns overlap but no suffix specified: " +
                        py::repr(ns["pd"].attr("Index")(overlap)).cast<std::string>());
}

}  // namespace

void refuse_no_text(const Namespace& ns, const py::object& column) {
  // pandas' string and Arrow text dtypes hold nothing but text (pandas 1.5
  // has no string methods for the Arrow ones); its check of other columns
  // is its own
  if (py::isinstance<py::dtype>(column.attr("dtype")) || !is_text_column(ns["pd"], column)) {
    py::object(column.attr("str"));
  }
}

py::object samples_of(const Namespace& ns, const py::object& df, const py::object& rate, const MakeSplit& make,
                      ReadyResult* ready) {
  py::object pd = ns["pd"];
  const size_t rows = py::len(df);
  py::object start = df["startdate"];
  py::object start_dtype = start.attr("dtype");
  packed::Stamp stamp{sample_rate(rate), std::nullopt};
  std::optional<std::vector<int64_t>> starts;
  if (const std::optional<int64_t> tick = ns_per_tick(ns, start_dtype, 'M')) starts = row_starts(start, rows, *tick);
  const bool naive = starts.has_value();
  if (naive) stamp.row_start = std::span<const int64_t>(*starts);
  const TimeUnits units = known_time_units(ns, rate, naive ? start_dtype : py::none());

  std::optional<packed::Split> split;
  {
    py::gil_scoped_release unlocked;
    split.emplace(make(stamp));
  }
  py::array_t<float> values = py::reinterpret_borrow<py::array_t<float>>(
      result_array(py::dtype::of<float>(), split->size(), ready != nullptr ? &ready->values : nullptr));
  py::array times = result_array(py::dtype(naive ? "M8[ns]" : "m8[ns]"), split->size(),
                                 ready != nullptr ? &ready->times : nullptr);
  const unsigned threads = split->worth_threads() ? packed::worker_threads() : 1;
  {
    py::gil_scoped_release unlocked;
    split->fill(span_of(values), int64_span_of(times), threads);
  }

  py::object index;
  if (naive) {
    // the times are the call's own: the index need not copy them (pandas 3
    // would by default)
    index = pd.attr("DatetimeIndex")(in_unit(ns, times, units.sums, 'M'), py::arg("name") = "startdate",
                                     py::arg("copy") = false);
  } else {
    // Other start columns (time zones, objects, starts beyond the range of
    // nanoseconds, anything else): pandas adds the offsets to the starts,
    // with its own result or error, and orders the sums.
    py::object at_rows = start.attr("take")(result_rows(*split)).attr("reset_index")(py::arg("drop") = true);
    py::object offsets = pd.attr("Series")(in_unit(ns, times, units.offsets, 'm'));
    py::object sums = add(at_rows, offsets).attr("array");
    py::array order = checked_array(py::array::ensure(sums.attr("argsort")(py::arg("kind") = "stable")), 'i', 8,
                                    split->size(), "order");
    split->reorder(std::span<const int64_t>(static_cast<const int64_t*>(order.data()), split->size()),
                   span_of(values));
    index = pd.attr("Index")(sums.attr("take")(order), py::arg("name") = "startdate");
  }
  if (const auto failed = split->settle(span_of(values), python_float)) raise_not_a_number(failed->text);

  return sample_table(ns, other_columns(df), *split, index, values, ready);
}

void refuse_unsplittable(const Namespace& ns, const py::object& df, const py::object& column, size_t texts,
                         size_t cells) {
  if (texts == 0 && cells != 0) {
    py::object inferred = ns["pd"].attr("api").attr("types").attr("infer_dtype")(column, py::arg("skipna") = true);
    if (py::str(inferred).cast<std::string>() == "bytes") {
      throw py::type_error("Cannot use .str.split with values of inferred dtype 'bytes'.");
    }
  }
  refuse_timespan_column(ns, df);
}

namespace {

// Rates up to 3600 seconds: a new table with one row per sample.
py::object split_into_samples(const Namespace& ns, const py::object& df, const py::object& rate) {
  py::object column = df["obsvalue"];
  refuse_no_text(ns, column);
  HeldText text = read_text_column(ns, column);
  // pandas' str.split refuses a column whose values are all bytes
  refuse_unsplittable(ns, df, column, text.column.texts(), text.column.size());
  return samples_of(ns, df, rate, [&](const std::optional<packed::Stamp>& stamp) {
    return packed::Split(text.column.cells(), /*split=*/true, stamp, packed::worker_threads());
  });
}

// Rates above 3600 seconds: the caller's table, sorted and indexed by time in
// place, each cell one value.
py::object convert_in_place(const Namespace& ns, py::object df) {
  py::list by;
  by.append("startdate");
  update_in_place(df, df.attr("sort_values")(py::arg("by") = by, py::arg("kind") = "stable"));
  update_in_place(df, df.attr("set_index")("startdate"));
  py::object column = df["obsvalue"];
  if (!is_text_column(ns["pd"], column)) {
    set_column(df, "obsvalue", column.attr("astype")("float32"));
    return df;
  }

  const size_t rows = py::len(column);
  HeldText text = read_text_column(ns, column);
  std::optional<packed::Split> split;
  py::array_t<float> values(static_cast<py::ssize_t>(rows));
  {
    py::gil_scoped_release unlocked;
    split.emplace(text.column.cells(), /*split=*/false, std::nullopt);
    split->fill(span_of(values), {});
  }
  const auto failed = split->settle(span_of(values), python_float);
  // Cells of an object column that are not text convert as numpy converts
  // them; the first cell that converts to nothing, text or not, raises.
  const std::span<const packed::Cell> cells = text.column.cells();
  py::object missing = ns["pd"].attr("NA");
  float* out = values.mutable_data();
  for (size_t row = 0; row < rows && !text.from_arrow(); ++row) {
    if (failed && row > failed->at) break;
    PyObject* item = text.objects[row].ptr();
    if (cells[row].has_text || item == Py_None || item == missing.ptr()) continue;
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
