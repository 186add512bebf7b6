// The driver connections of `bisource`, from "default.conf" in the working
// directory. Nothing is caught: a missing file or section is a KeyError
// naming it, a refused login the driver's error.
#include "bisource/connections.pybind.h"

#include "common/pyops.h"

namespace velmora {
namespace {

// config[section][key], the section taken afresh for every key.
class Section {
 public:
  Section(py::object config, py::object name) : config_(std::move(config)), name_(std::move(name)) {}
  py::object operator[](const char* key) const { return config_[name_][py::str(key)]; }

 private:
  py::object config_;
  py::object name_;
};

Section read_section(const Namespace& ns, const char* parser, const py::object& basetype) {
  py::object config = ns["configparser"].attr(parser)();
  config.attr("read")("default.conf");
  return Section(config, basetype);
}

py::object conn_to_oracle(const Arguments& args) {
  const Namespace& ns = args.ns();
  const Section section = read_section(ns, "ConfigParser", args[0]);
  py::object host = section["HOST"];
  py::object port = section["PORT"];
  py::object tnsname = section["TNSNAME"];
  py::object dsn = ns["orcl"].attr("makedsn")(host, port, tnsname);
  py::object user = section["USERNAME"];
  py::object password = section["PASSWORD"];
  py::object conn = ns["orcl"].attr("connect")(py::arg("user") = user, py::arg("password") = password,
                                               py::arg("dsn") = dsn);
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
  return ns["pymysql"].attr("connect")(py::arg("host") = host, py::arg("database") = database,
                                       py::arg("user") = user, py::arg("password") = password,
                                       py::arg("port") = port);
}

}  // namespace

void register_connections(py::module_& m) {
  define(m, {.name = "conn_to_Oracle", .form = CallForm::kOneArg, .params = {Param::required("basetype")},
             .body = conn_to_oracle});
  define(m, {.name = "conn_to_MySQL", .form = CallForm::kOneArg, .params = {Param::required("basetype")},
             .body = conn_to_mysql});
}

}  // namespace velmora
