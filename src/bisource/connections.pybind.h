#pragma once

#include "common/function.h"

namespace velmora {

// conn_to_Oracle(basetype, /) and conn_to_MySQL(basetype, /): driver
// connections from the section `basetype` of "default.conf".
void register_connections(py::module_& m);

}  // namespace velmora
