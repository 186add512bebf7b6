// split_lines, and the parts of it that a split of rows read ahead shares.
#pragma once

#include <functional>
#include <optional>

#include "cleaning/sample_table.pybind.h"
#include "cleaning/split.h"
#include "common/function.h"

namespace velmora {

// split_lines(df, sample_by_seconds): packed rows to one row per sample.
py::object split_lines(const Namespace& ns, py::object df, py::object rate);

void register_split_lines(py::module_& m);

// Makes the split of a table's packed rows, with the interpreter lock
// released (it must not touch Python).
using MakeSplit = std::function<packed::Split(const std::optional<packed::Stamp>&)>;

// The table of one row per sample of `df` (columns startdate, obsvalue and
// others, as split_lines takes it; a rate up to 3600 seconds), its samples
// from the split that `make` makes of its rows; obsvalue itself is not read.
// The result's arrays are written into `ready`'s memory when it is given.
py::object samples_of(const Namespace& ns, const py::object& df, const py::object& rate, const MakeSplit& make,
                      ReadyResult* ready = nullptr);

// What split_lines refuses before it splits: a packed column that pandas has
// no string methods for (AttributeError, pandas' own)...
void refuse_no_text(const Namespace& ns, const py::object& column);
// ... one whose `cells` values (`texts` of them text) are all bytes, and a
// table that has a column timespan already.
void refuse_unsplittable(const Namespace& ns, const py::object& df, const py::object& column, size_t texts,
                         size_t cells);

}  // namespace velmora
