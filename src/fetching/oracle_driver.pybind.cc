#include "fetching/oracle_driver.pybind.h"

namespace velmora {
namespace {

// The module, or None when importing it raises ImportError.
py::object try_import(const char* name) {
  try {
    return py::module_::import(name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    return py::none();
  }
}

}  // namespace

py::object oracle_driver() {
  py::object driver = try_import("cx_Oracle");
  if (!driver.is_none()) return driver;
  return py::module_::import("oracledb");
}

py::object oracledb_as_cx_oracle() {
  if (!try_import("cx_Oracle").is_none()) return py::none();
  py::object oracledb = try_import("oracledb");
  if (oracledb.is_none()) return py::none();
  // A module of its own that answers every name from oracledb but the
  // version, so that oracledb itself is left as it is.
  py::module_ driver = py::reinterpret_steal<py::module_>(PyModule_New("oracledb"));
  if (!driver) throw py::error_already_set();
  driver.attr("__getattr__") = py::cpp_function([oracledb](const py::str& name) { return oracledb.attr(name); });
  driver.attr("version") = "8.3.0";
  return driver;
}

void use_oracle_client(const py::object& driver, const py::object& folder) {
  if (!py::bool_(folder) || !py::hasattr(driver, "is_thin_mode")) return;
  // thick mode, once enabled, stays for the life of the process
  if (!py::cast<bool>(driver.attr("is_thin_mode")())) return;
  if (py::str(folder).cast<std::string>() == kSystemOracleClient) {
    driver.attr("init_oracle_client")();
  } else {
    driver.attr("init_oracle_client")(py::arg("lib_dir") = folder);
  }
}

}  // namespace velmora
