// fetching_data: one statement over every matching observation table, then the
// rows shaped into an observation table.
#include "fetching/observations.pybind.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cleaning/split_ahead.pybind.h"
#include "common/frames.h"
#include "common/pyops.h"
#include "fetching/reading.pybind.h"
#include "fetching/request.h"
#include "fetching/statements.h"

namespace velmora {
namespace {

// Parameters, in order.
enum : size_t {
  kConn, kStartdate, kEnddate, kMethodname, kStationname, kDataType, kBaseType, kItemname,
  kGzipFlag, kMySplitLines, kPointid,
};

py::list names(std::initializer_list<std::string> items) {
  py::list out;
  for (const std::string& item : items) out.append(item);
  return out;
}

// The method codes of a discipline, or of the methods whose name contains
// `methodname`, as a table with the column methodid.
py::object method_codes(const Reader& read, const Flavor& flavor, const py::object& methodname) {
  std::optional<char> digit;
  bool everything = false;
  if (PyUnicode_Check(methodname.ptr())) {
    digit = request::discipline_digit(methodname.cast<std::string>());
    everything = !digit && is_all(methodname);
  }
  if (!digit && !everything) {
    return read(sql::method_codes_like(flavor.observations),
                fragment_bind(flavor.observations, "methodname", methodname));
  }
  py::object methods = read(sql::discipline_methods(digit.value_or(0)));
  py::dict rename;
  rename["SUBSTR(ITEMID,1,3)"] = flavor.column("methodid");
  methods = methods.attr("rename")(py::arg("columns") = rename);
  return methods.attr("drop_duplicates")(py::arg("subset") = flavor.column("methodid"), py::arg("keep") = "first");
}

std::string station_filter(const Reader& read, const Flavor& flavor, const py::object& stationname) {
  if (is_all(stationname)) return "";
  py::object stationid = read(sql::station_codes_like(flavor.observations),
                              fragment_bind(flavor.observations, "stationname", stationname));
  const std::vector<std::string> codes = texts(stationid[py::str(flavor.column("stationid"))]);
  if (codes.empty()) warn_matches_nothing("stationname", stationname, "QZ_DICT_STATIONS");
  return sql::station_filter(codes, flavor.observations);
}

// `itemname` is text or a list of texts (refuse_argument_types).
std::string item_filter(const Reader& read, const Flavor& flavor, const py::object& itemname) {
  const std::string column = flavor.column("itemid");
  if (PyUnicode_Check(itemname.ptr())) {
    if (is_all(itemname)) return "";
    py::object itemid = read(sql::item_codes_like(flavor.observations),
                             fragment_bind(flavor.observations, "itemname", itemname));
    const std::vector<std::string> codes = texts(itemid[py::str(column)]);
    if (codes.empty()) warn_matches_nothing("itemname", itemname, "QZ_DICT_ITEMS");
    return sql::item_filter(codes, flavor.observations);
  }
  // The caller's list stays as it is; the names are quoted in the statement.
  std::vector<std::string> wanted = texts(py::list(itemname));
  if (wanted.empty()) return sql::item_filter({}, flavor.observations);
  py::object itemid = read(sql::item_codes_named(wanted, flavor.observations));
  const std::vector<std::string> codes = texts(itemid[py::str(column)]);
  if (codes.empty()) warn_matches_nothing("itemname", itemname, "QZ_DICT_ITEMS");
  return sql::item_filter(codes, flavor.observations);
}

std::string type_name(const py::handle& value) { return Py_TYPE(value.ptr())->tp_name; }

// The names and codes of a request are text: refused here, before any
// statement is sent, rather than failing half-way through the request.
void refuse_argument_types(const py::object& itemname, const py::object& pointid) {
  if (PyList_Check(itemname.ptr())) {
    const py::list names(itemname);
    for (size_t i = 0; i < py::len(names); ++i) {
      if (!PyUnicode_Check(names[i].ptr())) {
        throw py::type_error("itemname must be str or a list of str, not a list holding " + type_name(names[i]) +
                             " (at position " + std::to_string(i) + ")");
      }
    }
  } else if (!PyUnicode_Check(itemname.ptr())) {
    throw py::type_error("itemname must be str (part of an item name, or \"全部\") or a list of str "
                         "(whole item names), not " + type_name(itemname));
  }
  if (!pointid.is_none() && !PyUnicode_Check(pointid.ptr())) {
    throw py::type_error("pointid must be str (a point code, \"\" for every point) or None, not " +
                         type_name(pointid));
  }
}

// The table of a split request that read no rows: what a request with rows
// returns, without rows. An empty DatetimeIndex STARTDATE in the unit pandas
// gives the samples' times (the driver's datetimes plus whole seconds:
// nanoseconds before pandas 3, microseconds on it), STATIONID and ITEMID in
// the dtype pandas makes text (objects before pandas 3, str on it), OBSVALUE
// float32.
py::object empty_split_table(const Namespace& ns, const request::SamplingRate& rate) {
  py::object pd = ns["pd"], np = ns["np"];
  py::list one;
  one.append(py::module_::import("datetime").attr("datetime")(2009, 1, 1));
  py::object start = pd.attr("Series")(one);
  if (rate.seconds <= 3600) {
    py::list second;
    second.append(1);
    start = add(start, pd.attr("to_timedelta")(pd.attr("Series")(second), py::arg("unit") = "s"));
  }
  py::list text;
  text.append("x");
  py::object text_dtype = pd.attr("Series")(text).attr("dtype");
  py::object index = pd.attr("DatetimeIndex")(np.attr("array")(py::list(), py::arg("dtype") = start.attr("dtype")),
                                              py::arg("name") = "STARTDATE");
  py::dict columns;
  columns["STATIONID"] = pd.attr("Series")(py::list(), py::arg("dtype") = text_dtype, py::arg("index") = index);
  columns["ITEMID"] = pd.attr("Series")(py::list(), py::arg("dtype") = text_dtype, py::arg("index") = index);
  columns["OBSVALUE"] = pd.attr("Series")(py::list(), py::arg("dtype") = "float32", py::arg("index") = index);
  return pd.attr("DataFrame")(columns, py::arg("index") = index);
}

// Names of the observation tables holding the three codes, development tables
// ("_DEV_" in any case) left out.
std::vector<std::string> discover_tables(const Namespace& ns, const Reader& read, const Flavor& flavor,
                                         const py::object& methods, std::string_view base,
                                         std::string_view rate) {
  py::object pd = ns["pd"];
  const std::string column = flavor.column("table_name");
  // the rows of every search, in order, labels kept
  py::list found;
  for (const py::handle methodid : methods[py::str(flavor.column("methodid"))]) {
    py::object params;
    if (flavor.observations == sql::Dialect::kOracle) {
      py::dict named;
      named["base_type_id"] = base;
      named["sample_rate_id"] = rate;
      named["methodid"] = methodid;
      params = named;
    } else {
      py::list fragments;
      for (const py::object& fragment : {py::object(py::str(base)), py::object(py::str(rate)),
                                        py::reinterpret_borrow<py::object>(methodid)}) {
        fragments.append(like_pattern(fragment));
      }
      params = fragments;
    }
    found.append(read(sql::observation_tables(flavor.observations), params));
  }
  if (found.empty()) return {};
  py::object table_name = pd.attr("concat")(found);
  py::object dev = table_name[py::str(column)].attr("str").attr("contains")("_DEV_", py::arg("case") = false);
  table_name = table_name[invert(dev)];
  return texts(table_name[py::str(column)]);
}

// True for a value that the driver delivered as bytes.
bool is_bytes(const py::handle& value) { return PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()); }

// True for bytes that begin as gzip's output does (1f 8b).
bool gzip_magic(const py::handle& value) {
  const char* data = PyBytes_Check(value.ptr()) ? PyBytes_AS_STRING(value.ptr()) : PyByteArray_AS_STRING(value.ptr());
  const Py_ssize_t size = PyBytes_Check(value.ptr()) ? PyBytes_GET_SIZE(value.ptr()) : PyByteArray_GET_SIZE(value.ptr());
  return size >= 2 && static_cast<unsigned char>(data[0]) == 0x1f && static_cast<unsigned char>(data[1]) == 0x8b;
}

// A stored value with gzip_flag: a LOB object (an Oracle driver's) is
// read; a value that is then bytes (or was delivered as bytes, as a MySQL
// server delivers every row of a union of a LONGTEXT and a LONGBLOB table) is
// gzip.decompress(value).decode() when it starts with gzip's magic bytes and
// value.decode() (UTF-8 text) otherwise; text and missing values pass
// unchanged.
py::object stored_value(const Namespace& ns, py::object value) {
  if (!PyUnicode_Check(value.ptr()) && !is_bytes(value) && !value.is_none() && py::hasattr(value, "read")) {
    value = value.attr("read")();
  }
  if (is_bytes(value)) value = (gzip_magic(value) ? ns["gzip"].attr("decompress")(value) : value).attr("decode")();
  return value;
}

// The stored values of the whole column, with gzip_flag.
void decompress_values(const Namespace& ns, py::object& df, const Flavor& flavor) {
  py::list values;
  for (const py::handle item : df[py::str(flavor.column("obsvalue"))]) {
    values.append(stored_value(ns, py::reinterpret_borrow<py::object>(item)));
  }
  set_column(df, py::str(flavor.column("obsvalue")), values);
}

// The rows of an observation request read in batches, the packed text of
// each split on the kernel's threads while the next is read.
//
// The result is the table of one read in one piece, and what follows is
// done to it as to that table, with one difference: its obsvalue column
// holds each row's number in the reading (the split has its text). The
// stored values are decompressed batch by batch; a value that cannot be is
// left to the point where decompressing the whole column would have failed
// on it (raise_first_failure).
class ReadAhead {
 public:
  ReadAhead(const Namespace& ns, const Flavor& flavor, bool gzip)
      : ns_(ns),
        split_(Namespace(ns["tsc"].attr("__dict__"))),
        obsvalue_(flavor.column("obsvalue")),
        repeated_({flavor.column("stationid"), flavor.column("itemid")}),
        gzip_(gzip) {}

