#include "fetching/request.h"

#include <array>
#include <utility>

namespace velmora::request {
namespace {

struct RateName {
  std::string_view name;
  SamplingRate rate;
};

constexpr SamplingRate kSeconds{"02", 1, 86400};
constexpr SamplingRate kMinutes{"01", 60, 1440};
constexpr SamplingRate kHours{"60", 3600, 24};
constexpr SamplingRate kDays{"90", 86400, 1};

constexpr std::array<RateName, 8> kRates{{
    {"秒钟值", kSeconds}, {"秒值", kSeconds}, {"分钟值", kMinutes}, {"分值", kMinutes},
    {"小时值", kHours},   {"整点值", kHours}, {"日均值", kDays},   {"日值", kDays},
}};

constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kBases{{
    {"原始库", "DYS"}, {"预处理库", "DYU"}, {"产品库", "CP"},
}};

constexpr std::array<std::pair<std::string_view, char>, 3> kDisciplines{{
    {"形变", '2'}, {"电磁", '3'}, {"流体", '4'},
}};

}  // namespace

std::optional<SamplingRate> sampling_rate(std::string_view name) {
  for (const RateName& entry : kRates) {
    if (entry.name == name) return entry.rate;
  }
  return std::nullopt;
}

std::optional<std::string_view> data_base(std::string_view name) {
  for (const auto& [base, code] : kBases) {
    if (base == name) return code;
  }
  return std::nullopt;
}

std::string sampling_rate_names() {
  std::string out;
  for (const RateName& entry : kRates) {
    if (!out.empty()) out += ", ";
    out += "'" + std::string(entry.name) + "'";
  }
  return out;
}

std::string data_base_names() {
  std::string out;
  for (const auto& entry : kBases) {
    if (!out.empty()) out += ", ";
    out += "'" + std::string(entry.first) + "'";
  }
  return out;
}

std::string empty_row(const SamplingRate& rate) {
  std::string out;
  out.reserve(static_cast<size_t>(rate.samples_per_row) * 5);
  for (int i = 0; i < rate.samples_per_row; ++i) {
    if (i) out += ' ';
    out += "NULL";
  }
  return out;
}

std::optional<char> discipline_digit(std::string_view name) {
  for (const auto& [discipline, digit] : kDisciplines) {
    if (discipline == name) return digit;
  }
  return std::nullopt;
}

}  // namespace velmora::request
