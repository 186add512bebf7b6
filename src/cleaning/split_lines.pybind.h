#pragma once

#include "common/function.h"

namespace velmora {

// split_lines(df, sample_by_seconds): packed rows to one row per sample.
py::object split_lines(const Namespace& ns, py::object df, py::object rate);

void register_split_lines(py::module_& m);

}  // namespace velmora
