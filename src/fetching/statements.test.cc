#include "fetching/statements.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::sql {
namespace {

using Codes = std::vector<std::string>;

TEST(Quote, DoublesQuotesAndForMySqlBackslashes) {
  EXPECT_EQ(quote("01", Dialect::kOracle), "'01'");
  EXPECT_EQ(quote("a'b", Dialect::kOracle), "'a''b'");
  EXPECT_EQ(quote("a\\'b", Dialect::kOracle), "'a\\''b'");
  EXPECT_EQ(quote("a\\'b", Dialect::kMySql), "'a\\\\''b'");
  EXPECT_EQ(quote("", Dialect::kMySql), "''");
}

TEST(Lookups, OracleNamedBindsAndMySqlMarkers) {
  EXPECT_EQ(discipline_methods('2'),
            "SELECT SUBSTR(ITEMID,1,3) FROM QZDATA.QZ_DICT_STATIONITEMS WHERE SUBSTR(ITEMID,1,1)=2");
  EXPECT_EQ(discipline_methods(0), "SELECT SUBSTR(ITEMID,1,3) FROM QZDATA.QZ_DICT_STATIONITEMS");
  EXPECT_EQ(method_codes_like(Dialect::kOracle),
            "SELECT METHODID FROM QZDATA.QZ_DICT_METHODS WHERE METHODNAME LIKE '%' || :methodname || '%'");
  EXPECT_EQ(method_codes_like(Dialect::kMySql),
            "SELECT METHODID FROM QZDATA.QZ_DICT_METHODS WHERE METHODNAME LIKE %s ");
  EXPECT_EQ(station_codes_like(Dialect::kOracle),
            "SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONNAME LIKE '%' || :stationname || '%'");
  EXPECT_EQ(item_codes_like(Dialect::kMySql), "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME LIKE %s ");
  EXPECT_EQ(item_codes_named(Codes{"水位", "气压"}, Dialect::kOracle),
            "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME IN ('水位','气压')");
  EXPECT_EQ(item_codes_named(Codes{"x') OR ('1'='1"}, Dialect::kOracle),
            "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME IN ('x'') OR (''1''=''1')");
}

TEST(Lookups, LongItemListsAreSplitIntoListsOfAThousand) {
  Codes names;
  for (int i = 0; i < 2001; ++i) names.push_back("n" + std::to_string(i));
  const std::string sql = item_codes_named(names, Dialect::kOracle);
  EXPECT_EQ(sql.rfind("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME IN ('n0','n1',", 0), 0u);
  EXPECT_NE(sql.find(",'n999') OR ITEMNAME IN ('n1000',"), std::string::npos);
  EXPECT_NE(sql.find(",'n1999') OR ITEMNAME IN ('n2000')"), std::string::npos);
  EXPECT_EQ(sql.substr(sql.size() - 9), "('n2000')");
  EXPECT_EQ(item_codes_named(Codes(names.begin(), names.begin() + 1000), Dialect::kMySql).find(" OR "),
            std::string::npos);
}

TEST(Catalogue, OnlyTheSchemaThatIsRead) {
  EXPECT_EQ(observation_tables(Dialect::kOracle),
            "SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER='QZDATA' AND TABLE_NAME LIKE '%' || :base_type_id || "
            "'%' AND TABLE_NAME LIKE '%' || :sample_rate_id || '%' AND TABLE_NAME LIKE '%' || :methodid || '%'");
  EXPECT_EQ(observation_tables(Dialect::kMySql),
            "SELECT TABLE_NAME FROM information_schema.tables WHERE TABLE_SCHEMA='QZDATA' AND TABLE_NAME LIKE "
            "%s AND TABLE_NAME LIKE %s AND TABLE_NAME LIKE %s ");
  EXPECT_EQ(log_tables(),
            "SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER='QZDATA' AND TABLE_NAME LIKE '%' || :base_type_id || "
            "'%' AND TABLE_NAME LIKE '%' || :methodid || '%'");
}

TEST(Catalogue, OnlyPlainIdentifiersAreTableNames) {
  EXPECT_EQ(unsafe_table_name(Codes{"QZ_211_DYU_01", "qz_dlg_211", "QZ$X#1"}, Dialect::kOracle), std::nullopt);
  EXPECT_EQ(unsafe_table_name(Codes{"QZ_211_DYU_01", "QZ$1"}, Dialect::kMySql), std::nullopt);
  for (const std::string bad : {"", "1QZ", "_QZ", "QZ X", "QZ;DROP", "QZ\"", "QZ'", "QZ.X", "QZ-1", "QZ/**/",
                                "表", "QZ\n"}) {
    EXPECT_EQ(unsafe_table_name(Codes{"OK", bad}, Dialect::kOracle), bad) << bad;
    EXPECT_EQ(unsafe_table_name(Codes{bad}, Dialect::kMySql), bad) << bad;
  }
  // "#" starts a comment on MySQL: the rest of the statement would be lost.
  EXPECT_EQ(unsafe_table_name(Codes{"QZ_211_DYU_01#"}, Dialect::kMySql), "QZ_211_DYU_01#");
}

TEST(Filters, OrdinaryCodesGiveTheUsualText) {
  EXPECT_EQ(station_filter(Codes{"37005", "37008"}, Dialect::kOracle),
            " AND (STATIONID='37005' OR STATIONID='37008')");
  EXPECT_EQ(station_filter(Codes{"37005"}, Dialect::kMySql), " AND (STATIONID='37005')");
  EXPECT_EQ(item_filter(Codes{"3211", "3212"}, Dialect::kOracle), " AND (ITEMID='3211' OR ITEMID='3212')");
  EXPECT_EQ(point_filter("01", Dialect::kOracle), " AND (POINTID='01')");
  EXPECT_EQ(point_filter("", Dialect::kOracle), "");
}

TEST(Filters, EveryCodeIsQuotedAndNoCodeMatchesNothing) {
  EXPECT_EQ(station_filter(Codes{"3700A", "1 OR 1=1"}, Dialect::kOracle),
            " AND (STATIONID='3700A' OR STATIONID='1 OR 1=1')");
  EXPECT_EQ(station_filter(Codes{"１２"}, Dialect::kOracle), " AND (STATIONID='１２')");
  EXPECT_EQ(station_filter(Codes{""}, Dialect::kOracle), " AND (STATIONID='')");
  EXPECT_EQ(station_filter(Codes{}, Dialect::kOracle), " AND (1=0)");
  EXPECT_EQ(item_filter(Codes{}, Dialect::kMySql), " AND (1=0)");
  EXPECT_EQ(point_filter("1') OR ('1'='1", Dialect::kOracle), " AND (POINTID='1'') OR (''1''=''1')");
  EXPECT_EQ(point_filter("\\' OR 1=1 -- ", Dialect::kMySql), " AND (POINTID='\\\\'' OR 1=1 -- ')");
}

TEST(Filters, DictionaryCodesWithABackslashAndAQuote) {
  // MySQL reads a backslash in a literal as an escape: doubled, as the quote is
  const Codes odd{"37\\'05", "37005"};
  EXPECT_EQ(station_filter(odd, Dialect::kMySql), " AND (STATIONID='37\\\\''05' OR STATIONID='37005')");
  EXPECT_EQ(item_filter(odd, Dialect::kMySql), " AND (ITEMID='37\\\\''05' OR ITEMID='37005')");
  // Oracle takes a backslash as it is
  EXPECT_EQ(station_filter(odd, Dialect::kOracle), " AND (STATIONID='37\\''05' OR STATIONID='37005')");
  EXPECT_EQ(item_filter(odd, Dialect::kOracle), " AND (ITEMID='37\\''05' OR ITEMID='37005')");
}

TEST(ObservationUnion, OraclePeriodCoversWholeDays) {
  EXPECT_EQ(observation_union(Codes{"QZ_321_DYU_60"}, "20090101", "20090131", "", Dialect::kOracle),
            "SELECT * FROM QZDATA.QZ_321_DYU_60 WHERE STARTDATE>=TO_DATE('20090101','yyyymmdd') AND "
            "STARTDATE<TO_DATE('20090131','yyyymmdd')+1");
}

TEST(ObservationUnion, TablesJoinedWithFiltersOnEach) {
  const std::string filters = " AND (STATIONID='37008') AND (ITEMID='3211') AND (POINTID='2')";
  EXPECT_EQ(observation_union(Codes{"A", "B"}, "20090101", "20090102", filters, Dialect::kMySql),
            "SELECT * FROM QZDATA.A WHERE STARTDATE >= 20090101 AND STARTDATE <= 20090102" + filters +
                " UNION ALL SELECT * FROM QZDATA.B WHERE STARTDATE >= 20090101 AND STARTDATE <= 20090102" +
                filters);
}

TEST(LogUnion, EventTypeBoundOnceForEveryPart) {
  EXPECT_EQ(log_union(Codes{"L1", "L2"}, "20090101", "20090101", " AND (STATIONID='37008')"),
            "SELECT * FROM QZDATA.L1 WHERE STARTDATE>=TO_DATE('20090101','yyyymmdd') AND "
            "STARTDATE<TO_DATE('20090101','yyyymmdd')+1 AND EVTID IN (:evt_id) AND (STATIONID='37008')"
            " UNION ALL SELECT * FROM QZDATA.L2 WHERE STARTDATE>=TO_DATE('20090101','yyyymmdd') AND "
            "STARTDATE<TO_DATE('20090101','yyyymmdd')+1 AND EVTID IN (:evt_id) AND (STATIONID='37008')");
}

}  // namespace
}  // namespace velmora::sql
