// What differs between the two fetch modules. `fetching` reads through a
// SQLAlchemy engine on Oracle, which names plain columns in lower case;
// `bisource` reads through the drivers' own connections, which name them in
// upper case, and sends MySQL statements for observations.
#pragma once

#include <string>
#include <string_view>

#include "fetching/statements.h"

namespace velmora {

struct Flavor {
  sql::Dialect observations;    // statements of the observation fetch
  bool upper_case_columns;      // how the connection names plain columns
  bool upper_case_results;      // result labels upper-cased (observations and dictionaries)
  bool resistivity_start;       // the resistivity loader takes a start date

  // A plain column name as the connection delivers it.
  std::string column(std::string_view lower) const {
    std::string name(lower);
    if (upper_case_columns) {
      for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return name;
  }
};

inline constexpr Flavor kFetchingFlavor{.observations = sql::Dialect::kOracle,
                                        .upper_case_columns = false,
                                        .upper_case_results = true,
                                        .resistivity_start = true};
inline constexpr Flavor kBisourceFlavor{.observations = sql::Dialect::kMySql,
                                        .upper_case_columns = true,
                                        .upper_case_results = false,
                                        .resistivity_start = false};

}  // namespace velmora
