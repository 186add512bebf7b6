// Module-level functions with the calling forms of plain Python functions.
//
// Every public function of the three extension modules is an instance of one
// callable type defined here. It carries what analysts and tools expect of a
// function (__name__, __qualname__, __module__, __doc__, __defaults__,
// __kwdefaults__ and a code object that inspect.signature() reads), checks its
// arguments before the body runs, and hands the body the module namespace so
// that names such as `pd` or `dt` are looked up at call time.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

namespace py = pybind11;

// The globals of one extension module, looked up by name at call time the way
// a Python function looks up its globals: module dict first, then builtins.
class Namespace {
 public:
  explicit Namespace(py::dict globals) : globals_(std::move(globals)) {}

  // Raises NameError, as Python does, when the name is bound nowhere.
  py::object operator[](const char* name) const;

  // print(*args) through whatever `print` means in the module right now.
  template <typename... Args>
  void print(Args&&... args) const {
    (*this)["print"](std::forward<Args>(args)...);
  }

  const py::dict& globals() const { return globals_; }

 private:
  py::dict globals_;
};

// How a function accepts its arguments.
enum class CallForm {
  kNoArgs,         // f(): any argument or keyword is refused
  kOneArg,         // f(x): exactly one argument, by position only
  kPosOrKeyword,   // every parameter by position or by name
};

// A default value: fixed when the function is made, or computed from the
// module namespace each time it is needed.
using DefaultFn = std::function<py::object(const Namespace&)>;

struct Param {
  std::string name;
  std::optional<DefaultFn> default_value;  // empty: the parameter is required

  static Param required(std::string name) { return Param{std::move(name), std::nullopt}; }
  static Param with_default(std::string name, py::object value);
  static Param computed(std::string name, DefaultFn fn) {
    return Param{std::move(name), std::move(fn)};
  }
};

// Arguments after binding: one value per parameter, in parameter order.
class Arguments {
 public:
  Arguments(const Namespace& ns, std::vector<py::object> values)
      : ns_(ns), values_(std::move(values)) {}
  const py::object& operator[](size_t i) const { return values_.at(i); }
  size_t size() const { return values_.size(); }
  const Namespace& ns() const { return ns_; }

 private:
  const Namespace& ns_;
  std::vector<py::object> values_;
};

using Body = std::function<py::object(const Arguments&)>;

struct FunctionSpec {
  std::string name;
  CallForm form = CallForm::kPosOrKeyword;
  std::vector<Param> params = {};
  std::optional<std::string> doc = std::nullopt;
  Body body = {};
};

class Function {
 public:
  Function(FunctionSpec definition, py::dict module_globals, std::string module_name);

  py::object call(const py::args& args, const py::kwargs& kwargs) const;

  const std::string& name() const { return spec_.name; }
  const std::string& module_name() const { return module_name_; }
  const std::optional<std::string>& doc() const { return spec_.doc; }
  py::object defaults() const;
  py::object code() const { return code_; }

 private:
  std::vector<py::object> bind(const py::args& args, const py::kwargs& kwargs) const;
  // CPython's TypeErrors for the same parameters.
  [[noreturn]] void raise_too_many(size_t given) const;
  [[noreturn]] void raise_missing(const std::vector<py::object>& values) const;

  FunctionSpec spec_;
  Namespace ns_;
  std::string module_name_;
  size_t required_ = 0;
  py::object code_;
};

// Registers the callable type in `m` (once per module; the type is local to
// each extension module).
void register_function_type(py::module_& m);

// Creates the function described by `definition` and binds it in `m` under its name.
void define(py::module_& m, FunctionSpec definition);

// Creates the function described by `definition` in the module whose
// namespace is `ns`, without binding it there: a callable handed to a library
// (a driver's callback), with the signature and __code__ of a plain function.
py::object make_function(const Namespace& ns, FunctionSpec definition);

// The value bound to `name` in module `m` (its globals).
Namespace module_namespace(py::module_& m);

// Imports `module` and binds it as `local` in `m`.
void import_as(py::module_& m, const char* module, const char* local);

// Binds the attribute `attribute` of module `module` as `local` in `m`.
void import_attribute_as(py::module_& m, const char* module, const char* attribute, const char* local);

// Binds the sibling module `name` of the package that holds `m`, imported
// relatively (level 1), as `local`.
void import_sibling_as(py::module_& m, const char* name, const char* local);

}  // namespace velmora
