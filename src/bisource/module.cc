// velmora.bisource: the fetch functions over direct Oracle-driver and PyMySQL
// connections; observations are read with MySQL statements.
#include "bisource/connections.pybind.h"
#include "common/function.h"
#include "common/module.h"
#include "fetching/dictionaries.pybind.h"
#include "fetching/loaders.pybind.h"
#include "fetching/logs.pybind.h"
#include "fetching/observations.pybind.h"
#include "fetching/oracle_driver.pybind.h"

VELMORA_MODULE(bisource, m) {
  using namespace velmora;
  register_function_type(m);
  import_as(m, "configparser", "configparser");
  import_as(m, "datetime", "dt");
  import_as(m, "gzip", "gzip");
  import_as(m, "sys", "sys");
  m.attr("orcl") = oracle_driver();  // cx_Oracle, else python-oracledb
  import_as(m, "numpy", "np");
  import_as(m, "pandas", "pd");
  import_as(m, "pymysql", "pymysql");
  import_sibling_as(m, "cleaning", "tsc");
  register_connections(m);
  register_timeseries_info(m, kBisourceFlavor);
  register_loaders(m, kBisourceFlavor);
  register_fetching_data(m, kBisourceFlavor);
  register_fetching_dialog(m, kBisourceFlavor);
}