  // Reads the rows: None when pandas handed over no table at all.
  py::object read(const Reader& reader, const std::string& sql, const request::SamplingRate& rate) {
    py::list batches;
    reader.read_batches(sql, rows_per_batch(rate), [&](const py::object& batch) {
      const size_t rows = py::len(batch);
      py::object column = batch[py::str(obsvalue_)];
      if (gzip_) column = decompressed(column);
      column = replaced_in_text(ns_, column, "NULLALL", request::empty_row(rate));
      split_.expect_object_columns(object_columns(batch));
      split_.add(column);
      // The batch without its text (a copy: pandas may keep a column it
      // drops alive under the others), the rows' numbers in its place.
      py::list text;
      text.append(obsvalue_);
      const py::object at = batch.attr("columns").attr("get_loc")(obsvalue_);
      py::object numbered = batch.attr("drop")(py::arg("columns") = text).attr("copy")();
      numbered.attr("insert")(at, obsvalue_,
                              ns_["np"].attr("arange")(split_.rows() - rows, split_.rows(), py::arg("dtype") = "int64"));
      batches.append(numbered);
    });
    split_.let_text_go();
    if (py::len(batches) == 0) return py::none();
    if (py::len(batches) == 1) return batches[0];
    return joined(batches);
  }

  // Raises what decompressing the first value (in the order of `numbers`,
  // the rows' numbers) that cannot be decompressed raised.
  void raise_first_failure(const py::object& numbers) {
    if (failed_.empty()) return;
    for (const py::handle number : numbers) {
      const auto found = failed_.find(number.cast<size_t>());
      if (found != failed_.end()) throw found->second;
    }
  }

