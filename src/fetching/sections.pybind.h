// The line that says which configuration section was missing, and where.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace velmora {

namespace py = pybind11;

// For a parser `config` (configparser) without the section `section`: the
// files it read (`files_read`, the result of its read(), as absolute paths),
// those it looked for, and its sections of the same name in another case.
std::string missing_section_line(const py::object& config, const py::object& section,
                                 const py::object& files_read, const std::vector<std::string>& looked_for);

}  // namespace velmora
