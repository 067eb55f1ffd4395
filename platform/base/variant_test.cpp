#include "platform/base/Variant.h"

#include <gtest/gtest.h>

using namespace vantrel;

namespace {

Variant Of(VarType vt) {
  Variant v;
  v.vt = vt;
  return v;
}

}  // namespace

TEST(Variant, TextForms) {
  Variant i2 = Of(VarType::I2), r4 = Of(VarType::R4), r8 = Of(VarType::R8), big = Of(VarType::R8);
  i2.lVal = -7;
  r4.fltVal = 0.1f;
  r8.dblVal = 2.5;
  big.dblVal = 1e100;
  Variant cy1 = Of(VarType::Currency), cy2 = Of(VarType::Currency), cy3 = Of(VarType::Currency);
  cy1.cyVal = 125000;
  cy2.cyVal = -1;
  cy3.cyVal = 70000;
  Variant yes = Of(VarType::Bool), no = Of(VarType::Bool);
  yes.boolVal = true;
  struct Case {
    Variant v;
    const char* text;
  } cases[] = {
      {Variant{}, ""},
      {Variant::FromLong(-42), "-42"},
      {Variant::FromLong(2147483647), "2147483647"},
      {i2, "-7"},
      {r4, "0.1"},
      {r8, "2.5"},
      {big, "1e+100"},
      {cy1, "12.5"},
      {cy2, "-0.0001"},
      {cy3, "7"},
      {yes, "-1"},
      {no, "0"},
      {Variant::FromText("a;b"), "a;b"},
      {Variant::FromDate(0.0), "1899-12-30 00:00:00"},
      {Variant::FromDate(36526.5), "2000-01-01 12:00:00"},
      {Variant::FromDate(-1.25), "1899-12-29 06:00:00"},
      {Variant::FromDate(1e9), ""},  // out of range
  };
  for (const Case& c : cases) EXPECT_EQ(VariantToText(c.v), c.text);
}

TEST(Variant, ReadingText) {
  EXPECT_EQ(TextToLong("42"), 42);
  EXPECT_EQ(TextToLong(" -17 "), -17);
  EXPECT_EQ(TextToLong("+5"), 5);
  EXPECT_EQ(TextToLong("2.5"), 2);  // half to even
  EXPECT_EQ(TextToLong("3.5"), 4);
  EXPECT_EQ(TextToLong("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", "abc", "12x", "2147483648", "1e20", "++1", "nan", "inf"}) {
    EXPECT_EQ(TextToLong(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(TextToDouble("0.1"), 0.1);
  EXPECT_EQ(TextToDouble("1e+100"), 1e100);
  EXPECT_EQ(TextToDouble("1,5"), std::nullopt);  // C locale only

  EXPECT_EQ(TextToDate("2000-01-01 12:00:00"), 36526.5);
  EXPECT_EQ(TextToDate("2000-01-01"), 36526.0);
  EXPECT_EQ(TextToDate(" 1899-12-29 06:00 "), -1.25);
  for (const char* bad : {"", "2000-13-01", "2001-02-29 00:00:00", "2000-01-01 24:00:00", "2000-01-01T12:00:00",
                          "0099-12-31", "2000-1-1", "2000-01-01 12:00:00 x"}) {
    EXPECT_EQ(TextToDate(bad), std::nullopt) << bad;
  }
  // Every date text the writer makes reads back to the same text.
  for (const char* t : {"0100-01-01 00:00:00", "1601-01-01 00:00:01", "1899-12-30 23:59:59", "2024-02-29 13:14:15",
                        "9999-12-31 23:59:59"}) {
    std::optional<VariantTime> d = TextToDate(t);
    ASSERT_TRUE(d) << t;
    EXPECT_EQ(VariantToText(Variant::FromDate(*d)), t);
  }
}

TEST(Variant, TimeConversions) {
  SystemTime st{};
  ASSERT_TRUE(FileTimeToSystemTime(QuadToFileTime(116444736000000000ULL), &st));  // the Unix epoch
  EXPECT_EQ(st.wYear, 1970);
  EXPECT_EQ(st.wMonth, 1);
  EXPECT_EQ(st.wDay, 1);
  EXPECT_EQ(st.wDayOfWeek, 4);
  ASSERT_TRUE(FileTimeToSystemTime(QuadToFileTime(0), &st));
  EXPECT_EQ(st.wYear, 1601);
  EXPECT_EQ(st.wDayOfWeek, 1);

  SystemTime t{2026, 12, 0, 10, 4, 49, 21, 250};
  FILETIME ft{};
  ASSERT_TRUE(SystemTimeToFileTime(t, &ft));
  SystemTime back{};
  ASSERT_TRUE(FileTimeToSystemTime(ft, &back));
  EXPECT_EQ(back.wYear, 2026);
  EXPECT_EQ(back.wDay, 10);
  EXPECT_EQ(back.wSecond, 21);
  EXPECT_EQ(back.wMilliseconds, 250);
  EXPECT_EQ(back.wDayOfWeek, 4);

  VariantTime vt = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(t, &vt));
  EXPECT_EQ(VariantToText(Variant::FromDate(vt)), "2026-12-10 04:49:21");
  SystemTime late{1999, 12, 0, 31, 23, 59, 59, 600};  // rounds into the next year
  ASSERT_TRUE(SystemTimeToVariantTime(late, &vt));
  EXPECT_EQ(vt, 36526.0);

  SystemTime bad{2026, 2, 0, 30, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(bad, &ft));
  EXPECT_FALSE(SystemTimeToVariantTime(bad, &vt));
  SystemTime early{1600, 12, 0, 31, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(early, &ft));
  EXPECT_TRUE(SystemTimeToVariantTime(early, &vt));
}
