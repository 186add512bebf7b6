// What to say when a configuration file has no section of the name asked for.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace velmora::sections {

// One line naming the section, the files read (or, when none could be read,
// the files looked for), and the sections whose names differ from it only in
// case (section names are case-sensitive), else the sections there are:
//   no section 'Sample' in /w/default.conf; there is 'sample' (section names are case-sensitive)
//   no section 'x' in /w/default.conf, /h/.velmo/default.conf; sections there: 'a', 'b'
//   no section 'x': no file could be read (looked for /w/default.conf)
std::string missing(std::string_view section, std::span<const std::string> files_read,
                    std::span<const std::string> looked_for, std::span<const std::string> other_case,
                    std::span<const std::string> present);

}  // namespace velmora::sections
