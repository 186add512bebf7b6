// Packed rows split while they are read.
//
// A fetch hands the packed column of each batch of rows to add() as the
// batch arrives. The batch's pieces are read on the kernel's threads while
// the caller goes on reading the next batch; the batch's text is let go as
// soon as its pieces are read, so that the text of one batch at a time is
// alive rather than that of the whole request. Once every batch is in,
// split() makes the table that split_lines makes of the same rows, in the
// order the caller has sorted them into.
//
// While the caller reads, the thread that has read a batch goes on to make
// the memory of the result ready (ready_memory.h) as far as the pieces read
// so far need it, until the next batch comes: the table is then written at
// the end into memory that is already there.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <optional>
#include <thread>

#include "cleaning/parsed_rows.h"
#include "cleaning/sample_table.pybind.h"
#include "cleaning/text_column.pybind.h"
#include "common/function.h"

namespace velmora {

namespace py = pybind11;

class SplitAhead {
 public:
  // `ns`: the namespace split_lines runs in (its pandas, numpy and print).
  explicit SplitAhead(Namespace ns);
  SplitAhead(const SplitAhead&) = delete;
  SplitAhead& operator=(const SplitAhead&) = delete;
  // Waits for a batch still being read.
  ~SplitAhead();

  // The packed column of the next rows: they are numbered on from those
  // added before.
  void add(const py::object& column);
  size_t rows() const { return rows_; }
  // Once the last batch is added: lets its text go as soon as its pieces
  // are read, while the result's memory goes on being made ready.
  void let_text_go();
  // The number of columns of objects that the result is expected to repeat
  // beside its values, for the memory made ready: a guess that costs
  // nothing but time when it is wrong.
  void expect_object_columns(size_t columns) { object_columns_ = columns; }

  // split_lines(df, rate) (a rate up to 3600 seconds) of the rows added,
  // where df["obsvalue"] holds each row's number in place of its text: the
  // same table, the same line printed, the same errors.
  py::object split(const py::object& df, const py::object& rate);

 private:
  // Waits for the batch in flight, lets its text go and rethrows what the
  // reading of it threw.
  void wait();
  // On the worker, once a batch is read: makes the result's memory ready as
  // far as the pieces read so far need it, until wait() stops it.
  void make_ready();

  Namespace ns_;
  packed::ParsedRows parsed_;
  std::optional<HeldText> in_flight_;
  std::jthread worker_;
  std::exception_ptr error_;
  ReadyResult ready_;
  std::atomic<bool> stop_readying_{false};
  std::atomic<bool> batch_read_{true};  // the pieces of the batch in flight are read
  std::atomic<size_t> object_columns_{0};
  size_t rows_ = 0;
  size_t texts_ = 0;
  // The packed column as far as what split_lines checks of it goes: the
  // cells without text of every batch, and its first text cell.
  py::list sample_;
};

}  // namespace velmora
