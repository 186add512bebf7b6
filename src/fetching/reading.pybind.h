// Reading through pandas, and the small conversions around it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/function.h"
#include "fetching/flavor.h"

namespace velmora {

// pd.read_sql(sql, con=conn[, params=params]), with `pd` looked up at call time.
//
// Through a driver's connection pandas warns on every read that it has only
// been tested with SQLAlchemy and sqlite3: that notice comes with the first
// such read of the process and no later one (DriverNotice below); every
// other warning of a read comes as the caller's filters have it.
//
// A failed statement raises what it raises on pandas 1.5 and 2, whatever
// the release: through a SQLAlchemy engine, SQLAlchemy's own error (pandas 3
// wraps it in its DatabaseError: the error it wraps is raised instead);
// through a driver's connection, pandas' DatabaseError "Execution failed on
// sql '...': ..." raised from the driver's error after a rollback (pandas 3
// lets the driver's error through: it is wrapped as pandas 2 wrapped it).
class Reader {
 public:
  Reader(const Namespace& ns, py::object conn);
  py::object operator()(const std::string& sql) const;
  py::object operator()(const std::string& sql, const py::object& params) const;

  // pd.read_sql(sql, con=conn, chunksize=rows): every table of up to `rows`
  // rows is handed to `each` as soon as it is read. The statement and its
  // failures are those of a read in one piece. A PyMySQL connection whose
  // cursors are the default buffered ones (they receive the whole result
  // inside execute) gets unbuffered cursors meanwhile, so that rows come as
  // the server sends them; its cursor class is restored afterwards.
  void read_batches(const std::string& sql, size_t rows, const std::function<void(const py::object&)>& each) const;

 private:
  py::object read(const std::string& sql, const py::object* params) const;
  [[noreturn]] void raise_as_read(py::error_already_set& e, const std::string& sql) const;

  const Namespace& ns_;
  py::object conn_;
  bool through_sqlalchemy_;
};

// Raises TypeError when `conn` is None (what fetching's conn_to_Oracle returns
// when it cannot connect), before a function does anything with it.
void refuse_missing_connection(const py::handle& conn, const Flavor& flavor);

// A UserWarning, attributed to the caller's line, that the name given as
// `parameter` matched no row of the dictionary `table`.
void warn_matches_nothing(const char* parameter, const py::handle& value, const char* table);

// A table read with no rows gets the index pandas 1.5 gives it, an empty Index
// of objects, in place of the empty RangeIndex of pandas 2; any other table is
// returned as it is. For the tables handed to the caller (the reads in between
// keep pandas' own, which pd.concat expects).
py::object with_object_index_if_empty(const Namespace& ns, py::object df);

// pd.to_datetime(value).strftime("%Y%m%d"); an integer of eight digits
// (10000101 to 99991231, Python or numpy, not bool) is read as the date it
// spells, through its text. Text that is no date raises dateutil's ParserError
// "... present at position 0" on every pandas release.
std::string eight_digit_day(const Namespace& ns, const py::handle& value);

// The values of a column, each of which must be text.
std::vector<std::string> texts(const py::handle& column);

// Text that is written into a statement; anything else is refused the way
// Python refuses to add it to a str.
std::string text(const py::handle& value);

// {name: value}: a named bind value (Oracle's paramstyle).
py::dict named_bind(const char* name, const py::handle& value);

// "%%" + fragment + "%%": a LIKE pattern for MySQL's pyformat paramstyle, where
// a literal % is written twice.
py::object like_pattern(const py::handle& fragment);

// Bind value of a name fragment: {"name": fragment} for Oracle, the one-element
// list [like_pattern(fragment)] for MySQL. (PyMySQL reads a set as one single
// argument rather than a sequence of them, which 1.2 deprecates; the list gives
// the same statement on every release.)
py::object fragment_bind(sql::Dialect dialect, const char* name, const py::handle& fragment);

// The text "全部" (every name) as a Python str, and whether `value` is it.
py::str all_names();
bool is_all(const py::handle& value);

// The column with every occurrence of `marker` inside its text cells replaced
// by `replacement` (a new column of the same dtype), or the column itself
// when it is no text column or holds no marker.
py::object replaced_in_text(const Namespace& ns, const py::object& column, const char* marker,
                            const std::string& replacement);

// Every occurrence of `marker` inside a text cell of any column replaced by
// `replacement`, in place: what DataFrame.replace(marker, replacement,
// regex=True, inplace=True) does for a marker without special characters,
// without running a regular expression over every sample of every row.
// Text columns are those pandas takes for text, whatever their dtype; a
// column keeps its dtype.
void replace_in_text_cells(const Namespace& ns, const py::object& df, const char* marker,
                           const std::string& replacement);

// Column labels, and the index name when it has one, to upper case.
void upper_case_labels(const py::object& df);

// Raises ValueError naming the first table name that is not a plain
// identifier, before any statement is built from the names.
void refuse_unsafe_table_names(const std::vector<std::string>& tables, sql::Dialect dialect);

// Prints the stop message and raises ValueError for a name outside the
// vocabulary.
[[noreturn]] void unknown_name(const Namespace& ns, const char* parameter, const py::handle& value,
                               const std::string& accepted);

}  // namespace velmora
