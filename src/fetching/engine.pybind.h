#pragma once

#include "common/function.h"

namespace velmora {

// conn_to_Oracle(db, /): "Connect to Oracle database."; a SQLAlchemy engine
// from the "default.conf" section `db`, or None.
void register_conn_to_oracle_engine(py::module_& m);

// Raises ImportError naming the installed pandas and SQLAlchemy, and the
// combinations that work, when the two cannot work together (pip installs
// either pair without complaint). `m` has bound pandas as `pd`.
void refuse_versions_that_cannot_work_together(py::module_& m);

}  // namespace velmora
