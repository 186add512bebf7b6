// conn_to_Oracle of `fetching`: "default.conf" from the working directory and
// from ~/.velmo, merged, then a SQLAlchemy engine for the cx_Oracle driver.
#include "fetching/engine.pybind.h"

#include <string>
#include <vector>

#include "common/pyops.h"
#include "fetching/credentials.h"
#include "fetching/oracle_driver.pybind.h"
#include "fetching/reading.pybind.h"
#include "fetching/sections.pybind.h"
#include "fetching/stack.h"

namespace velmora {
namespace {

constexpr const char* kMissingConfiguration = "数据库配置文件不存在或缺少配置项，请检查并配置 default.conf";
constexpr const char* kConnectionError = "连接数据库时发生错误，";

// Every form of the section's password, to be kept out of printed lines: as
// stored (with the pieces the parser quotes when it cannot expand it) and as
// expanded.
struct Secrets {
  std::vector<std::string> values;

  void add_stored(const py::handle& value) {
    if (!PyUnicode_Check(value.ptr())) return;
    for (std::string& form : credentials::stored_value_forms(value.cast<std::string>())) {
      values.push_back(std::move(form));
    }
  }
  void add(const py::handle& value) {
    if (PyUnicode_Check(value.ptr())) values.push_back(value.cast<std::string>());
  }
  std::string hide(const std::string& line) const { return credentials::masked(line, values); }
};

// Rows fetched per round trip. Observation rows are few but long, dictionary
// and log rows short; the drivers' own defaults (cx_Oracle and
// python-oracledb: 100 rows, SQLAlchemy 1.4's dialect: 50; the first 2 rows
// with the execute) make a year of hourly values of 40 stations several
// hundred round trips.
constexpr int kFetchRows = 1000;

// Before every statement the engine runs: the cursor brings the first rows
// with the execute itself (both drivers' prefetchrows).
py::cpp_function prefetching() {
  return py::cpp_function([](const py::args& args) {
    py::setattr(args[1], "prefetchrows", py::int_(kFetchRows));
  });
}

// create_engine(db_url, echo=False, ...). The URL names the cx_Oracle dialect;
// where cx_Oracle cannot be imported, python-oracledb (which offers the same
// module interface and needs no Oracle client) serves as that dialect's
// driver, in thick mode when the section names Oracle's client libraries.
// A pooled connection is tested before it is handed out (and replaced when
// the network dropped it while it was idle), and rows are fetched in batches
// of kFetchRows.
py::object make_engine(const Namespace& ns, const std::string& db_url, const py::object& oracle_client) {
  py::object driver = oracledb_as_cx_oracle();
  py::dict options;
  options["echo"] = false;
  options["pool_pre_ping"] = true;
  options["arraysize"] = kFetchRows;
  if (!driver.is_none()) {
    use_oracle_client(driver, oracle_client);
    options["module"] = driver;
  }
  py::object engine = ns["create_engine"](db_url, **options);
  py::module_::import("sqlalchemy").attr("event").attr("listen")(engine, "before_cursor_execute", prefetching());
  return engine;
}

py::object conn_to_oracle(const Arguments& args) {
  const Namespace& ns = args.ns();
  const py::object& db = args[0];
  py::object config = ns["configparser"].attr("ConfigParser")();
  py::object path = ns["os"].attr("path");
  py::object home_dir = path.attr("expanduser")("~");
  py::object file_path = path.attr("join")(home_dir, ".velmo", "default.conf");
  py::list files;
  files.append("default.conf");
  files.append(file_path);
  py::object files_read = config.attr("read")(files);

  if (!py::bool_(config.attr("sections")()) || !contains(config, db)) {
    ns.print(kMissingConfiguration);
    ns.print(missing_section_line(config, db, files_read,
                                  {py::str(path.attr("abspath")("default.conf")).cast<std::string>(),
                                   py::str(file_path).cast<std::string>()}));
    return py::none();
  }

  Secrets secrets;
  try {
    // the stored text, so that even a password the parser cannot expand stays hidden
    secrets.add_stored(
        config.attr("get")(db, "PASSWORD", py::arg("raw") = true, py::arg("fallback") = py::none()));
  } catch (py::error_already_set&) {
  }
  try {
    py::object host = config.attr("get")(db, "HOST");
    py::object port = config.attr("get")(db, "PORT");
    py::object username = config.attr("get")(db, "USERNAME");
    py::object password = config.attr("get")(db, "PASSWORD");
    secrets.add(password);
    // A pluggable database is reached by its service name; otherwise TNSNAME is the SID.
    std::string target;
    if (py::cast<bool>(config.attr("has_option")(db, "SERVICE_NAME"))) {
      const std::string service_name = text(config.attr("get")(db, "SERVICE_NAME"));
      if (!service_name.empty()) target = "?service_name=" + credentials::percent_encoded(service_name);
    }
    if (target.empty()) target = text(config.attr("get")(db, "TNSNAME"));
    py::object oracle_client = py::bool_(config.attr("has_option")(db, kOracleClientOption))
                                   ? py::object(config.attr("get")(db, kOracleClientOption))
                                   : py::object(py::str(""));
    const std::string db_url = "oracle+cx_oracle://" + credentials::percent_encoded(text(username)) + ":" +
                               credentials::percent_encoded(text(password)) + "@" + text(host) + ":" +
                               text(port) + "/" + target;
    py::object engine = make_engine(ns, db_url, oracle_client);
    ns.print(secrets.hide(text(config.attr("get")(db, "HOST")) + " connected..."));
    return engine;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    ns.print(kConnectionError, secrets.hide(py::str(e.value()).cast<std::string>()));
    return py::none();
  }
}

}  // namespace

void refuse_versions_that_cannot_work_together(py::module_& m) {
  const std::string pandas = py::str(m.attr("pd").attr("__version__"));
  const std::string sqlalchemy = py::str(py::module_::import("sqlalchemy").attr("__version__"));
  if (const std::optional<std::string> complaint = stack::incompatible(pandas, sqlalchemy)) {
    PyErr_SetString(PyExc_ImportError, complaint->c_str());
    throw py::error_already_set();
  }
}

void register_conn_to_oracle_engine(py::module_& m) {
  define(m, {.name = "conn_to_Oracle",
             .form = CallForm::kOneArg,
             .params = {Param::required("db")},
             .doc = "Connect to Oracle database.",
             .body = conn_to_oracle});
}

}  // namespace velmora
