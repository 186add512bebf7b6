#pragma once

#include "common/function.h"

namespace velmora {

// conn_to_Oracle(db, /): "Connect to Oracle database."; a SQLAlchemy engine
// from the "default.conf" section `db`, or None.
void register_conn_to_oracle_engine(py::module_& m);

}  // namespace velmora
