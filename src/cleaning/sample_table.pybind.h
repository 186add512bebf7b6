// The split observation table, put together from the kernel's filled arrays.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "cleaning/ready_memory.h"
#include "cleaning/split.h"
#include "common/function.h"

namespace velmora {

namespace py = pybind11;

// Memory for a split's result, made ready while its rows are still being
// read: its values, its times, and its block of repeated object columns.
struct ReadyResult {
  packed::ReadyMemory values, times, objects;
};

// A one-dimensional array of `n` elements of `dtype` over memory of its
// own: `ready`'s when it is given, numpy's otherwise.
py::array result_array(const py::dtype& dtype, size_t n, packed::ReadyMemory* ready);

// The table of one row per sample: indexed by `index` (one label per result
// position), the columns of `others` (the input's columns but startdate and
// obsvalue, in their order) with each source row's values repeated at its
// samples' positions, then obsvalue from `values`. `values` becomes the
// table's column without a copy. A block of repeated object columns is
// written into `ready`'s objects when it is given; what of that memory goes
// unused is given back before pandas allocates.
py::object sample_table(const Namespace& ns, const py::object& others, const packed::Split& split,
                        const py::object& index, const py::array_t<float>& values, ReadyResult* ready = nullptr);

// The source row of every result position.
py::array_t<int64_t> result_rows(const packed::Split& split);

}  // namespace velmora
