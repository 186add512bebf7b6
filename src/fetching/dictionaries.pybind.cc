// timeseries_info: the three dictionaries in one call.
#include "fetching/dictionaries.pybind.h"

#include "fetching/reading.pybind.h"

namespace velmora {
namespace {

py::object timeseries_info(const Arguments& args, const Flavor& flavor) {
  refuse_missing_connection(args[0], flavor);
  const Reader read(args.ns(), args[0]);
  py::object stations_table = read("SELECT STATIONID,STATIONNAME FROM QZDATA.QZ_DICT_STATIONS");
  py::object points_table = read("SELECT STATIONID,POINTID,POINTNAME FROM QZDATA.QZ_DICT_STATIONPOINTS");
  py::object items_table = read("SELECT ITEMID,ITEMNAME,UNIT FROM QZDATA.QZ_DICT_ITEMS");
  if (flavor.upper_case_results) {
    for (const py::object& table : {stations_table, points_table, items_table}) upper_case_labels(table);
  }
  for (py::object* table : {&stations_table, &points_table, &items_table}) {
    *table = with_object_index_if_empty(args.ns(), *table);
  }
  return py::make_tuple(stations_table, points_table, items_table);
}

}  // namespace

void register_timeseries_info(py::module_& m, const Flavor& flavor) {
  define(m, {.name = "timeseries_info",
             .form = CallForm::kOneArg,
             .params = {Param::required("conn")},
             .body = [flavor](const Arguments& args) { return timeseries_info(args, flavor); }});
}

}  // namespace velmora
