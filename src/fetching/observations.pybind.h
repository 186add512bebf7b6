#pragma once

#include "common/function.h"
#include "fetching/flavor.h"

namespace velmora {

// fetching_data(conn, startdate, enddate, methodname, stationname, data_type,
//               base_type, itemname='全部', gzip_flag=False, my_split_lines=True, pointid='')
void register_fetching_data(py::module_& m, const Flavor& flavor);

}  // namespace velmora
