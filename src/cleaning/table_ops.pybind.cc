// Table-level cleaning: joining two series and removing steps.
#include "cleaning/table_ops.pybind.h"

#include "common/frames.h"
#include "common/pyops.h"

#include <string>

namespace velmora {
namespace {

py::object concat_df(const Arguments& args) {
  const Namespace& ns = args.ns();
  py::list parts;
  parts.append(args[0]);
  parts.append(args[1]);
  py::object df = ns["pd"].attr("concat")(parts);
  set_column(df, "new_index", ns["np"].attr("arange")(1, py::len(df) + 1));
  return df.attr("set_index")("new_index");
}

// A mapping with a key other than "std" and "threshold" (a misspelt key would
// otherwise leave the 30-deviation default in force without a word) is
// refused before the caller's table is touched.
void refuse_unknown_keys(const py::object& choice) {
  py::object mapping = py::module_::import("collections.abc").attr("Mapping");
  if (!py::isinstance(choice, mapping)) return;
  for (const py::handle key : choice) {
    const std::string name = PyUnicode_Check(key.ptr()) ? py::str(key).cast<std::string>() : std::string();
    if (name != "std" && name != "threshold") {
      throw py::value_error("remove_peaks_steps has the key " + py::repr(key).cast<std::string>() +
                            ": the keys it takes are 'std' and 'threshold'");
    }
  }
}

py::object remove_steps_v2(const Arguments& args) {
  const Namespace& ns = args.ns();
  py::object df = args[0];
  py::object choice = args[1];
  // Left at its default (False) or None: no key chosen, as with an empty mapping.
  if (choice.is_none() || choice.ptr() == Py_False) choice = py::dict();
  refuse_unknown_keys(choice);

  update_in_place(df, df.attr("dropna")());
  py::object df_diff = df.attr("diff")();
  py::object threshold;
  if (contains(choice, "std")) {
    threshold = add(df_diff.attr("mean")(), multiply(choice["std"], df_diff.attr("std")()));
  } else if (contains(choice, "threshold")) {
    threshold = choice["threshold"];
  } else {
    threshold = add(df_diff.attr("mean")(), multiply(py::float_(30.0), df_diff.attr("std")()));
  }
  ns.print(add(py::str("remove steps threshold : "), format(threshold)));
  py::object steps = compare(df_diff, threshold, Py_GT) | compare(df_diff, negative(threshold), Py_LT);
  df_diff[steps] = py::float_(0.0);
  return df_diff.attr("cumsum")();
}

}  // namespace

void register_concat_df(py::module_& m) {
  define(m, {.name = "concat_df",
             .params = {Param::required("df_1"), Param::required("df_2")},
             .body = concat_df});
}

void register_remove_steps(py::module_& m) {
  define(m, {.name = "remove_steps_v2",
             .params = {Param::required("df"), Param::with_default("remove_peaks_steps", py::bool_(false))},
             .body = remove_steps_v2});
}

}  // namespace velmora
