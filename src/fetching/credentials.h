// Credentials in connection URLs and in printed lines.
#pragma once

#include <string>
#include <string_view>

namespace velmora::credentials {

// Percent-encodes every byte other than ASCII letters, digits and "_.-~" as
// %XX with upper-case hex (a blank becomes %20), so that a URL parser gives
// back exactly the text: "p@ss/w:rd" -> "p%40ss%2Fw%3Ard".
std::string percent_encoded(std::string_view text);

// `line` with every occurrence of the secret, as stored and as encoded for a
// URL, replaced by "***". An empty secret hides nothing.
std::string masked(std::string_view line, std::string_view secret);

}  // namespace velmora::credentials
