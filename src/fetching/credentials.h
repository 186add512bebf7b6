// Credentials in connection URLs and in printed lines.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::credentials {

// Percent-encodes every byte other than ASCII letters, digits and "_.-~" as
// %XX with upper-case hex (a blank becomes %20), so that a URL parser gives
// back exactly the text: "p@ss/w:rd" -> "p%40ss%2Fw%3Ard".
std::string percent_encoded(std::string_view text);

// `line` with every occurrence of the secret, as stored and as encoded for a
// URL, replaced by "***". An empty secret hides nothing.
std::string masked(std::string_view line, std::string_view secret);

// `line` with every secret masked as above, the longest first.
std::string masked(std::string_view line, std::span<const std::string> secrets);

// The pieces of a configuration value, as stored (before the parser expands
// "%" references), under which the parser's error messages quote it: the
// whole value, its tail from each "%", and each reference name "%(key)s"
// quoted as 'key'.
std::vector<std::string> stored_value_forms(std::string_view stored);

}  // namespace velmora::credentials
