#include "cleaning/text_column.pybind.h"

#include <stdexcept>
#include <string>

namespace velmora {
namespace {

bool is_instance(const py::handle& value, const py::object& module, const char* type) {
  return py::hasattr(module, type) && py::isinstance(value, module.attr(type));
}

// The Arrow arrays (a pyarrow ChunkedArray) behind a column that pandas keeps
// in Arrow memory, when every one is a string array; None otherwise.
py::object arrow_strings(const Namespace& ns, const py::object& column) {
  py::object pd = ns["pd"];
  py::object dtype = column.attr("dtype");
  bool arrow = is_instance(dtype, pd, "ArrowDtype");
  if (!arrow && is_instance(dtype, pd, "StringDtype")) {
    arrow = py::str(dtype.attr("storage")).cast<std::string>().rfind("pyarrow", 0) == 0;
  }
  if (!arrow) return py::none();
  py::object values = column.attr("array");
  if (!py::hasattr(values, "__arrow_array__")) return py::none();
  py::object chunked = values.attr("__arrow_array__")();
  if (!py::hasattr(chunked, "chunks")) return py::none();
  for (const py::handle chunk : chunked.attr("chunks")) {
    const std::string type = py::str(chunk.attr("type"));
    if (type != "string" && type != "large_string") return py::none();
  }
  return chunked;
}

// Address and size of a pyarrow Buffer, or none for None.
std::pair<const void*, size_t> buffer_of(const py::handle& buffer) {
  if (buffer.is_none()) return {nullptr, 0};
  const auto address = buffer.attr("address").cast<uintptr_t>();
  const auto size = buffer.attr("size").cast<size_t>();
  return {reinterpret_cast<const void*>(address), size};
}

void add_arrow_chunks(const py::object& chunked, packed::TextColumn& column) {
  for (const py::handle chunk : chunked.attr("chunks")) {
    packed::ArrowStrings array;
    array.length = py::len(chunk);
    array.offset = chunk.attr("offset").cast<int64_t>();
    array.large = py::str(chunk.attr("type")).cast<std::string>() == "large_string";
    py::list buffers = chunk.attr("buffers")();
    if (py::len(buffers) != 3) throw py::type_error("obsvalue: an Arrow string array without three buffers");
    const auto [validity, validity_bytes] = buffer_of(buffers[0]);
    std::tie(array.offsets, array.offsets_bytes) = buffer_of(buffers[1]);
    const auto [data, data_bytes] = buffer_of(buffers[2]);
    array.validity = static_cast<const uint8_t*>(validity);
    array.validity_bytes = validity_bytes;
    array.data = static_cast<const char*>(data);
    array.data_bytes = data_bytes;
    try {
      column.add_arrow(array);
    } catch (const std::invalid_argument& e) {
      throw py::value_error(std::string("obsvalue: ") + e.what());
    }
  }
}

}  // namespace

py::array checked_array(const py::handle& value, char kind, py::ssize_t itemsize, size_t length,
                        const char* what) {
  if (!value || !py::isinstance<py::array>(value)) {
    throw py::type_error(std::string(what) + ": expected a numpy array");
  }
  auto array = py::reinterpret_borrow<py::array>(value);
  if (array.dtype().kind() != kind || array.itemsize() != itemsize || array.ndim() != 1 ||
      static_cast<size_t>(array.shape(0)) != length) {
    throw py::type_error(std::string(what) + ": expected " + std::to_string(length) + " elements of kind '" +
                         kind + "', got " + py::repr(array.dtype()).cast<std::string>() + " of shape " +
                         py::repr(py::tuple(array.attr("shape"))).cast<std::string>());
  }
  return array;
}

HeldText read_text_column(const Namespace& ns, const py::object& column) {
  HeldText out;
  const size_t rows = py::len(column);
  out.column.reserve(rows);
  if (py::object chunked = arrow_strings(ns, column); !chunked.is_none()) {
    out.arrow = chunked;
    add_arrow_chunks(chunked, out.column);
    if (out.column.size() != rows) throw py::value_error("obsvalue: the Arrow arrays do not hold one cell per row");
    return out;
  }

  py::array objects = checked_array(column.attr("to_numpy")(py::arg("dtype") = "object"), 'O',
                                    static_cast<py::ssize_t>(sizeof(PyObject*)), rows, "column");
  objects = py::array::ensure(objects, py::array::c_style);
  if (!objects) throw py::type_error("column: no contiguous array of objects");
  const auto* items = static_cast<PyObject* const*>(objects.data());
  out.objects.resize(rows);
  for (size_t i = 0; i < rows; ++i) out.objects[i] = py::reinterpret_borrow<py::object>(items[i]);

  // UTF-8 views of the str objects. Strings that hold lone surrogates have no
  // UTF-8 form; they are encoded with "surrogatepass" and the bytes held too.
  for (size_t i = 0; i < rows; ++i) {
    PyObject* item = out.objects[i].ptr();
    if (!PyUnicode_Check(item)) {
      out.column.add_missing();
      continue;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
      PyErr_Clear();
      auto bytes = py::reinterpret_steal<py::bytes>(PyUnicode_AsEncodedString(item, "utf-8", "surrogatepass"));
      if (!bytes) throw py::error_already_set();
      text = PyBytes_AS_STRING(bytes.ptr());
      size = PyBytes_GET_SIZE(bytes.ptr());
      out.encoded.push_back(std::move(bytes));
    }
    out.column.add_text(std::string_view(text, static_cast<size_t>(size)));
  }
  return out;
}

}  // namespace velmora
