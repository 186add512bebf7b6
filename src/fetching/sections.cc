#include "fetching/sections.h"

namespace velmora::sections {
namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

std::string joined(std::span<const std::string> items, bool quote) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += quote ? quoted(item) : item;
  }
  return out;
}

}  // namespace

std::string missing(std::string_view section, std::span<const std::string> files_read,
                    std::span<const std::string> looked_for, std::span<const std::string> other_case,
                    std::span<const std::string> present) {
  std::string line = "no section " + quoted(section);
  if (files_read.empty()) {
    line += ": no file could be read";
    if (!looked_for.empty()) {
      line += " (looked for ";
      for (size_t i = 0; i < looked_for.size(); ++i) {
        if (i) line += i + 1 == looked_for.size() ? " and " : ", ";
        line += looked_for[i];
      }
      line += ")";
    }
    return line;
  }
  line += " in " + joined(files_read, false);
  if (!other_case.empty()) {
    line += "; there is " + joined(other_case, true) + " (section names are case-sensitive)";
  } else if (present.empty()) {
    line += "; there is no section at all";
  } else {
    line += "; sections there: " + joined(present, true);
  }
  return line;
}

}  // namespace velmora::sections
