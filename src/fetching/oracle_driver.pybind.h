// The Oracle driver module. cx_Oracle is used wherever it can be imported;
// otherwise python-oracledb, its maintained successor with the same module
// interface, takes its place (in thin mode it needs no Oracle client).
#pragma once

#include <pybind11/pybind11.h>

namespace velmora {

namespace py = pybind11;

// `import cx_Oracle`, or `import oracledb` when cx_Oracle cannot be imported.
// When neither can, raises the ImportError of oracledb, the default driver.
py::object oracle_driver();

// For SQLAlchemy 1.4's oracle+cx_oracle dialect: None when cx_Oracle can be
// imported (the dialect imports it itself), else python-oracledb presented as
// cx_Oracle 8.3 (the dialect refuses driver versions below 5.2, and oracledb
// numbers its releases from 1), or None when oracledb is missing too.
py::object oracledb_as_cx_oracle();

// The `default.conf` option ORACLE_CLIENT: python-oracledb in thick mode, with
// Oracle's client libraries from a folder, or from the system's search path
// for the value "default". Servers that thin mode cannot reach (Native
// Network Encryption required, or accounts with 10G password verifiers) need
// it.
inline constexpr const char* kOracleClientOption = "ORACLE_CLIENT";
inline constexpr const char* kSystemOracleClient = "default";

// oracledb.init_oracle_client(lib_dir=folder) (no lib_dir for "default"),
// when `driver` is python-oracledb (the one driver with a thin mode) and it
// is still in thin mode: once per process, whichever module asks first.
// `folder` empty, or another driver: nothing happens. Its errors (DPI-1047
// when the libraries are not found) are raised as they are.
void use_oracle_client(const py::object& driver, const py::object& folder);

}  // namespace velmora
