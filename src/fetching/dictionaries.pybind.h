#pragma once

#include "common/function.h"
#include "fetching/flavor.h"

namespace velmora {

// timeseries_info(conn, /): the stations, points and items tables.
void register_timeseries_info(py::module_& m, const Flavor& flavor);

}  // namespace velmora
