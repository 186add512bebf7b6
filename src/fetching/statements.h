// The SQL the fetch functions send, for an Oracle server (named binds) or a
// MySQL server (%s markers filled by the driver).
//
// Codes that come from the caller or from the dictionaries are written into
// the statements as literals, so every literal is quoted here: single quotes
// doubled, and for MySQL, whose string literals treat the backslash as an
// escape, backslashes doubled as well.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace velmora::sql {

enum class Dialect { kOracle, kMySql };

// The text between single quotes, quotes included.
std::string quote(std::string_view text, Dialect dialect);

// Dictionary look-ups.
// Method codes of a discipline (`digit` '2', '3', '4') or of all station items (0).
std::string discipline_methods(char digit);
// Codes whose name contains a fragment given as the one bind value.
std::string method_codes_like(Dialect dialect);
std::string station_codes_like(Dialect dialect);
std::string item_codes_like(Dialect dialect);
// All method codes (log fetch without a method name).
std::string all_methods();
// Item codes of the items with exactly these names.
std::string item_codes_named(std::span<const std::string> names, Dialect dialect);

// Catalogue searches: observation tables by data-base, rate and method code;
// log tables by "DLG" and method code (Oracle only).
std::string observation_tables(Dialect dialect);
std::string log_tables();

// Filters appended to every per-table statement; empty when not restricted.
// A station code of ASCII digits stands bare, any other code is quoted; no
// code at all gives a condition that no row meets.
std::string station_filter(std::span<const std::string> codes, Dialect dialect);
std::string item_filter(std::span<const std::string> codes, Dialect dialect);
std::string point_filter(std::string_view point, Dialect dialect);

// One statement over all observation tables: the period from the start of
// `first_day` to the end of `last_day` (eight-digit days), then the filters.
std::string observation_union(std::span<const std::string> tables, std::string_view first_day,
                              std::string_view last_day, std::string_view filters,
                              Dialect dialect);

// One statement over all log tables for the period, the event type bound as
// :evt_id, then the filters (Oracle).
std::string log_union(std::span<const std::string> tables, std::string_view first_day,
                      std::string_view last_day, std::string_view filters);

}  // namespace velmora::sql
