// fetching_dialog: the event logs of a period, from every log table of the
// selected methods, in one statement.
#include "fetching/logs.pybind.h"

#include <string>
#include <vector>

#include "common/pyops.h"
#include "fetching/reading.pybind.h"
#include "fetching/statements.h"

namespace velmora {
namespace {

using sql::Dialect;

enum : size_t { kConn, kStartdate, kEnddate, kMethodname, kStationname, kItemname, kLogType };

py::object fetching_dialog(const Arguments& args, const Flavor& flavor) {
  const Namespace& ns = args.ns();
  refuse_missing_connection(args[kConn], flavor);
  const Reader read(ns, args[kConn]);
  const std::string date_1 = eight_digit_day(ns, args[kStartdate]);
  const std::string date_2 = eight_digit_day(ns, args[kEnddate]);

  const auto like = [&](const std::string& statement, const char* name, size_t at) {
    return read(statement, fragment_bind(Dialect::kOracle, name, args[at]));
  };
  py::object methods = is_all(args[kMethodname])
                           ? read(sql::all_methods())
                           : like(sql::method_codes_like(Dialect::kOracle), "methodname", kMethodname);
  std::string filters;
  if (!is_all(args[kStationname])) {
    py::object stationid = like(sql::station_codes_like(Dialect::kOracle), "stationname", kStationname);
    const std::vector<std::string> codes = texts(stationid[py::str(flavor.column("stationid"))]);
    if (codes.empty()) warn_matches_nothing("stationname", args[kStationname], "QZ_DICT_STATIONS");
    filters += sql::station_filter(codes, Dialect::kOracle);
  }
  if (!is_all(args[kItemname])) {
    py::object itemid = like(sql::item_codes_like(Dialect::kOracle), "itemname", kItemname);
    const std::vector<std::string> codes = texts(itemid[py::str(flavor.column("itemid"))]);
    if (codes.empty()) warn_matches_nothing("itemname", args[kItemname], "QZ_DICT_ITEMS");
    filters += sql::item_filter(codes, Dialect::kOracle);
  }

  // the rows of every search, in order, labels kept
  py::list found;
  for (const py::handle methodid : methods[py::str(flavor.column("methodid"))]) {
    py::dict params;
    params["base_type_id"] = "DLG";
    params["methodid"] = methodid;
    found.append(read(sql::log_tables(), params));
  }
  py::object table_name = found.empty() ? ns["pd"].attr("DataFrame")() : ns["pd"].attr("concat")(found);
  if (py::cast<bool>(table_name.attr("empty"))) {
    ns.print("no table name selected!");
    return py::none();
  }
  const std::vector<std::string> tables = texts(table_name[py::str(flavor.column("table_name"))]);
  refuse_unsafe_table_names(tables, Dialect::kOracle);
  return with_object_index_if_empty(
      ns, read(sql::log_union(tables, date_1, date_2, filters), named_bind("evt_id", args[kLogType])));
}

}  // namespace

void register_fetching_dialog(py::module_& m, const Flavor& flavor) {
  // Omitted dates mean the day before the call and the moment of the call.
  auto yesterday = [](const Namespace& ns) -> py::object {
    py::object dt = ns["dt"];
    return add(dt.attr("datetime").attr("today")(), dt.attr("timedelta")(py::arg("days") = -1));
  };
  auto now = [](const Namespace& ns) -> py::object { return ns["dt"].attr("datetime").attr("today")(); };
  define(m, {.name = "fetching_dialog",
             .params = {Param::required("conn"), Param::computed("startdate", yesterday),
                        Param::computed("enddate", now), Param::with_default("methodname", all_names()),
                        Param::with_default("stationname", all_names()),
                        Param::with_default("itemname", all_names()),
                        Param::with_default("log_type", py::str("313"))},
             .body = [flavor](const Arguments& args) { return fetching_dialog(args, flavor); }});
}

void register_fetching_dialog_sd(py::module_& m) {
  define(m, {.name = "fetching_dialog_sd",
             .form = CallForm::kNoArgs,
             .body = [](const Arguments&) { return py::none(); }});
}

}  // namespace velmora
