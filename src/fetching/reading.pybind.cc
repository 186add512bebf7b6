#include "fetching/reading.pybind.h"

#include <pybind11/numpy.h>

#include <optional>
#include <string_view>

#include "common/frames.h"
#include "common/pyops.h"
#include "fetching/request.h"

namespace velmora {

void refuse_missing_connection(const py::handle& conn, const Flavor& flavor) {
  if (!conn.is_none()) return;
  throw py::type_error(flavor.upper_case_results
                           ? "conn is None, not a connection: conn_to_Oracle returns None when it cannot "
                             "connect, and the line it printed says why"
                           : "conn is None, not a connection: pass the connection that conn_to_Oracle or "
                             "conn_to_MySQL returns");
}

void warn_matches_nothing(const char* parameter, const py::handle& value, const char* table) {
  const std::string message = std::string(parameter) + " " + py::repr(value).cast<std::string>() +
                              " matches no name in " + table + ": the result is empty";
  // stack level 1: the caller's own line (this function has no frame)
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

py::object with_object_index_if_empty(const Namespace& ns, py::object df) {
  if (py::len(df) != 0 || !py::isinstance(df.attr("index"), ns["pd"].attr("RangeIndex"))) return df;
  py::object index = ns["pd"].attr("Index")(py::list(), py::arg("dtype") = "object");
  index.attr("name") = df.attr("index").attr("name");
  df.attr("index") = index;
  return df;
}

namespace {

std::string module_of(const py::handle& type) {
  py::object module = py::getattr(type, "__module__", py::none());
  return PyUnicode_Check(module.ptr()) ? module.cast<std::string>() : std::string();
}

std::string top_package(const std::string& module) { return module.substr(0, module.find('.')); }

// Whether an error is a driver's (PEP 249: every error of a driver derives
// from its Error class, itself derived from Exception): a class named Error
// of the error's own package lies among its bases.
bool is_driver_error(const py::handle& error) {
  py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(error.ptr()));
  const std::string package = top_package(module_of(type));
  if (package.empty() || package == "builtins" || package == "pandas") return false;
  for (const py::handle base : type.attr("__mro__")) {
    if (py::str(base.attr("__name__")).cast<std::string>() == "Error" && top_package(module_of(base)) == package) {
      return true;
    }
  }
  return false;
}

[[noreturn]] void raise_from(const py::object& error, const py::handle& cause) {
  PyException_SetCause(error.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

}  // namespace

Reader::Reader(const Namespace& ns, py::object conn)
    : ns_(ns), conn_(std::move(conn)),
      through_sqlalchemy_(top_package(module_of(py::type::handle_of(conn_))) == "sqlalchemy") {}

py::object Reader::operator()(const std::string& sql) const { return read(sql, nullptr); }

py::object Reader::operator()(const std::string& sql, const py::object& params) const { return read(sql, &params); }

namespace {

constexpr const char* kDriverNotice = "pandas only supports SQLAlchemy connectable";

// pandas' notice on reads through a driver's connection, once per process.
// The first such read of the process lets it through (the caller's filters
// decide what becomes of it); while any later one runs, one filter entry of
// our own that ignores it stands at the front of warnings.filters. The entry
// is put in and taken out by itself, never by restoring a saved list (what
// warnings.catch_warnings does, which loses or keeps filters wrongly when
// reads on several threads overlap): filters the caller sets meanwhile stay.
// All of it runs under the interpreter lock.
class DriverNotice {
 public:
  DriverNotice() {
    if (!shown()) {
      mark_shown();
      return;
    }
    if (active_ == 0) {
      py::object warnings = py::module_::import("warnings");
      py::object re = py::module_::import("re");
      entry() = py::make_tuple("ignore", re.attr("compile")(kDriverNotice, re.attr("I")),
                               py::handle(PyExc_UserWarning), py::none(), 0);
      warnings.attr("filters").attr("insert")(0, entry());
      filters_changed(warnings);
    }
    ++active_;
    installed_ = true;
  }
  DriverNotice(const DriverNotice&) = delete;
  DriverNotice& operator=(const DriverNotice&) = delete;

  ~DriverNotice() {
    if (!installed_ || --active_ > 0) return;
    try {
      py::object warnings = py::module_::import("warnings");
      py::list filters = warnings.attr("filters");
      for (size_t i = 0; i < py::len(filters); ++i) {
        if (filters[i].ptr() == entry().ptr()) {
          filters.attr("pop")(i);
          break;
        }
      }
      filters_changed(warnings);
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("removing velmora's filter of pandas' notice");
    }
    entry() = py::none();
  }

 private:
  // Whether the process has had the notice, kept in the package's namespace
  // so that both fetch modules see it.
  static bool shown() {
    py::object package = py::module_::import("sys").attr("modules").attr("get")("velmora");
    return !package.is_none() && py::hasattr(package, "_driver_notice_shown");
  }
  static void mark_shown() {
    py::object package = py::module_::import("sys").attr("modules").attr("get")("velmora");
    if (!package.is_none()) package.attr("_driver_notice_shown") = true;
  }
  // The registries of warnings already shown are dropped when the filters change.
  static void filters_changed(const py::object& warnings) {
    for (const char* name : {"_filters_mutated", "_filters_mutated_lock_held"}) {
      if (py::hasattr(warnings, name)) {
        warnings.attr(name)();
        return;
      }
    }
  }
  static py::object& entry() {
    static py::object* held = new py::object(py::none());  // never destroyed: outlives the interpreter
    return *held;
  }

  static inline int active_ = 0;  // reads with the entry in place
  bool installed_ = false;
};

}  // namespace

py::object Reader::read(const std::string& sql, const py::object* params) const {
  py::object pd = ns_["pd"];
  try {
    std::optional<DriverNotice> notice;
    if (!through_sqlalchemy_) notice.emplace();
    if (params == nullptr) return pd.attr("read_sql")(sql, py::arg("con") = conn_);
    return pd.attr("read_sql")(sql, py::arg("con") = conn_, py::arg("params") = *params);
  } catch (py::error_already_set& e) {
    raise_as_read(e, sql);
  }
}

namespace {

// Unbuffered cursors on a PyMySQL connection while it lives, if the
// connection makes buffered ones of the default class.
class UnbufferedCursors {
 public:
  explicit UnbufferedCursors(const py::object& conn) {
    if (top_package(module_of(py::type::handle_of(conn))) != "pymysql" || !py::hasattr(conn, "cursorclass")) return;
    py::object cursors = py::module_::import("pymysql.cursors");
    if (!conn.attr("cursorclass").is(cursors.attr("Cursor"))) return;
    conn_ = conn;
    was_ = conn.attr("cursorclass");
    conn.attr("cursorclass") = cursors.attr("SSCursor");
  }
  UnbufferedCursors(const UnbufferedCursors&) = delete;
  UnbufferedCursors& operator=(const UnbufferedCursors&) = delete;
  ~UnbufferedCursors() {
    if (!conn_) return;
    try {
      conn_.attr("cursorclass") = was_;
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("restoring the connection's cursor class");
    }
  }

 private:
  py::object conn_, was_;
};

}  // namespace

void Reader::read_batches(const std::string& sql, size_t rows,
                          const std::function<void(const py::object&)>& each) const {
  py::object pd = ns_["pd"];
  py::object batches;
  try {
    UnbufferedCursors unbuffered(conn_);
    try {
      std::optional<DriverNotice> notice;
      if (!through_sqlalchemy_) notice.emplace();
      batches = pd.attr("read_sql")(sql, py::arg("con") = conn_, py::arg("chunksize") = rows);
    } catch (py::error_already_set& e) {
      raise_as_read(e, sql);
    }
    py::iterator it = py::iter(batches);
    while (true) {
      py::object batch;
      try {
        if (it == py::iterator::sentinel()) break;
        batch = py::reinterpret_borrow<py::object>(*it);
      } catch (py::error_already_set& e) {
        raise_as_read(e, sql);
      }
      each(batch);
      ++it;
    }
  } catch (...) {
    // what pandas holds for the rest of the result (a cursor, a
    // connection of the engine) is let go now
    if (batches && py::hasattr(batches, "close")) {
      try {
        batches.attr("close")();
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable("closing an unfinished read");
      }
    }
    throw;
  }
}

[[noreturn]] void Reader::raise_as_read(py::error_already_set& e, const std::string& sql) const {
  py::object pd = ns_["pd"];
  py::object database_error = pd.attr("io").attr("sql").attr("DatabaseError");
  py::object error = e.value();
  const bool wrapped = py::isinstance(error, database_error);
  if (through_sqlalchemy_) {
    py::object cause = py::reinterpret_steal<py::object>(PyException_GetCause(error.ptr()));
    if (!wrapped || !cause || top_package(module_of(py::type::handle_of(cause))) != "sqlalchemy") throw e;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(cause.ptr())), cause.ptr());
    throw py::error_already_set();
  }
  if (wrapped || !is_driver_error(error)) throw e;
  try {
    conn_.attr("rollback")();
  } catch (py::error_already_set& inner) {
    if (!inner.matches(PyExc_Exception)) throw;
    raise_from(database_error("Execution failed on sql: " + sql + "\n" + py::str(error).cast<std::string>() +
                              "\nunable to rollback"),
               inner.value());
  }
  raise_from(database_error("Execution failed on sql '" + sql + "': " + py::str(error).cast<std::string>()),
             error);
}

namespace {

// An integer of eight digits that spells a date: 20090101 is 1 January 2009,
// not 20,090,101 nanoseconds after 1970 as to_datetime would read it.
bool spelled_date(const Namespace& ns, const py::handle& value) {
  if (PyBool_Check(value.ptr())) return false;
  if (!PyLong_Check(value.ptr()) && !py::isinstance(value, ns["np"].attr("integer"))) return false;
  const py::int_ number(py::reinterpret_borrow<py::object>(value));
  return compare(number, py::int_(10000101), Py_GE).cast<bool>() &&
         compare(number, py::int_(99991231), Py_LE).cast<bool>();
}

}  // namespace

namespace {

// pandas 2 reports text it cannot read as a date with its own DateParseError
// ("Unknown datetime string format, unable to parse: X, at position 0");
// pandas 1.5 let dateutil's ParserError through ("Unknown string format: X
// present at position 0"). The error of pandas 1.5, from that of pandas 2.
[[noreturn]] void raise_as_dateutil_did(py::error_already_set& e) {
  py::object type = e.type();
  const std::string name = py::str(type.attr("__name__"));
  const std::string module = py::str(type.attr("__module__"));
  if (name != "DateParseError" || module.rfind("pandas", 0) != 0) throw e;
  std::string message = py::str(e.value());
  constexpr std::string_view kAtStart = ", at position 0";
  if (message.size() >= kAtStart.size() &&
      message.compare(message.size() - kAtStart.size(), kAtStart.size(), kAtStart) == 0) {
    message.erase(message.size() - kAtStart.size());
  }
  constexpr std::string_view kUnknown = "Unknown datetime string format, unable to parse: ";
  if (message.rfind(kUnknown, 0) == 0) message = "Unknown string format: " + message.substr(kUnknown.size());
  py::object parser_error = py::module_::import("dateutil.parser").attr("ParserError");
  PyErr_SetObject(parser_error.ptr(), parser_error(message + " present at position 0").ptr());
  throw py::error_already_set();
}

}  // namespace

std::string eight_digit_day(const Namespace& ns, const py::handle& value) {
  py::object day = py::reinterpret_borrow<py::object>(value);
  if (spelled_date(ns, value)) day = py::str(py::int_(day));
  py::object when;
  try {
    when = ns["pd"].attr("to_datetime")(day);
  } catch (py::error_already_set& e) {
    raise_as_dateutil_did(e);
  }
  return when.attr("strftime")("%Y%m%d").cast<std::string>();
}

std::string text(const py::handle& value) {
  if (!PyUnicode_Check(value.ptr())) {
    throw py::type_error("can only concatenate str (not \"" +
                         std::string(Py_TYPE(value.ptr())->tp_name) + "\") to str");
  }
  return value.cast<std::string>();
}

std::vector<std::string> texts(const py::handle& column) {
  std::vector<std::string> out;
  for (const py::handle value : column) out.push_back(text(value));
  return out;
}

py::dict named_bind(const char* name, const py::handle& value) {
  py::dict params;
  params[name] = value;
  return params;
}

py::object like_pattern(const py::handle& fragment) { return add(add(py::str("%%"), fragment), py::str("%%")); }

py::object fragment_bind(sql::Dialect dialect, const char* name, const py::handle& fragment) {
  if (dialect == sql::Dialect::kOracle) return named_bind(name, fragment);
  py::list params;
  params.append(like_pattern(fragment));
  return params;
}

py::str all_names() { return py::str(std::string(request::kAll)); }

bool is_all(const py::handle& value) {
  const int equal = PyObject_RichCompareBool(value.ptr(), all_names().ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

namespace {

// The replaced column as pandas hands it back for its string dtypes, as a
// numpy array of objects for numpy columns; the column itself unchanged.
py::object replaced_cells(const Namespace& ns, const py::object& column, const char* marker,
                          const std::string& replacement) {
  const py::str needle(marker), substitute(replacement);
  py::object pd = ns["pd"];
  py::object dtype = column.attr("dtype");
  if (!is_text_column(pd, column)) return column;
  if (!py::isinstance<py::dtype>(dtype)) {
    // pandas' string dtypes hold nothing but text and missing values: its
    // own replacement keeps both, and the dtype
    py::object has = column.attr("str").attr("contains")(needle, py::arg("regex") = false);
    if (!py::cast<bool>(has.attr("any")())) return column;
    return column.attr("str").attr("replace")(needle, substitute, py::arg("regex") = false);
  }
  py::array cells = column.attr("to_numpy")(py::arg("dtype") = "object", py::arg("copy") = true);
  auto* items = static_cast<PyObject**>(cells.mutable_data());
  bool changed = false;
  for (py::ssize_t i = 0; i < cells.size(); ++i) {
    PyObject* item = items[i];
    if (!PyUnicode_Check(item)) continue;
    const Py_ssize_t at = PyUnicode_Find(item, needle.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) throw py::error_already_set();
    if (at < 0) continue;
    PyObject* replaced = PyUnicode_Replace(item, needle.ptr(), substitute.ptr(), -1);
    if (replaced == nullptr) throw py::error_already_set();
    items[i] = replaced;  // the copy owns its elements: release the old one
    Py_DECREF(item);
    changed = true;
  }
  return changed ? py::object(cells) : column;
}

}  // namespace

py::object replaced_in_text(const Namespace& ns, const py::object& column, const char* marker,
                            const std::string& replacement) {
  py::object replaced = replaced_cells(ns, column, marker, replacement);
  if (!py::isinstance<py::array>(replaced)) return replaced;
  return ns["pd"].attr("Series")(replaced, py::arg("index") = column.attr("index"),
                                 py::arg("name") = column.attr("name"), py::arg("dtype") = "object");
}

void replace_in_text_cells(const Namespace& ns, const py::object& df, const char* marker,
                           const std::string& replacement) {
  const size_t columns = py::len(df.attr("columns"));
  for (size_t j = 0; j < columns; ++j) {
    py::object column = df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
    py::object replaced = replaced_cells(ns, column, marker, replacement);
    if (!replaced.is(column)) df.attr("isetitem")(j, replaced);
  }
}

void upper_case_labels(const py::object& df) {
  df.attr("columns") = df.attr("columns").attr("str").attr("upper")();
  py::object name = df.attr("index").attr("name");
  if (py::bool_(name)) df.attr("index").attr("name") = name.attr("upper")();
}

void refuse_unsafe_table_names(const std::vector<std::string>& tables, sql::Dialect dialect) {
  if (const std::optional<std::string> bad = sql::unsafe_table_name(tables, dialect)) {
    throw py::value_error("the catalogue lists a table whose name is not a plain identifier: " +
                          py::repr(py::str(*bad)).cast<std::string>() + "; nothing was read");
  }
}

void unknown_name(const Namespace& ns, const char* parameter, const py::handle& value,
                  const std::string& accepted) {
  ns.print("no database type selected!");
  throw py::value_error("unknown " + std::string(parameter) + " " + py::repr(value).cast<std::string>() +
                        ": expected one of " + accepted);
}

}  // namespace velmora
