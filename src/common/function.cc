#include "common/function.h"

#include <algorithm>
#include <string_view>

namespace velmora {

py::object Namespace::operator[](const char* name) const {
  PyObject* found = PyDict_GetItemString(globals_.ptr(), name);  // borrowed
  if (found != nullptr) {
    return py::reinterpret_borrow<py::object>(found);
  }
  py::dict builtins = py::module_::import("builtins").attr("__dict__");
  found = PyDict_GetItemString(builtins.ptr(), name);
  if (found != nullptr) {
    return py::reinterpret_borrow<py::object>(found);
  }
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  throw py::error_already_set();
}

Param Param::with_default(std::string name, py::object value) {
  return Param{std::move(name), DefaultFn([value](const Namespace&) { return value; })};
}

namespace {

// A code object that carries the parameter names, so that inspect.signature()
// and other introspection see the real parameters. It is never executed.
py::object make_code(const std::string& module_name, const std::string& name, CallForm form,
                     const std::vector<Param>& params) {
  py::object empty = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(("<" + module_name + ">").c_str(), name.c_str(), 0)));
  if (!empty) throw py::error_already_set();
  py::tuple names(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    names[i] = py::str(params[i].name);
  }
  const int count = static_cast<int>(params.size());
  return empty.attr("replace")(py::arg("co_argcount") = count,
                               py::arg("co_posonlyargcount") = form == CallForm::kOneArg ? 1 : 0,
                               py::arg("co_nlocals") = count, py::arg("co_varnames") = names,
                               py::arg("co_qualname") = name);
}

[[noreturn]] void raise_type_error(const std::string& message) { throw py::type_error(message); }

}  // namespace

Function::Function(FunctionSpec definition, py::dict module_globals, std::string module_name)
    : spec_(std::move(definition)), ns_(std::move(module_globals)), module_name_(std::move(module_name)) {
  bool seen_default = false;
  for (const Param& p : spec_.params) {
    if (p.default_value) {
      seen_default = true;
    } else {
      if (seen_default) throw std::logic_error("required parameter after a default: " + p.name);
      ++required_;
    }
  }
  if (spec_.form == CallForm::kNoArgs && !spec_.params.empty()) {
    throw std::logic_error(spec_.name + ": a function without arguments has no parameters");
  }
  if (spec_.form == CallForm::kOneArg && (spec_.params.size() != 1 || required_ != 1)) {
    throw std::logic_error(spec_.name + ": a one-argument function has one required parameter");
  }
  code_ = make_code(module_name_, spec_.name, spec_.form, spec_.params);
}

py::object Function::defaults() const {
  std::vector<py::object> values;
  for (const Param& p : spec_.params) {
    if (p.default_value) values.push_back((*p.default_value)(ns_));
  }
  if (values.empty()) return py::none();
  py::tuple out(values.size());
  for (size_t i = 0; i < values.size(); ++i) out[i] = values[i];
  return out;
}

void Function::raise_too_many(size_t given) const {
  // "f() takes 2 positional arguments but 3 were given", with "from 1 to 2"
  // when some have defaults
  const size_t count = spec_.params.size();
  const bool defaults = required_ < count;
  const std::string takes =
      defaults ? "from " + std::to_string(required_) + " to " + std::to_string(count) : std::to_string(count);
  const bool plural = defaults || count != 1;
  raise_type_error(spec_.name + "() takes " + takes + " positional argument" + (plural ? "s" : "") + " but " +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

void Function::raise_missing(const std::vector<py::object>& values) const {
  // "f() missing 2 required positional arguments: 'a' and 'b'" (three and
  // more: "'a', 'b', and 'c'"), the names as repr() shows them
  std::vector<std::string> names;
  for (size_t i = 0; i < required_; ++i) {
    if (!values[i]) names.push_back(py::repr(py::str(spec_.params[i].name)).cast<std::string>());
  }
  std::string listed;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) listed += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    listed += names[i];
  }
  raise_type_error(spec_.name + "() missing " + std::to_string(names.size()) + " required positional argument" +
                   (names.size() == 1 ? "" : "s") + ": " + listed);
}

std::vector<py::object> Function::bind(const py::args& args, const py::kwargs& kwargs) const {
  // As CPython binds the arguments of a Python function with the same
  // parameters (positional-only for kOneArg) and reports what does not fit,
  // in its order: keywords first (each must name a parameter that takes
  // keywords and that no positional argument took), then too many positional
  // arguments, then missing ones.
  const size_t nargs = args.size();
  const size_t nparams = spec_.params.size();
  const bool keywords_allowed = spec_.form == CallForm::kPosOrKeyword;
  std::vector<py::object> values(nparams);
  for (size_t i = 0; i < std::min(nargs, nparams); ++i) values[i] = args[i];
  if (kwargs && kwargs.size() != 0) {
    for (auto item : kwargs) {
      if (!PyUnicode_Check(item.first.ptr())) raise_type_error("keywords must be strings");
      const std::string key = py::str(item.first);
      size_t index = nparams;
      for (size_t i = 0; i < nparams && index == nparams; ++i) {
        if (spec_.params[i].name == key) index = i;
      }
      if (index == nparams || !keywords_allowed) {
        // a positional-only parameter named by any keyword of the call
        std::string positional_only;
        if (!keywords_allowed) {
          for (const Param& p : spec_.params) {
            for (auto named : kwargs) {
              if (PyUnicode_Check(named.first.ptr()) && py::str(named.first).cast<std::string>() == p.name) {
                positional_only += (positional_only.empty() ? "" : ", ") + p.name;
              }
            }
          }
        }
        if (!positional_only.empty()) {
          raise_type_error(spec_.name + "() got some positional-only arguments passed as keyword arguments: '" +
                           positional_only + "'");
        }
        raise_type_error(spec_.name + "() got an unexpected keyword argument '" + key + "'");
      }
      if (values[index]) raise_type_error(spec_.name + "() got multiple values for argument '" + key + "'");
      values[index] = py::reinterpret_borrow<py::object>(item.second);
    }
  }
  if (nargs > nparams) raise_too_many(nargs);
  for (size_t i = nargs; i < required_; ++i) {
    if (!values[i]) raise_missing(values);
  }

  for (size_t i = 0; i < nparams; ++i) {
    if (!values[i]) values[i] = (*spec_.params[i].default_value)(ns_);
  }
  return values;
}

