// The driver connections of `bisource`, from "default.conf" in the working
// directory. Nothing is caught: a missing file or section is a KeyError
// naming it, a refused login the driver's error.
#include "bisource/connections.pybind.h"

#include <string>
#include <vector>

#include "common/pyops.h"
#include "fetching/credentials.h"
#include "fetching/oracle_driver.pybind.h"
#include "fetching/sections.pybind.h"

namespace velmora {
namespace {

// config[section][key], the section taken afresh for every key. A parser
// error that quotes the section's password (an interpolation error reading
// it) is raised again as the same exception with the password hidden.
class Section {
 public:
  Section(const Namespace& ns, py::object config, py::object name, py::object files_read)
      : error_(ns["configparser"].attr("Error")), config_(std::move(config)), name_(std::move(name)),
        files_read_(std::move(files_read)) {}

  py::object operator[](const char* key) const {
    try {
      return section()[py::str(key)];
    } catch (py::error_already_set& e) {
      if (!e.matches(error_)) throw;
      raise_hidden(e);
    }
  }

  bool has(const char* key) const { return contains(section(), key); }

 private:
  // config[name]; a missing section is the parser's KeyError, with a note
  // naming the file read (or looked for) and a section of another case.
  py::object section() const {
    try {
      return config_[name_];
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_KeyError)) throw;
      py::object looked_for = py::module_::import("os").attr("path").attr("abspath")("default.conf");
      e.value().attr("add_note")(
          missing_section_line(config_, name_, files_read_, {py::str(looked_for).cast<std::string>()}));
      throw;
    }
  }

  std::vector<std::string> password_forms() const {
    py::object stored;
    try {
      stored = config_.attr("get")(name_, "PASSWORD", py::arg("raw") = true, py::arg("fallback") = py::none());
    } catch (py::error_already_set&) {
      return {};
    }
    if (!PyUnicode_Check(stored.ptr())) return {};
    return credentials::stored_value_forms(stored.cast<std::string>());
  }

