#include "fetching/sections.pybind.h"

#include "fetching/sections.h"

namespace velmora {

std::string missing_section_line(const py::object& config, const py::object& section,
                                 const py::object& files_read, const std::vector<std::string>& looked_for) {
  py::object abspath = py::module_::import("os").attr("path").attr("abspath");
  std::vector<std::string> read, other_case, present;
  for (const py::handle file : files_read) read.push_back(py::str(abspath(file)).cast<std::string>());
  const bool text = PyUnicode_Check(section.ptr());
  for (const py::handle name : config.attr("sections")()) {
    present.push_back(py::str(name).cast<std::string>());
    if (text && PyUnicode_Check(name.ptr()) && !name.equal(section) &&
        name.attr("casefold")().equal(section.attr("casefold")())) {
      other_case.push_back(present.back());
    }
  }
  return sections::missing(py::str(section).cast<std::string>(), read, looked_for, other_case, present);
}

}  // namespace velmora
