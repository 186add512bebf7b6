#include "fetching/request.h"

#include <gtest/gtest.h>

namespace velmora::request {
namespace {

TEST(SamplingRate, SynonymsGiveTheSameRate) {
  for (auto [a, b] : {std::pair{"秒钟值", "秒值"}, {"分钟值", "分值"}, {"小时值", "整点值"}, {"日均值", "日值"}}) {
    ASSERT_TRUE(sampling_rate(a) && sampling_rate(b)) << a;
    EXPECT_EQ(sampling_rate(a)->code, sampling_rate(b)->code);
    EXPECT_EQ(sampling_rate(a)->seconds, sampling_rate(b)->seconds);
  }
  EXPECT_EQ(sampling_rate("秒钟值")->code, "02");
  EXPECT_EQ(sampling_rate("分钟值")->seconds, 60);
  EXPECT_EQ(sampling_rate("小时值")->code, "60");
  EXPECT_EQ(sampling_rate("日均值")->seconds, 86400);
  EXPECT_FALSE(sampling_rate("分钟"));
  EXPECT_FALSE(sampling_rate(" 分钟值"));
}

TEST(EmptyRow, OneNullPerSampleWithoutOuterBlanks) {
  const std::string seconds = empty_row(*sampling_rate("秒钟值"));
  EXPECT_EQ(seconds.size(), 86400u * 5 - 1);
  EXPECT_EQ(seconds.substr(0, 10), "NULL NULL ");
  EXPECT_EQ(seconds.back(), 'L');
  EXPECT_EQ(empty_row(*sampling_rate("日值")), "NULL");
  const std::string hours = empty_row(*sampling_rate("小时值"));
  EXPECT_EQ(hours.size(), 24u * 5 - 1);
  EXPECT_EQ(hours.find("NULLNULL"), std::string::npos);
}

TEST(DataBase, Codes) {
  EXPECT_EQ(*data_base("原始库"), "DYS");
  EXPECT_EQ(*data_base("预处理库"), "DYU");
  EXPECT_EQ(*data_base("产品库"), "CP");
  EXPECT_FALSE(data_base("库"));
  EXPECT_EQ(data_base_names(), "'原始库', '预处理库', '产品库'");
}

TEST(Discipline, FirstDigits) {
  EXPECT_EQ(*discipline_digit("形变"), '2');
  EXPECT_EQ(*discipline_digit("电磁"), '3');
  EXPECT_EQ(*discipline_digit("流体"), '4');
  EXPECT_FALSE(discipline_digit("全部"));
}

}  // namespace
}  // namespace velmora::request
