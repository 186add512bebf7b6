// velmora.cleaning: table-level cleaning of observation series.
#include "cleaning/split_lines.pybind.h"
#include "cleaning/table_ops.pybind.h"
#include "common/function.h"
#include "common/module.h"

VELMORA_MODULE(cleaning, m) {
  velmora::register_function_type(m);
  velmora::import_as(m, "numpy", "np");
  velmora::import_as(m, "pandas", "pd");
  velmora::register_split_lines(m);
  velmora::register_concat_df(m);
  velmora::register_remove_steps(m);
}
