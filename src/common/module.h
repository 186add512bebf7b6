// The entry point of an extension module.
//
// Loading stops at the first step that fails and raises that step's own
// error (a missing dependency gives its ModuleNotFoundError), rather than a
// generic "initialization failed" wrapped around it.
#pragma once

#include <pybind11/pybind11.h>

#define VELMORA_MODULE(name, variable)                                                   \
  static void velmora_init_##name(::pybind11::module_&);                                 \
  extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                 \
    PYBIND11_CHECK_PYTHON_VERSION                                                        \
    try {                                                                                \
      /* one definition per module object; a module may be loaded more than once */      \
      auto module = ::pybind11::module_::create_extension_module(#name, nullptr, new PyModuleDef()); \
      velmora_init_##name(module);                                                       \
      return module.release().ptr();                                                     \
    } catch (::pybind11::error_already_set & e) {                                        \
      e.restore();                                                                       \
    } catch (const std::exception& e) {                                                  \
      PyErr_SetString(PyExc_ImportError, e.what());                                      \
    }                                                                                    \
    return nullptr;                                                                      \
  }                                                                                      \
  void velmora_init_##name(::pybind11::module_& variable)
