#include "fetching/sections.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::sections {
namespace {

using Names = std::vector<std::string>;

TEST(Missing, NamesTheSectionOfAnotherCase) {
  EXPECT_EQ(missing("Sample", Names{"/w/default.conf"}, Names{"/w/default.conf", "/h/.velmo/default.conf"},
                    Names{"sample"}, Names{"sample", "mysql"}),
            "no section 'Sample' in /w/default.conf; there is 'sample' (section names are case-sensitive)");
  EXPECT_EQ(missing("QZ", Names{"a.conf", "b.conf"}, Names{}, Names{"qz", "Qz"}, Names{"qz", "Qz"}),
            "no section 'QZ' in a.conf, b.conf; there is 'qz', 'Qz' (section names are case-sensitive)");
}

TEST(Missing, ListsTheSectionsThereAre) {
  EXPECT_EQ(missing("x", Names{"/w/default.conf", "/h/.velmo/default.conf"}, Names{}, Names{}, Names{"a", "b"}),
            "no section 'x' in /w/default.conf, /h/.velmo/default.conf; sections there: 'a', 'b'");
  EXPECT_EQ(missing("x", Names{"/w/default.conf"}, Names{}, Names{}, Names{}),
            "no section 'x' in /w/default.conf; there is no section at all");
}

TEST(Missing, SaysWhereItLookedWhenNothingWasRead) {
  EXPECT_EQ(missing("x", Names{}, Names{"/w/default.conf", "/h/.velmo/default.conf"}, Names{}, Names{}),
            "no section 'x': no file could be read (looked for /w/default.conf and /h/.velmo/default.conf)");
  EXPECT_EQ(missing("x", Names{}, Names{"/w/default.conf"}, Names{}, Names{}),
            "no section 'x': no file could be read (looked for /w/default.conf)");
  EXPECT_EQ(missing("x", Names{}, Names{"a", "b", "c"}, Names{}, Names{}),
            "no section 'x': no file could be read (looked for a, b and c)");
}

}  // namespace
}  // namespace velmora::sections
