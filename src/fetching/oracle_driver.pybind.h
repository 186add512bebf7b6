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

}  // namespace velmora
