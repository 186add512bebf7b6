// The split observation table, put together from the kernel's filled arrays.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "cleaning/split.h"
#include "common/function.h"

namespace velmora {

namespace py = pybind11;

// The table of one row per sample: indexed by `index` (one label per result
// position), the columns of `others` (the input's columns but startdate and
// obsvalue, in their order) with each source row's values repeated at its
// samples' positions, then obsvalue from `values`. `values` becomes the
// table's column without a copy.
py::object sample_table(const Namespace& ns, const py::object& others, const packed::Split& split,
                        const py::object& index, const py::array_t<float>& values);

// The source row of every result position.
py::array_t<int64_t> result_rows(const packed::Split& split);

}  // namespace velmora
