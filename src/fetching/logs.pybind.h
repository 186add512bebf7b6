#pragma once

#include "common/function.h"
#include "fetching/flavor.h"

namespace velmora {

// fetching_dialog(conn, startdate=<yesterday>, enddate=<now>, methodname='全部',
//                 stationname='全部', itemname='全部', log_type='313')
void register_fetching_dialog(py::module_& m, const Flavor& flavor);

// fetching_dialog_sd(): no arguments, returns None.
void register_fetching_dialog_sd(py::module_& m);

}  // namespace velmora
