// The floor a plain loop sets: split packed rows on blanks, read each piece
// with std::from_chars and write its value (float32, NaN where from_chars
// reads nothing) and its time (the row's start plus the piece's position
// times the step). One thread, row order, no placeholders beyond what
// from_chars refuses, no result table: what bench_split_lines.py compares
// split_lines with.
//
//     from_chars_loop FILE [REPEAT]
//
// FILE holds one row per line: the start in nanoseconds, a blank, the step in
// nanoseconds, a tab, the packed text. Prints the samples and the best time
// of REPEAT runs (default 5) in seconds as JSON.
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Row {
  int64_t start;
  int64_t step;
  std::string_view text;
};

// Reads the whole file; the rows view `data`.
std::vector<Row> read_rows(const std::string& data) {
  std::vector<Row> rows;
  size_t at = 0;
  while (at < data.size()) {
    size_t line_end = data.find('\n', at);
    if (line_end == std::string::npos) line_end = data.size();
    const size_t tab = data.find('\t', at);
    if (tab == std::string::npos || tab > line_end) {
      std::fprintf(stderr, "a line without a tab\n");
      std::exit(2);
    }
    Row row{};
    const char* p = data.data() + at;
    auto [mid, e1] = std::from_chars(p, data.data() + tab, row.start);
    auto [last, e2] = std::from_chars(mid + 1, data.data() + tab, row.step);
    if (e1 != std::errc() || e2 != std::errc() || last != data.data() + tab) {
      std::fprintf(stderr, "a line without its start and step\n");
      std::exit(2);
    }
    row.text = std::string_view(data.data() + tab + 1, line_end - tab - 1);
    rows.push_back(row);
    at = line_end + 1;
  }
  return rows;
}

size_t count_samples(const std::vector<Row>& rows) {
  size_t n = 0;
  for (const Row& row : rows) {
    n += 1;
    for (const char c : row.text) n += c == ' ';
  }
  return n;
}

void split(const std::vector<Row>& rows, float* value, int64_t* time) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  size_t k = 0;
  for (const Row& row : rows) {
    const char* p = row.text.data();
    const char* const end = p + row.text.size();
    int64_t t = row.start;
    while (true) {
      const void* blank = std::memchr(p, ' ', static_cast<size_t>(end - p));
      const char* stop = blank != nullptr ? static_cast<const char*>(blank) : end;
      double v;
      const auto [read, ec] = std::from_chars(p, stop, v);
      value[k] = ec == std::errc() && read == stop ? static_cast<float>(v) : kNaN;
      time[k] = t;
      t += row.step;
      ++k;
      if (stop == end) break;
      p = stop + 1;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: from_chars_loop FILE [REPEAT]\n");
    return 2;
  }
  const int repeat = argc > 2 ? std::atoi(argv[2]) : 5;
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  std::stringstream whole;
  whole << in.rdbuf();
  const std::string data = whole.str();
  const std::vector<Row> rows = read_rows(data);
  const size_t n = count_samples(rows);

  double best = std::numeric_limits<double>::infinity();
  double checksum = 0;
  for (int r = 0; r < repeat; ++r) {
    // the result arrays are new for every run, as a result table's are
    std::vector<float> value;
    std::vector<int64_t> time;
    const auto began = std::chrono::steady_clock::now();
    value.resize(n);
    time.resize(n);
    split(rows, value.data(), time.data());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    if (took.count() < best) best = took.count();
    checksum = 0;
    for (size_t i = 0; i < n; i += 997) checksum += std::isnan(value[i]) ? 0 : value[i] + static_cast<double>(time[i] % 1000);
  }
  std::printf("{\"samples\": %zu, \"seconds\": %.6f, \"checksum\": %.3f}\n", n, best, checksum);
  return 0;
}
