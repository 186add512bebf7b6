// The request vocabulary: sampling-rate and data-base names with their codes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::request {

struct SamplingRate {
  std::string_view code;        // carried by observation table names: "02", "01", "60", "90"
  int seconds;                  // seconds per sample
  int samples_per_row;          // pieces in the packed text of one row
};

// "秒钟值"/"秒值", "分钟值"/"分值", "小时值"/"整点值", "日均值"/"日值".
std::optional<SamplingRate> sampling_rate(std::string_view name);

// "原始库" DYS, "预处理库" DYU, "产品库" CP.
std::optional<std::string_view> data_base(std::string_view name);

// The accepted names, for messages.
std::string sampling_rate_names();
std::string data_base_names();

// Text standing for a row without data: the word NULL once per sample,
// separated by single blanks.
std::string empty_row(const SamplingRate& rate);

// The value by which a caller lifts a restriction: "全部" ("all").
inline constexpr std::string_view kAll = "全部";

// Discipline names and the first digit of their items' codes.
std::optional<char> discipline_digit(std::string_view name);

}  // namespace velmora::request
