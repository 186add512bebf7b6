#include "cleaning/sample_table.pybind.h"

#include "cleaning/worker_threads.h"
#include "common/frames.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace velmora {
namespace {

// The memory of a table's block of object columns, written in full here
// before numpy sees it: an object array that numpy allocates starts zeroed,
// on one thread, only for every element to be written once more. Until it
// is wrapped, the memory holds no references; the array it becomes owns
// one reference per element and releases them with its last view.
class ObjectBlock {
 public:
  ObjectBlock(size_t elements, packed::ReadyMemory* ready) : elements_(elements) {
    if (elements > SIZE_MAX / sizeof(PyObject*)) throw std::bad_alloc();
    const size_t bytes = elements * sizeof(PyObject*);
    if (ready != nullptr) {
      memory_ = ready->take(bytes);
    } else {
      memory_ = packed::ReadyBlock::allocated(bytes);
    }
  }
  ObjectBlock(const ObjectBlock&) = delete;
  ObjectBlock& operator=(const ObjectBlock&) = delete;
  ~ObjectBlock() { memory_.release(); }

  PyObject** data() { return static_cast<PyObject**>(memory_.data); }

  // The array of `rows` rows of `columns` elements over the memory, once
  // every element holds its reference.
  py::array wrap(size_t rows, size_t columns) && {
    std::unique_ptr<Owned> owned(new Owned{packed::ReadyBlock{}, elements_});
    owned->memory = std::exchange(memory_, {});
    PyObject** data = static_cast<PyObject**>(owned->memory.data);
    // (without a capsule, `owned` lets the references and the memory go)
    py::capsule owner(owned.get(), [](void* memory) { delete static_cast<Owned*>(memory); });
    owned.release();  // the capsule's now
    const auto r = static_cast<py::ssize_t>(rows), c = static_cast<py::ssize_t>(columns);
    const auto size = static_cast<py::ssize_t>(sizeof(PyObject*));
    return py::array(py::dtype("O"), std::vector<py::ssize_t>{r, c}, std::vector<py::ssize_t>{c * size, size},
                     data, owner);
  }

 private:
  // The filled memory with its references, released together. A row's
  // value fills a run of positions: the run's references but one go at
  // once (the object outlives them, holding the last), then the last, which
  // may free it.
  struct Owned {
    packed::ReadyBlock memory;
    size_t elements;
    ~Owned() {
      auto* const* values = static_cast<PyObject**>(memory.data);
      for (size_t i = 0, next = 0; i < elements; i = next) {
        PyObject* value = values[i];
        for (next = i + 1; next < elements && values[next] == value;) ++next;
        if (value == nullptr) continue;
        Py_SET_REFCNT(value, Py_REFCNT(value) - static_cast<Py_ssize_t>(next - i - 1));
        Py_DECREF(value);
      }
      memory.release();
    }
  };
  packed::ReadyBlock memory_;
  size_t elements_;
};

bool is_object_dtype(const py::handle& dtype) {
  return py::isinstance<py::dtype>(dtype) && py::reinterpret_borrow<py::dtype>(dtype).kind() == 'O';
}

bool all_object_columns(const py::object& frame) {
  for (const py::handle dtype : frame.attr("dtypes")) {
    if (!is_object_dtype(dtype)) return false;
  }
  return true;
}

// The columns of `others` with each row's values repeated at its result
// positions, indexed by `index`. Columns of numpy objects are filled here,
// one reference stored per position; others (numbers, pandas' string and
// Arrow columns) are taken by pandas, which keeps their dtypes.
py::object repeated_columns(const Namespace& ns, const py::object& others, const packed::Split& split,
                            const py::object& index, packed::ReadyMemory* ready) {
  if (!all_object_columns(others)) {
    if (ready != nullptr) ready->clear();
    py::object repeated = others.attr("take")(result_rows(split));
    repeated.attr("index") = index;
    return repeated;
  }
  const size_t rows = split.rows(), n = split.size();
  const auto columns = static_cast<size_t>(py::len(others.attr("columns")));
  py::array source = ns["np"].attr("ascontiguousarray")(others.attr("to_numpy")(py::arg("dtype") = "object"));
  if (!is_object_dtype(source.dtype()) || source.ndim() != 2 || static_cast<size_t>(source.shape(0)) != rows ||
      static_cast<size_t>(source.shape(1)) != columns) {
    throw py::type_error("the other columns did not convert to a table of objects");
  }
  const auto* values = static_cast<PyObject* const*>(source.data());
  // one column after the other: the table's block of object columns
  ObjectBlock block(columns * n, ready);
  PyObject** const out = block.data();
  // The references first, under the interpreter lock: each row's values gain
  // one per sample of the row. Then the pointers, without it, a share of the
  // columns on each thread: nothing else sees the block yet. Every position
  // of every column is written once (for_each_block).
  for (size_t row = 0; row < rows; ++row) {
    for (size_t c = 0; c < columns; ++c) {
      PyObject* value = values[row * columns + c];
      Py_SET_REFCNT(value, Py_REFCNT(value) + static_cast<Py_ssize_t>(split.samples_in(row)));
    }
  }
  const unsigned threads = split.worth_threads() ? packed::worker_threads() : 1;
  const auto parts = static_cast<unsigned>(std::clamp<size_t>(threads, 1, std::max<size_t>(columns, 1)));
  std::vector<size_t> bounds;
  for (unsigned t = 0; t <= parts; ++t) bounds.push_back(columns * t / parts);
  {
    py::gil_scoped_release unlocked;
    packed::run_shared(bounds, [&](size_t, size_t from, size_t to) {
      split.for_each_block([&](std::span<const size_t> rows_side_by_side, size_t at, size_t slots) {
        for (size_t c = from; c < to; ++c) {
          PyObject** slot = out + c * n + at;
          if (rows_side_by_side.size() == 1) {
            std::fill(slot, slot + slots, values[rows_side_by_side[0] * columns + c]);
            continue;
          }
          for (size_t s = 0; s < slots; ++s) {
            for (const size_t row : rows_side_by_side) *slot++ = values[row * columns + c];
          }
        }
      });
    });
  }
  py::array filled = std::move(block).wrap(columns, n);
  // pandas would copy a block it does not own; false keeps this one
  return ns["pd"].attr("DataFrame")(filled.attr("T"), py::arg("index") = index,
                                    py::arg("columns") = others.attr("columns"), py::arg("dtype") = "object",
                                    py::arg("copy") = false);
}

}  // namespace

