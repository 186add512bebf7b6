// The SQL the fetch functions send, for an Oracle server (named binds) or a
// MySQL server (%s markers filled by the driver).
//
// Codes that come from the caller or from the dictionaries are written into
// the statements as literals, so every literal is quoted here: single quotes
// doubled, and for MySQL, whose string literals treat the backslash as an
// escape, backslashes doubled as well.
#pragma once

#include <optional>
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
// Item codes of the items with exactly these names. Oracle takes at most
// kMaxInList values in one IN list, so longer lists are written as several
// lists joined by OR, in one statement.
inline constexpr size_t kMaxInList = 1000;
std::string item_codes_named(std::span<const std::string> names, Dialect dialect);

// Catalogue searches, restricted to the schema the tables are read from:
// observation tables by data-base, rate and method code; log tables by "DLG"
// and method code (Oracle only).
std::string observation_tables(Dialect dialect);
std::string log_tables();

// Table names come from the catalogue and are pasted after "QZDATA." into the
// statements, so only plain identifiers may go there: a letter, then letters,
// digits, "_", "$" and (on Oracle, where it is no comment sign) "#". Returns
// the first name that is not one, if any.
std::optional<std::string> unsafe_table_name(std::span<const std::string> tables, Dialect dialect);

// Filters appended to every per-table statement; empty when not restricted.
// Every code is a quoted literal, so that the comparison is exact on text
// columns (and converts the literal once on number columns); no code at all
// gives a condition that no row meets.
std::string station_filter(std::span<const std::string> codes, Dialect dialect);
std::string item_filter(std::span<const std::string> codes, Dialect dialect);
std::string point_filter(std::string_view point, Dialect dialect);

// One statement over all observation tables: the period from the start of
// `first_day` to the end of `last_day` (eight-digit days), then the filters.
// The table names must have passed unsafe_table_name.
std::string observation_union(std::span<const std::string> tables, std::string_view first_day,
                              std::string_view last_day, std::string_view filters,
                              Dialect dialect);

// One statement over all log tables for the period, the event type bound as
// :evt_id, then the filters (Oracle).
std::string log_union(std::span<const std::string> tables, std::string_view first_day,
                      std::string_view last_day, std::string_view filters);

}  // namespace velmora::sql