  [[noreturn]] void raise_hidden(py::error_already_set& e) const {
    const std::vector<std::string> secrets = password_forms();
    auto hide = [&secrets](const py::handle& value) -> py::object {
      if (!PyUnicode_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
      const std::string text = value.cast<std::string>();
      for (const std::string& secret : secrets) {
        if (text == secret || "'" + text + "'" == secret) return py::str("***");
      }
      return py::str(credentials::masked(text, secrets));
    };
    const std::string message = py::str(e.value());
    if (secrets.empty() || credentials::masked(message, secrets) == message) throw e;
    // The same type, made without its __init__ (whose arguments differ from
    // one parser error to the next), carrying the hidden texts.
    py::object type = e.type();
    py::tuple args = e.value().attr("args");
    py::tuple hidden_args(args.size());
    for (size_t i = 0; i < args.size(); ++i) hidden_args[i] = hide(args[i]);
    PyObject* made = reinterpret_cast<PyTypeObject*>(PyExc_BaseException)
                         ->tp_new(reinterpret_cast<PyTypeObject*>(type.ptr()), hidden_args.ptr(), nullptr);
    if (made == nullptr) throw py::error_already_set();
    py::object fresh = py::reinterpret_steal<py::object>(made);
    if (py::hasattr(e.value(), "__dict__")) {
      for (const auto& [name, value] : py::dict(e.value().attr("__dict__"))) {
        py::setattr(fresh, name, hide(value));
      }
    }
    PyErr_SetObject(type.ptr(), fresh.ptr());
    throw py::error_already_set();
  }

  py::object error_;
  py::object config_;
  py::object name_;
  py::object files_read_;
};

Section read_section(const Namespace& ns, const char* parser, const py::object& basetype) {
  py::object config = ns["configparser"].attr(parser)();
  py::object files_read = config.attr("read")("default.conf");
  return Section(ns, config, basetype, files_read);
}

// The connection's output type handler: CLOB and NCLOB columns fetched as
// long strings and BLOB columns as long raw, so that their values arrive as
// str and bytes rather than LOB objects, which would each cost a round trip
// to read and fail once the connection is closed. Called by the driver for
// every column, as handler(cursor, name, default_type, size, precision,
// scale), or as handler(cursor, metadata) by python-oracledb's newer form.
py::object lob_values_handler(const Namespace& ns, const py::object& driver) {
  py::object clob = driver.attr("DB_TYPE_CLOB"), nclob = driver.attr("DB_TYPE_NCLOB"),
             blob = driver.attr("DB_TYPE_BLOB");
  py::object long_string = driver.attr("LONG_STRING"), long_binary = driver.attr("LONG_BINARY");
  // python-oracledb has a long type of the national character set
  py::object long_nstring = py::getattr(driver, "DB_TYPE_LONG_NVARCHAR", long_string);
  auto handle = [=](const Arguments& args) -> py::object {
    const py::object& cursor = args[0];
    const py::object type = args[2].is_none() ? py::object(args[1].attr("type_code")) : args[2];
    py::object fetched;
    if (type.equal(clob)) {
      fetched = long_string;
    } else if (type.equal(nclob)) {
      fetched = long_nstring;
    } else if (type.equal(blob)) {
      fetched = long_binary;
    } else {
      return py::none();
    }
    return cursor.attr("var")(fetched, py::arg("arraysize") = cursor.attr("arraysize"));
  };
  return make_function(ns, {.name = "output_type_handler",
                            .params = {Param::required("cursor"), Param::required("name"),
                                       Param::with_default("default_type", py::none()),
                                       Param::with_default("size", py::none()),
                                       Param::with_default("precision", py::none()),
                                       Param::with_default("scale", py::none())},
                            .body = handle});
}

py::object conn_to_oracle(const Arguments& args) {
  const Namespace& ns = args.ns();
  const Section section = read_section(ns, "ConfigParser", args[0]);
  py::object driver = ns["orcl"];
  py::object host = section["HOST"];
  py::object port = section["PORT"];
  // A pluggable database is reached by its service name (TNSNAME is then not
  // needed); otherwise TNSNAME is the SID.
  py::object service_name = section.has("SERVICE_NAME") ? section["SERVICE_NAME"] : py::str("");
  py::object dsn = py::bool_(service_name)
                       ? driver.attr("makedsn")(host, port, py::arg("service_name") = service_name)
                       : driver.attr("makedsn")(host, port, section["TNSNAME"]);
  py::object user = section["USERNAME"];
  py::object password = section["PASSWORD"];
  if (section.has(kOracleClientOption)) use_oracle_client(driver, section[kOracleClientOption]);
  py::object conn = driver.attr("connect")(py::arg("user") = user, py::arg("password") = password,
                                           py::arg("dsn") = dsn);
  conn.attr("outputtypehandler") = lob_values_handler(ns, driver);
  ns.print(add(section["HOST"], py::str(" connected...")));
  return conn;
}

py::object conn_to_mysql(const Arguments& args) {
  const Namespace& ns = args.ns();
  const Section section = read_section(ns, "RawConfigParser", args[0]);
  py::object host = section["HOST"];
  py::object database = section["TNSNAME"];
  py::object user = section["USERNAME"];
  py::object password = section["PASSWORD"];
  py::object port = py::int_(section["PORT"]);
  // Reads only: with autocommit on, every read sees the rows committed
  // before it, not the snapshot of the connection's first read (InnoDB's
  // REPEATABLE READ in a transaction that a kept connection never ends).
  return ns["pymysql"].attr("connect")(py::arg("host") = host, py::arg("database") = database,
                                       py::arg("user") = user, py::arg("password") = password,
                                       py::arg("port") = port, py::arg("autocommit") = true);
}

}  // namespace

void register_connections(py::module_& m) {
  define(m, {.name = "conn_to_Oracle", .form = CallForm::kOneArg, .params = {Param::required("basetype")},
             .body = conn_to_oracle});
  define(m, {.name = "conn_to_MySQL", .form = CallForm::kOneArg, .params = {Param::required("basetype")},
             .body = conn_to_mysql});
}

}  // namespace velmora
