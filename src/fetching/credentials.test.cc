#include "fetching/credentials.h"

#include <gtest/gtest.h>

namespace velmora::credentials {
namespace {

TEST(PercentEncoded, KeepsOnlyUnreservedCharacters) {
  EXPECT_EQ(percent_encoded("Abc_1.2-3~"), "Abc_1.2-3~");
  EXPECT_EQ(percent_encoded("p@ss/w:rd %x+"), "p%40ss%2Fw%3Ard%20%25x%2B");
  EXPECT_EQ(percent_encoded("密"), "%E5%AF%86");
  EXPECT_EQ(percent_encoded(""), "");
}

TEST(Masked, HidesStoredAndEncodedForms) {
  EXPECT_EQ(masked("url u:p@ss@h and p@ss", "p@ss"), "url u:***@h and ***");
  EXPECT_EQ(masked("oracle+cx_oracle://u:p%40ss%20x@h:1/db", "p@ss x"), "oracle+cx_oracle://u:***@h:1/db");
  EXPECT_EQ(masked("nothing here", ""), "nothing here");
  EXPECT_EQ(masked("aaaa", "aa"), "******");
}

TEST(StoredValueForms, WholeValueTailsAndReferenceNames) {
  using Forms = std::vector<std::string>;
  EXPECT_EQ(stored_value_forms("plain"), Forms{"plain"});
  EXPECT_EQ(stored_value_forms(""), Forms{});
  EXPECT_EQ(stored_value_forms("ab%cd"), (Forms{"ab%cd", "%cd"}));
  EXPECT_EQ(stored_value_forms("pw%(key)s!"), (Forms{"pw%(key)s!", "%(key)s!", "'key'"}));
  EXPECT_EQ(stored_value_forms("x%"), Forms{"x%"});  // a lone trailing "%" quotes nothing new
}

TEST(Masked, SeveralSecretsLongestFirst) {
  const std::vector<std::string> secrets = stored_value_forms("pw%(key)s!");
  EXPECT_EQ(masked("option 'password' contains an interpolation key 'key' ... Raw value: 'pw%(key)s!'", secrets),
            "option 'password' contains an interpolation key *** ... Raw value: '***'");
  EXPECT_EQ(masked("found: '%(key)s!'", secrets), "found: '***'");
}

}  // namespace
}  // namespace velmora::credentials