  py::object split(const py::object& df, const py::object& rate) { return split_.split(df, rate); }

 private:
  // About 8 MB of packed text per batch, at some 8 bytes a sample and a day
  // a row.
  static size_t rows_per_batch(const request::SamplingRate& rate) {
    const size_t bytes_per_row = 8 * static_cast<size_t>(std::max(rate.samples_per_row, 1));
    return std::clamp<size_t>((8u << 20) / bytes_per_row, 1, 10'000);
  }

  py::object decompressed(const py::object& column) {
    py::list values;
    size_t row = split_.rows();
    for (const py::handle item : column) {
      try {
        values.append(stored_value(ns_, py::reinterpret_borrow<py::object>(item)));
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        failed_.emplace(row, e);
        values.append(py::none());
      }
      ++row;
    }
    // (an empty batch's column is not read)
    return py::len(values) == 0 ? column : ns_["pd"].attr("Series")(values);
  }

  // The batches as one table. A column whose batches came in different
  // dtypes (a batch with nothing but missing values, say) gets the dtype
  // pandas gives the whole column when it reads it in one piece: inferred
  // from all its values at once. (pandas' concat never sees the differing
  // dtypes, which it treats differently from release to release.)
  py::object joined(const py::list& batches) {
    py::object pd = ns_["pd"];
    py::object first = batches[0].attr("dtypes");
    py::list mixed;
    for (const py::handle label : batches[0].attr("columns")) {
      for (const py::handle batch : batches) {
        if (!py::bool_(compare(batch.attr("dtypes")[label], first[label], Py_EQ))) {
          mixed.append(label);
          break;
        }
      }
    }
    for (const py::handle label : mixed) {
      for (const py::handle batch : batches) {
        set_column(py::reinterpret_borrow<py::object>(batch), py::reinterpret_borrow<py::object>(label),
                   batch[label].attr("astype")("object"));
      }
    }
    py::object df = pd.attr("concat")(batches, py::arg("ignore_index") = true);
    for (const py::handle label : mixed) {
      py::list records;
      for (const py::handle value : df[label].attr("to_numpy")(py::arg("dtype") = "object")) {
        records.append(py::make_tuple(value));
      }
      py::list columns;
      columns.append(label);
      set_column(df, py::reinterpret_borrow<py::object>(label),
                 pd.attr("DataFrame").attr("from_records")(records, py::arg("columns") = columns,
                                                          py::arg("coerce_float") = true)[label]);
    }
    return df;
  }

  // How many of the columns the split table repeats beside its values the
  // batch holds as numpy objects.
  size_t object_columns(const py::object& batch) const {
    size_t n = 0;
    for (const py::handle item : batch.attr("dtypes").attr("items")()) {
      const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      if (!PyUnicode_Check(pair[0].ptr()) || !py::isinstance<py::dtype>(pair[1])) continue;
      const bool repeated = std::any_of(repeated_.begin(), repeated_.end(), [&](const std::string& name) {
        return PyUnicode_CompareWithASCIIString(pair[0].ptr(), name.c_str()) == 0;
      });
      n += repeated && py::reinterpret_borrow<py::dtype>(pair[1]).kind() == 'O';
    }
    return n;
  }

  const Namespace& ns_;
  SplitAhead split_;
  std::string obsvalue_;
  std::vector<std::string> repeated_;
  bool gzip_;
  std::map<size_t, py::error_already_set> failed_;
};

// Whether the split of the fetched rows is velmora's own, which the read can
// do while it reads: split_lines of velmora.cleaning for a rate up to an
// hour, the rows read by pandas itself. (Where tsc, its split_lines or pd is
// something else, the rows are read in one piece and split_lines called.)
bool splits_ahead(const Namespace& ns, const request::SamplingRate& rate) {
  if (rate.seconds > 3600) return false;
  if (!ns["pd"].is(py::module_::import("sys").attr("modules").attr("get")("pandas"))) return false;
  py::object split = py::getattr(ns["tsc"], "split_lines", py::none());
  if (split.is_none() || PyFunction_Check(split.ptr())) return false;
  py::object module = py::getattr(split, "__module__", py::none());
  py::object name = py::getattr(split, "__qualname__", py::none());
  return PyUnicode_Check(module.ptr()) && module.cast<std::string>() == "velmora.cleaning" &&
         PyUnicode_Check(name.ptr()) && name.cast<std::string>() == "split_lines" &&
         py::str(py::type::handle_of(split).attr("__name__")).cast<std::string>() == "function";
}

py::object fetching_data(const Arguments& args, const Flavor& flavor) {
  const Namespace& ns = args.ns();
  refuse_missing_connection(args[kConn], flavor);
  ns.print("fetching data...");
  const Reader read(ns, args[kConn]);
  const std::string date_1 = eight_digit_day(ns, args[kStartdate]);
  const std::string date_2 = eight_digit_day(ns, args[kEnddate]);
  refuse_argument_types(args[kItemname], args[kPointid]);

  py::object methods = method_codes(read, flavor, args[kMethodname]);
  const std::string stations = station_filter(read, flavor, args[kStationname]);
  std::string point;
  if (py::bool_(args[kPointid])) point = sql::point_filter(text(args[kPointid]), flavor.observations);
  const std::string items = item_filter(read, flavor, args[kItemname]);

  std::optional<request::SamplingRate> rate;
  if (PyUnicode_Check(args[kDataType].ptr())) rate = request::sampling_rate(args[kDataType].cast<std::string>());
  if (!rate) unknown_name(ns, "data_type", args[kDataType], request::sampling_rate_names());
  std::optional<std::string_view> base;
  if (PyUnicode_Check(args[kBaseType].ptr())) base = request::data_base(args[kBaseType].cast<std::string>());
  if (!base) unknown_name(ns, "base_type", args[kBaseType], request::data_base_names());

  const std::vector<std::string> tables = discover_tables(ns, read, flavor, methods, *base, rate->code);
  if (tables.empty()) {
    ns.print("no table name selected!");
    return py::none();
  }
  refuse_unsafe_table_names(tables, flavor.observations);

  const std::string statement =
      sql::observation_union(tables, date_1, date_2, stations + items + point, flavor.observations);
  const bool gzip = py::bool_(args[kGzipFlag]);
  std::optional<ReadAhead> ahead;
  if (py::bool_(args[kMySplitLines]) && splits_ahead(ns, *rate)) ahead.emplace(ns, flavor, gzip);
  py::object df = ahead ? ahead->read(read, statement, *rate) : read(statement);
  if (df.is_none()) {
    // no table at all: what an empty one becomes
    ns.print("data fetched...");
    return empty_split_table(ns, *rate);
  }
  df = with_object_index_if_empty(ns, df);
  const std::string startdate = flavor.column("startdate"), stationid = flavor.column("stationid"),
                    itemid = flavor.column("itemid"), obsvalue = flavor.column("obsvalue");
  df = df.attr("sort_values")(py::arg("by") = names({itemid, stationid, flavor.column("pointid"), startdate}));
  set_column(df, py::str(stationid), add(df[py::str(stationid)], df[py::str(flavor.column("pointid"))]));
  df = df.attr("loc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                     names({startdate, stationid, itemid, obsvalue}))];
  if (ahead) {
    ahead->raise_first_failure(df[py::str(obsvalue)]);
  } else if (gzip) {
    decompress_values(ns, df, flavor);
  }
  replace_in_text_cells(ns, df, "NULLALL", request::empty_row(*rate));

  if (py::cast<bool>(df.attr("empty")) && py::bool_(args[kMySplitLines])) {
    ns.print("data fetched...");
    return empty_split_table(ns, *rate);
  }
  const bool split = !py::cast<bool>(df.attr("empty")) && py::bool_(args[kMySplitLines]);
  auto split_rows = [&](const py::object& rows) {
    const py::int_ seconds(rate->seconds);
    return ahead ? ahead->split(rows, seconds) : ns["tsc"].attr("split_lines")(rows, seconds);
  };
  if (flavor.upper_case_results) {
    if (split) df = split_rows(df);
    upper_case_labels(df);
  } else if (split) {
    // split_lines reads the lower-case columns; the result keeps the
    // connection's upper-case names.
    df.attr("columns") = df.attr("columns").attr("str").attr("lower")();
    df = split_rows(df);
    upper_case_labels(df);
  }
  ns.print("data fetched...");
  return df;
}

}  // namespace

void register_fetching_data(py::module_& m, const Flavor& flavor) {
  define(m, {.name = "fetching_data",
             .params = {Param::required("conn"), Param::required("startdate"), Param::required("enddate"),
                        Param::required("methodname"), Param::required("stationname"),
                        Param::required("data_type"), Param::required("base_type"),
                        Param::with_default("itemname", all_names()),
                        Param::with_default("gzip_flag", py::bool_(false)),
                        Param::with_default("my_split_lines", py::bool_(true)),
                        Param::with_default("pointid", py::str(""))},
             .body = [flavor](const Arguments& args) { return fetching_data(args, flavor); }});
}

}  // namespace velmora