py::array result_array(const py::dtype& dtype, size_t n, packed::ReadyMemory* ready) {
  const auto size = static_cast<size_t>(dtype.itemsize());
  if (ready == nullptr) return py::array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
  if (n > SIZE_MAX / size) throw std::bad_alloc();
  // the memory, given back with the array's last view (or here, without a
  // capsule)
  struct Owned {
    packed::ReadyBlock block;
    ~Owned() { block.release(); }
  };
  auto owned = std::make_unique<Owned>();
  owned->block = ready->take(n * size);
  void* data = owned->block.data;
  py::capsule owner(owned.get(), [](void* memory) { delete static_cast<Owned*>(memory); });
  owned.release();  // the capsule's now
  return py::array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)},
                   std::vector<py::ssize_t>{static_cast<py::ssize_t>(size)}, data, owner);
}

py::array_t<int64_t> result_rows(const packed::Split& split) {
  py::array_t<int64_t> rows(static_cast<py::ssize_t>(split.size()));
  int64_t* out = rows.mutable_data();
  split.for_each_block([&](std::span<const size_t> block, size_t at, size_t slots) {
    for (size_t s = 0; s < slots; ++s) {
      for (const size_t row : block) out[at++] = static_cast<int64_t>(row);
    }
  });
  return rows;
}

py::object sample_table(const Namespace& ns, const py::object& others, const packed::Split& split,
                        const py::object& index, const py::array_t<float>& values, ReadyResult* ready) {
  py::object pd = ns["pd"];
  py::list obsvalue;
  obsvalue.append("obsvalue");
  py::object result = pd.attr("DataFrame")(values.attr("reshape")(-1, 1), py::arg("index") = index,
                                           py::arg("columns") = obsvalue, py::arg("copy") = false);
  packed::ReadyMemory* objects = ready != nullptr ? &ready->objects : nullptr;
  if (py::len(others.attr("columns")) == 0) {
    if (objects != nullptr) objects->clear();
    return result;
  }
  py::list parts;
  parts.append(repeated_columns(ns, others, split, index, objects));
  parts.append(result);
  if (copies_lazily(pd)) return pd.attr("concat")(parts, py::arg("axis") = 1);
  return pd.attr("concat")(parts, py::arg("axis") = 1, py::arg("copy") = false);
}

}  // namespace velmora
