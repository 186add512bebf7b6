#include "fetching/credentials.h"

#include <algorithm>

namespace velmora::credentials {
namespace {

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '-' || c == '~';
}

void replace_all(std::string& text, std::string_view what, std::string_view with) {
  if (what.empty()) return;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

}  // namespace

std::string percent_encoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (unreserved(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string masked(std::string_view line, std::string_view secret) {
  std::string out(line);
  // the longer form first, so that neither leaves a piece of the other
  const std::string encoded = percent_encoded(secret);
  if (encoded.size() >= secret.size()) {
    replace_all(out, encoded, "***");
    replace_all(out, secret, "***");
  } else {
    replace_all(out, secret, "***");
    replace_all(out, encoded, "***");
  }
  return out;
}

std::string masked(std::string_view line, std::span<const std::string> secrets) {
  std::vector<std::string> ordered(secrets.begin(), secrets.end());
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::string out(line);
  for (const std::string& secret : ordered) out = masked(out, secret);
  return out;
}

std::vector<std::string> stored_value_forms(std::string_view stored) {
  std::vector<std::string> forms;
  if (stored.empty()) return forms;
  forms.emplace_back(stored);
  for (size_t at = stored.find('%'); at != std::string_view::npos; at = stored.find('%', at + 1)) {
    if (stored.size() - at >= 2) forms.emplace_back(stored.substr(at));
    if (at + 1 < stored.size() && stored[at + 1] == '(') {
      const size_t close = stored.find(')', at + 2);
      if (close != std::string_view::npos && close > at + 2) {
        forms.push_back("'" + std::string(stored.substr(at + 2, close - at - 2)) + "'");
      }
    }
  }
  return forms;
}

}  // namespace velmora::credentials
