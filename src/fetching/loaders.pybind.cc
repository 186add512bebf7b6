// The fixed-period loaders: each works out its dates from the clock (`dt`)
// and calls the module's current fetching_data.
#include "fetching/loaders.pybind.h"

#include "common/frames.h"
#include "common/pyops.h"
#include "fetching/reading.pybind.h"

namespace velmora {
namespace {

py::str today_plus(const Namespace& ns, const py::object& days) {
  py::object dt = ns["dt"];
  py::object when = dt.attr("datetime").attr("today")();
  if (!days.is_none()) when = add(when, dt.attr("timedelta")(days));
  return when.attr("strftime")("%Y%m%d");
}

py::object load_daily(const Arguments& args) {
  const Namespace& ns = args.ns();
  // conn, period, is_preprocessed, item, datatype, gzip_flag
  py::str startdate = today_plus(ns, multiply(py::int_(-1), args[1]));
  py::str enddate = today_plus(ns, py::none());
  return ns["fetching_data"](args[0], startdate, enddate, args[3], all_names(), args[4], args[2],
                             py::arg("gzip_flag") = args[5]);
}

py::object load_resistivity(const Arguments& args, const Flavor& flavor) {
  const Namespace& ns = args.ns();
  py::object date_0 = flavor.resistivity_start ? args[1] : py::str("20090101");
  py::str enddate = today_plus(ns, py::none());
  py::object df = ns["fetching_data"](args[0], date_0, enddate, "直流单装置地电阻率", all_names(), "小时值", "预处理库");
  // Low values of the two items at station 370082 are no readings.
  py::object nan = ns["np"].attr("nan");
  py::object loc = df.attr("loc");
  py::object station = compare(df["STATIONID"], py::str("370082"), Py_EQ);
  py::object first_item = compare(df["ITEMID"], py::str("3211"), Py_EQ);
  py::object second_item = compare(df["ITEMID"], py::str("3212"), Py_EQ);
  py::object items = first_item | second_item;
  py::object mask = station & items;
  py::object low = compare(df["OBSVALUE"], py::int_(8), Py_LT);
  mask = mask & low;
  loc[py::make_tuple(mask, "OBSVALUE")] = nan;
  return df;
}

py::object load_water(const Arguments& args) {
  const Namespace& ns = args.ns();
  py::str enddate = today_plus(ns, py::none());
  py::object df = ns["fetching_data"](args[0], "20090101", enddate, "水位", "郯城", "日均值", "预处理库");
  // The station code written with a lower-case h, in upper case, in place:
  // what DataFrame.replace("37005h", "37005H", regex=True) does to text cells
  // (the pattern has no special characters), without the conversion of object
  // columns that follows it in pandas, which pandas 2.2 warns will change.
  replace_in_text_cells(ns, df, "37005h", "37005H");
  set_column(df, "OBSVALUE", df["OBSVALUE"].attr("astype")("float32"));
  py::object first = df.attr("index").attr("min")();
  py::object last = df.attr("index").attr("max")();
  py::object new_index = ns["pd"].attr("date_range")(py::arg("start") = first, py::arg("end") = last);
  df = df.attr("reindex")(new_index);
  // fillna(method="backfill"), which pandas 2.1 deprecates for bfill()
  return df.attr("bfill")();
}

}  // namespace

void register_loaders(py::module_& m, const Flavor& flavor) {
  define(m, {.name = "load_Oracle_data_daily",
             .params = {Param::required("conn"), Param::required("period"), Param::required("is_preprocessed"),
                        Param::required("item"), Param::required("datatype"),
                        Param::with_default("gzip_flag", py::bool_(false))},
             .body = load_daily});
  if (flavor.resistivity_start) {
    define(m, {.name = "load_Oracle_data_resistivity_year",
               .params = {Param::required("conn"), Param::with_default("date_0", py::str("20090101"))},
               .body = [flavor](const Arguments& args) { return load_resistivity(args, flavor); }});
  } else {
    define(m, {.name = "load_Oracle_data_resistivity_year",
               .form = CallForm::kOneArg,
               .params = {Param::required("conn")},
               .body = [flavor](const Arguments& args) { return load_resistivity(args, flavor); }});
  }
  define(m, {.name = "load_Oracle_data_water_year",
             .form = CallForm::kOneArg,
             .params = {Param::required("conn")},
             .body = load_water});
}

}  // namespace velmora
