// velmora.fetching: the Oracle fetch module, through a SQLAlchemy engine.
#include "common/function.h"
#include "common/module.h"
#include "fetching/dictionaries.pybind.h"
#include "fetching/engine.pybind.h"
#include "fetching/loaders.pybind.h"
#include "fetching/logs.pybind.h"
#include "fetching/observations.pybind.h"

VELMORA_MODULE(fetching, m) {
  using namespace velmora;
  register_function_type(m);
  import_as(m, "configparser", "configparser");
  import_as(m, "datetime", "dt");
  import_as(m, "gzip", "gzip");
  import_as(m, "sys", "sys");
  import_as(m, "os", "os");
  import_as(m, "numpy", "np");
  import_as(m, "pandas", "pd");
  import_attribute_as(m, "sqlalchemy", "create_engine", "create_engine");
  refuse_versions_that_cannot_work_together(m);
  import_sibling_as(m, "cleaning", "tsc");
  register_conn_to_oracle_engine(m);
  register_timeseries_info(m, kFetchingFlavor);
  register_loaders(m, kFetchingFlavor);
  register_fetching_data(m, kFetchingFlavor);
  register_fetching_dialog(m, kFetchingFlavor);
  register_fetching_dialog_sd(m);
}
