#include "fetching/credentials.h"

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

}  // namespace velmora::credentials
