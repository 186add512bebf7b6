// Which releases of pandas and SQLAlchemy work together. pip installs any
// pair; pandas' SQL reads work only with the SQLAlchemy releases it was
// written for, and fail at the first read otherwise.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::stack {

struct Release {
  int major = 0;
  int minor = 0;
  int patch = 0;
};

// The numbers of a version text ("2.2.3", "2.1.0b1", "3.0.0rc1",
// "2.0.0.dev0+12", "2.2"); nullopt when it does not begin with
// <digits>.<digits>. A missing or unreadable patch number is 0.
std::optional<Release> release(std::string_view version);

// nullopt when pandas `pandas` and SQLAlchemy `sqlalchemy` work together (or a
// version cannot be read); otherwise the message that names both versions,
// why they fail and the combinations that work:
// - pandas before 2.0 needs SQLAlchemy before 2.0 (with SQLAlchemy 2 its reads
//   fail with 'OptionEngine' object has no attribute 'execute');
// - each pandas release needs at least the SQLAlchemy it names: 1.4.16 for
//   pandas 1.5 and 2.0, 1.4.36 for 2.1, 2.0.0 for 2.2, 2.0.36 for 3.0 and
//   later; with an older one pandas takes the engine for a driver connection
//   and the first read fails with 'Engine' object has no attribute 'cursor'.
std::optional<std::string> incompatible(std::string_view pandas, std::string_view sqlalchemy);

}  // namespace velmora::stack