py::object Function::call(const py::args& args, const py::kwargs& kwargs) const {
  Arguments bound(ns_, bind(args, kwargs));
  return spec_.body(bound);
}

void register_function_type(py::module_& m) {
  // Once per process: a module loaded a second time (under another name)
  // shares the type. The module namespace holds only what the module binds
  // itself; the type stays alive for the life of the process.
  static py::object* type = nullptr;
  if (type != nullptr) return;
  py::class_<Function> cls(m, "function", py::module_local(), py::dynamic_attr());
  cls.def("__call__", &Function::call)
      // Like a Python function: pickled by reference (module and name), never
      // copied, and a descriptor, so that inspect and pydoc see a routine.
      .def("__reduce__", [](const py::object& self) { return self.attr("__qualname__"); })
      .def("__copy__", [](const py::object& self) { return self; })
      .def("__deepcopy__", [](const py::object& self, const py::object&) { return self; })
      .def("__get__",
           [](const py::object& self, const py::object& instance, const py::object&) -> py::object {
             if (instance.is_none()) return self;
             return py::module_::import("types").attr("MethodType")(self, instance);
           },
           py::arg("instance"), py::arg("owner") = py::none())
      .def_property_readonly("__defaults__", &Function::defaults)
      .def_property_readonly("__kwdefaults__", [](const Function&) { return py::none(); })
      .def_property_readonly("__code__", &Function::code)
      .def("__repr__", [](py::object self) {
        const Function& f = self.cast<const Function&>();
        return "<function " + f.name() + " of " + f.module_name() + ">";
      });
  type = new py::object(cls);
  py::delattr(m, "function");
}

Namespace module_namespace(py::module_& m) { return Namespace(m.attr("__dict__")); }

namespace {

py::object new_function(py::dict globals, FunctionSpec definition) {
  const std::string name = definition.name;
  std::optional<std::string> doc = definition.doc;
  const std::string module_name = py::str(globals["__name__"]);
  py::object fn = py::cast(Function(std::move(definition), std::move(globals), module_name));
  fn.attr("__name__") = name;
  fn.attr("__qualname__") = name;
  fn.attr("__module__") = module_name;
  fn.attr("__doc__") = doc ? py::object(py::str(*doc)) : py::object(py::none());
  fn.attr("__annotations__") = py::dict();
  return fn;
}

}  // namespace

void define(py::module_& m, FunctionSpec definition) {
  const std::string name = definition.name;
  m.attr(name.c_str()) = new_function(m.attr("__dict__"), std::move(definition));
}

py::object make_function(const Namespace& ns, FunctionSpec definition) {
  return new_function(ns.globals(), std::move(definition));
}

void import_as(py::module_& m, const char* module, const char* local) {
  m.attr(local) = py::module_::import(module);
}

void import_attribute_as(py::module_& m, const char* module, const char* attribute, const char* local) {
  // `from module import attribute as local`
  py::list fromlist;
  fromlist.append(attribute);
  py::object imported = py::reinterpret_steal<py::object>(
      PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
  if (!imported) throw py::error_already_set();
  PyObject* value = PyObject_GetAttrString(imported.ptr(), attribute);
  if (value == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attribute, module);
    throw py::error_already_set();
  }
  m.attr(local) = py::reinterpret_steal<py::object>(value);
}

void import_sibling_as(py::module_& m, const char* name, const char* local) {
  // `from . import name`: the package is the one this module belongs to.
  const std::string full = py::str(m.attr("__name__"));
  const size_t dot = full.rfind('.');
  py::dict context;
  context["__name__"] = full;
  context["__package__"] = dot == std::string::npos ? py::object(py::str(""))
                                                    : py::object(py::str(full.substr(0, dot)));
  py::list fromlist;
  fromlist.append(name);
  py::object package = py::reinterpret_steal<py::object>(
      PyImport_ImportModuleLevel("", context.ptr(), nullptr, fromlist.ptr(), 1));
  if (!package) throw py::error_already_set();
  py::object sibling = py::reinterpret_steal<py::object>(PyObject_GetAttrString(package.ptr(), name));
  if (!sibling) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name,
                 full.substr(0, dot == std::string::npos ? 0 : dot).c_str());
    throw py::error_already_set();
  }
  m.attr(local) = sibling;
}

}  // namespace velmora
