#include "fetching/stack.h"

#include <tuple>

namespace velmora::stack {
namespace {

// The number at the front of `text`, which is then advanced past it.
std::optional<int> number(std::string_view& text) {
  size_t digits = 0;
  int value = 0;
  while (digits < text.size() && digits < 6 && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + (text[digits] - '0');
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  text.remove_prefix(digits);
  return value;
}

bool before(const Release& a, const Release& b) {
  return std::tie(a.major, a.minor, a.patch) < std::tie(b.major, b.minor, b.patch);
}

std::string text(const Release& r) {
  return std::to_string(r.major) + "." + std::to_string(r.minor) + "." + std::to_string(r.patch);
}

// The oldest SQLAlchemy a pandas release reads through; releases after the
// last listed one are taken to need what it needs.
Release oldest_sqlalchemy(const Release& pandas) {
  if (before(pandas, {2, 1, 0})) return {1, 4, 16};
  if (before(pandas, {2, 2, 0})) return {1, 4, 36};
  if (before(pandas, {3, 0, 0})) return {2, 0, 0};
  return {2, 0, 36};
}

constexpr const char* kCombinations =
    "Combinations that work: pandas 1.5 with SQLAlchemy 1.4; pandas 2.0 or 2.1 with SQLAlchemy 1.4 or 2; "
    "pandas 2.2 with SQLAlchemy 2.0 or 2.1; pandas 3 with SQLAlchemy 2.0.36 or later 2.0, or 2.1.";

}  // namespace

std::optional<Release> release(std::string_view version) {
  Release out;
  const std::optional<int> major = number(version);
  if (!major || version.empty() || version.front() != '.') return std::nullopt;
  version.remove_prefix(1);
  const std::optional<int> minor = number(version);
  if (!minor) return std::nullopt;
  out.major = *major;
  out.minor = *minor;
  if (!version.empty() && version.front() == '.') {
    version.remove_prefix(1);
    out.patch = number(version).value_or(0);
  }
  return out;
}

std::optional<std::string> incompatible(std::string_view pandas, std::string_view sqlalchemy) {
  const std::optional<Release> p = release(pandas), s = release(sqlalchemy);
  if (!p || !s) return std::nullopt;
  const std::string installed = "velmora.fetching cannot work with the installed pandas " + std::string(pandas) +
                                " and SQLAlchemy " + std::string(sqlalchemy) + ": ";
  if (before(*p, {2, 0, 0}) && !before(*s, {2, 0, 0})) {
    return installed +
           "pandas before 2.0 does not work with SQLAlchemy 2 (its reads fail with "
           "'OptionEngine' object has no attribute 'execute'). " +
           kCombinations + " For example: pip install \"SQLAlchemy>=1.4,<2\", or pip install \"pandas>=2.2\".";
  }
  const Release oldest = oldest_sqlalchemy(*p);
  if (before(*s, oldest)) {
    const std::string upgrade = oldest.major >= 2 ? "\"SQLAlchemy>=" + text(oldest) + ",<2.2\""
                                                  : "\"SQLAlchemy>=" + text(oldest) + ",<2\"";
    return installed + "pandas " + std::to_string(p->major) + "." + std::to_string(p->minor) +
           " needs SQLAlchemy " + text(oldest) +
           " or later (with an older one the first read fails with 'Engine' object has no attribute 'cursor'). " +
           kCombinations + " For example: pip install " + upgrade + ".";
  }
  return std::nullopt;
}

}  // namespace velmora::stack
