#pragma once

#include "common/function.h"

namespace velmora {

// concat_df(df_1, df_2) and remove_steps_v2(df, remove_peaks_steps=False).
void register_concat_df(py::module_& m);
void register_remove_steps(py::module_& m);

}  // namespace velmora
