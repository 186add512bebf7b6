#include "fetching/statements.h"

#include <algorithm>
#include <vector>

namespace velmora::sql {
namespace {

bool ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool plain_identifier(std::string_view name, Dialect dialect) {
  if (name.empty() || !ascii_letter(name.front())) return false;
  return std::all_of(name.begin() + 1, name.end(), [dialect](char c) {
    return ascii_letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           (c == '#' && dialect == Dialect::kOracle);
  });
}

std::string joined(std::span<const std::string> parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

// " AND (" + alternatives joined by " OR " + ")"; no alternative: no row.
template <typename Alternative>
std::string any_of(std::span<const std::string> codes, Alternative alternative) {
  if (codes.empty()) return " AND (1=0)";
  std::string out = " AND (";
  for (size_t i = 0; i < codes.size(); ++i) {
    if (i) out += " OR ";
    out += alternative(codes[i]);
  }
  return out + ")";
}

std::string like(Dialect dialect, std::string_view bind) {
  if (dialect == Dialect::kMySql) return "LIKE %s ";
  return "LIKE '%' || :" + std::string(bind) + " || '%'";
}

}  // namespace

std::string quote(std::string_view text, Dialect dialect) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') out += '\'';
    if (c == '\\' && dialect == Dialect::kMySql) out += '\\';
    out += c;
  }
  return out + "'";
}

std::string discipline_methods(char digit) {
  std::string out = "SELECT SUBSTR(ITEMID,1,3) FROM QZDATA.QZ_DICT_STATIONITEMS";
  if (digit != 0) out += std::string(" WHERE SUBSTR(ITEMID,1,1)=") + digit;
  return out;
}

std::string method_codes_like(Dialect dialect) {
  return "SELECT METHODID FROM QZDATA.QZ_DICT_METHODS WHERE METHODNAME " + like(dialect, "methodname");
}

std::string station_codes_like(Dialect dialect) {
  return "SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONNAME " + like(dialect, "stationname");
}

std::string item_codes_like(Dialect dialect) {
  return "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME " + like(dialect, "itemname");
}

std::string all_methods() { return "SELECT METHODID FROM QZDATA.QZ_DICT_METHODS"; }

std::string item_codes_named(std::span<const std::string> names, Dialect dialect) {
  std::string out = "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ";
  for (size_t i = 0; i < names.size() || i == 0; i += kMaxInList) {
    if (i) out += " OR ";
    out += "ITEMNAME IN (";
    for (size_t j = i; j < std::min(names.size(), i + kMaxInList); ++j) {
      if (j > i) out += ',';
      out += quote(names[j], dialect);
    }
    out += ")";
  }
  return out;
}

std::string observation_tables(Dialect dialect) {
  if (dialect == Dialect::kMySql) {
    return "SELECT TABLE_NAME FROM information_schema.tables WHERE TABLE_SCHEMA='QZDATA' AND "
           "TABLE_NAME LIKE %s AND TABLE_NAME LIKE %s AND TABLE_NAME LIKE %s ";
  }
  return "SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER='QZDATA' AND "
         "TABLE_NAME LIKE '%' || :base_type_id || '%' AND "
         "TABLE_NAME LIKE '%' || :sample_rate_id || '%' AND TABLE_NAME LIKE '%' || :methodid || '%'";
}

std::string log_tables() {
  return "SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER='QZDATA' AND "
         "TABLE_NAME LIKE '%' || :base_type_id || '%' AND TABLE_NAME LIKE '%' || :methodid || '%'";
}

std::optional<std::string> unsafe_table_name(std::span<const std::string> tables, Dialect dialect) {
  for (const std::string& table : tables) {
    if (!plain_identifier(table, dialect)) return table;
  }
  return std::nullopt;
}

std::string station_filter(std::span<const std::string> codes, Dialect dialect) {
  return any_of(codes, [dialect](const std::string& code) { return "STATIONID=" + quote(code, dialect); });
}

std::string item_filter(std::span<const std::string> codes, Dialect dialect) {
  return any_of(codes, [dialect](const std::string& code) { return "ITEMID=" + quote(code, dialect); });
}

std::string point_filter(std::string_view point, Dialect dialect) {
  if (point.empty()) return "";
  return " AND (POINTID=" + quote(point, dialect) + ")";
}

std::string observation_union(std::span<const std::string> tables, std::string_view first_day,
                              std::string_view last_day, std::string_view filters,
                              Dialect dialect) {
  std::string period;
  if (dialect == Dialect::kMySql) {
    period = " WHERE STARTDATE >= " + std::string(first_day) + " AND STARTDATE <= " + std::string(last_day);
  } else {
    period = " WHERE STARTDATE>=TO_DATE('" + std::string(first_day) +
             "','yyyymmdd') AND STARTDATE<TO_DATE('" + std::string(last_day) + "','yyyymmdd')+1";
  }
  std::vector<std::string> parts;
  for (const std::string& table : tables) {
    parts.push_back("SELECT * FROM QZDATA." + table + period + std::string(filters));
  }
  return joined(parts, " UNION ALL ");
}

std::string log_union(std::span<const std::string> tables, std::string_view first_day,
                      std::string_view last_day, std::string_view filters) {
  std::vector<std::string> parts;
  for (const std::string& table : tables) {
    parts.push_back("SELECT * FROM QZDATA." + table + " WHERE STARTDATE>=TO_DATE('" +
                    std::string(first_day) + "','yyyymmdd') AND STARTDATE<TO_DATE('" +
                    std::string(last_day) + "','yyyymmdd')+1 AND EVTID IN (:evt_id)" +
                    std::string(filters));
  }
  return joined(parts, " UNION ALL ");
}

}  // namespace velmora::sql
