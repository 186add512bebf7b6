#pragma once

#include "common/function.h"
#include "fetching/flavor.h"

namespace velmora {

// load_Oracle_data_daily, load_Oracle_data_resistivity_year and
// load_Oracle_data_water_year: fixed requests over a period that ends today.
void register_loaders(py::module_& m, const Flavor& flavor);

}  // namespace velmora
