#include "fetching/stack.h"

#include <gtest/gtest.h>

#include <tuple>

namespace velmora::stack {
namespace {

TEST(Release, NumbersOfReleasesAndPreReleases) {
  for (auto [text, major, minor, patch] :
       {std::tuple{"2.2.3", 2, 2, 3}, {"1.5.3", 1, 5, 3}, {"2.1.0b1", 2, 1, 0}, {"3.0.0rc1", 3, 0, 0},
        {"2.0.0.dev0+12", 2, 0, 0}, {"10.12", 10, 12, 0}, {"2.0.36", 2, 0, 36}, {"2.1.x", 2, 1, 0}}) {
    const std::optional<Release> r = release(text);
    ASSERT_TRUE(r) << text;
    EXPECT_EQ(std::tie(r->major, r->minor, r->patch), std::tie(major, minor, patch)) << text;
  }
  for (const char* text : {"", "2", "2.", ".2", "v2.2", "unknown", "2.x"}) EXPECT_FALSE(release(text)) << text;
}

TEST(Incompatible, TheCombinationsThatWork) {
  for (auto [pandas, sqlalchemy] :
       {std::pair{"1.5.3", "1.4.54"}, {"1.5.0", "1.4.16"}, {"2.0.3", "1.4.54"}, {"2.0.3", "2.0.59"},
        {"2.1.4", "1.4.36"}, {"2.1.4", "2.0.59"}, {"2.2.0", "2.0.0"}, {"2.2.3", "2.0.59"}, {"2.2.3", "2.1.10"},
        {"3.0.0", "2.0.36"}, {"3.0.6", "2.1.10"}, {"3.1.0rc0", "2.1.0b2"}}) {
    EXPECT_FALSE(incompatible(pandas, sqlalchemy)) << pandas << " " << sqlalchemy;
  }
}

TEST(Incompatible, TheCombinationsThatFailNameBothVersions) {
  for (auto [pandas, sqlalchemy, cause] :
       {std::tuple{"2.2.3", "1.4.54", "pandas 2.2 needs SQLAlchemy 2.0.0 or later"},
        {"3.0.0", "1.4.54", "pandas 3.0 needs SQLAlchemy 2.0.36 or later"},
        {"3.0.6", "2.0.35", "pandas 3.0 needs SQLAlchemy 2.0.36 or later"},
        {"2.1.4", "1.4.35", "pandas 2.1 needs SQLAlchemy 1.4.36 or later"},
        {"1.5.3", "1.4.15", "pandas 1.5 needs SQLAlchemy 1.4.16 or later"},
        {"1.5.3", "2.0.59", "pandas before 2.0 does not work with SQLAlchemy 2"},
        {"1.5.3", "2.1.10", "pandas before 2.0 does not work with SQLAlchemy 2"}}) {
    const std::optional<std::string> message = incompatible(pandas, sqlalchemy);
    ASSERT_TRUE(message) << pandas << " " << sqlalchemy;
    EXPECT_NE(message->find("the installed pandas " + std::string(pandas) + " and SQLAlchemy " + sqlalchemy + ": "),
              std::string::npos)
        << *message;
    EXPECT_NE(message->find(cause), std::string::npos) << *message;
    EXPECT_NE(message->find("Combinations that work: pandas 1.5 with SQLAlchemy 1.4;"), std::string::npos);
  }
  EXPECT_NE(incompatible("2.2.3", "1.4.54")->find("'Engine' object has no attribute 'cursor'"), std::string::npos);
  EXPECT_NE(incompatible("2.2.3", "1.4.54")->find("pip install \"SQLAlchemy>=2.0.0,<2.2\""), std::string::npos);
  EXPECT_NE(incompatible("1.5.3", "2.0.59")->find("'OptionEngine' object has no attribute 'execute'"),
            std::string::npos);
}

TEST(Incompatible, VersionsThatCannotBeReadAreLeftToTheLibraries) {
  EXPECT_FALSE(incompatible("unknown", "1.4.54"));
  EXPECT_FALSE(incompatible("2.2.3", ""));
}

}  // namespace
}  // namespace velmora::stack
