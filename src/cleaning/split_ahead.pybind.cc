#include "cleaning/split_ahead.pybind.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "cleaning/split_lines.pybind.h"
#include "cleaning/worker_threads.h"
#include "common/pyops.h"

namespace velmora {

SplitAhead::SplitAhead(Namespace ns) : ns_(std::move(ns)) {}

SplitAhead::~SplitAhead() {
  stop_readying_.store(true, std::memory_order_relaxed);
  if (worker_.joinable()) {
    py::gil_scoped_release unlocked;
    worker_.join();
  }
}

void SplitAhead::wait() {
  stop_readying_.store(true, std::memory_order_relaxed);
  if (worker_.joinable()) {
    py::gil_scoped_release unlocked;
    worker_.join();
  }
  stop_readying_.store(false, std::memory_order_relaxed);
  in_flight_.reset();
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void SplitAhead::let_text_go() {
  if (!in_flight_) return;
  {
    py::gil_scoped_release unlocked;
    batch_read_.wait(false, std::memory_order_acquire);
  }
  in_flight_.reset();
}

void SplitAhead::make_ready() {
  // in the order the table is written
  const size_t n = parsed_.pieces();
  const size_t columns = object_columns_.load(std::memory_order_relaxed);
  if (!ready_.values.ready_up_to(n * sizeof(float), stop_readying_)) return;
  if (!ready_.times.ready_up_to(n * sizeof(int64_t), stop_readying_)) return;
  if (columns != 0 && n <= SIZE_MAX / sizeof(PyObject*) / columns) {
    ready_.objects.ready_up_to(n * columns * sizeof(PyObject*), stop_readying_);
  }
}

void SplitAhead::add(const py::object& column) {
  wait();
  HeldText& held = in_flight_.emplace(read_text_column(ns_, column));
  const std::span<const packed::Cell> cells = held.column.cells();
  // what split_lines' checks see of the batch: the cells without text, and
  // the first text cell of the whole column
  py::list keep;
  bool first_text = texts_ == 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (!cells[i].has_text || first_text) keep.append(i);
    if (cells[i].has_text) first_text = false;
  }
  if (py::len(keep) != 0) sample_.append(column.attr("take")(keep));
  rows_ += cells.size();
  texts_ += held.column.texts();

  // The caller goes on reading on one core: the batch gets the others.
  const unsigned threads = std::max(packed::worker_threads(), 2u) - 1;
  auto read = [this, cells, threads](bool ahead) {
    bool parsed = false;
    try {
      parsed_.add(cells, threads);
      parsed = true;
    } catch (...) {
      error_ = std::current_exception();
    }
    // the text is not used after this
    batch_read_.store(true, std::memory_order_release);
    batch_read_.notify_all();
    if (parsed && ahead) make_ready();
  };
  batch_read_.store(false, std::memory_order_relaxed);
  try {
    worker_ = std::jthread(read, true);
  } catch (const std::system_error&) {
    // no thread to be had: the batch is read now, and nothing is made ready
    // (the caller would only wait for it)
    py::gil_scoped_release unlocked;
    read(false);
  }
}

py::object SplitAhead::split(const py::object& df, const py::object& rate) {
  ns_.print("splitting data...");
  wait();
  py::object pd = ns_["pd"];
  py::object column = py::len(sample_) == 0 ? df["obsvalue"].attr("iloc")[py::slice(0, 0, 1)]
                                            : pd.attr("concat")(sample_, py::arg("ignore_index") = true);
  refuse_no_text(ns_, column);
  refuse_unsplittable(ns_, df, column, texts_, rows_);
  const size_t rows = py::len(df);
  py::array numbers = checked_array(df["obsvalue"].attr("to_numpy")(), 'i', 8, rows, "row numbers");
  std::vector<size_t> order(rows);
  for (size_t i = 0; i < rows; ++i) {
    order[i] = static_cast<size_t>(*static_cast<const int64_t*>(numbers.data(static_cast<py::ssize_t>(i))));
  }
  return samples_of(
      ns_, df, rate,
      [&](const std::optional<packed::Stamp>& stamp) { return packed::Split(parsed_, order, stamp); }, &ready_);
}

}  // namespace velmora
