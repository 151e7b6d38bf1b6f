#include "olectl/propexchange.h"

#include <gtest/gtest.h>

namespace {

using ole::ctl::CBlobPropExchange;

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s.push_back(static_cast<char>(x));
  return s;
}

TEST(BlobExchange, FixedWidthValuesAreLittleEndian) {
  auto px = CBlobPropExchange::Saving();
  DWORD version = 0x00010003;
  LONG l = -2;
  SHORT s = 0x1234;
  bool b = true;
  ASSERT_TRUE(px.ExchangeVersion(version, version, true));
  ASSERT_TRUE(ole::ctl::PX_Long(&px, "L", l));
  ASSERT_TRUE(ole::ctl::PX_Short(&px, "S", s));
  ASSERT_TRUE(ole::ctl::PX_Bool(&px, "B", b));
  EXPECT_EQ(px.Bytes(), Bytes({3, 0, 1, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x34, 0x12, 1, 0, 0, 0}));

  auto in = CBlobPropExchange::Loading(px.Bytes());
  DWORD v2 = 0;
  LONG l2 = 0;
  SHORT s2 = 0;
  bool b2 = false;
  ASSERT_TRUE(in.ExchangeVersion(v2, 0x00010003, false));
  ASSERT_TRUE(ole::ctl::PX_Long(&in, "L", l2));
  ASSERT_TRUE(ole::ctl::PX_Short(&in, "S", s2));
  ASSERT_TRUE(ole::ctl::PX_Bool(&in, "B", b2));
  EXPECT_TRUE(in.AtEnd());
  EXPECT_EQ(v2, 0x00010003u);
  EXPECT_EQ(l2, -2);
  EXPECT_EQ(s2, 0x1234);
  EXPECT_TRUE(b2);
}

TEST(BlobExchange, RefusesWhatItCannotTrust) {
  // Another version without conversion.
  auto other = CBlobPropExchange::Loading(Bytes({2, 0, 1, 0}));
  DWORD v = 0;
  EXPECT_FALSE(other.ExchangeVersion(v, 0x00010003, false));
  EXPECT_FALSE(other.Ok());
  // With conversion the stored version is reported.
  auto convert = CBlobPropExchange::Loading(Bytes({2, 0, 1, 0}));
  EXPECT_TRUE(convert.ExchangeVersion(v, 0x00010003, true));
  EXPECT_EQ(convert.GetVersion(), 0x00010002u);
  // A boolean that is neither 0 nor 1.
  auto flag = CBlobPropExchange::Loading(Bytes({2, 0, 0, 0}));
  bool b = false;
  EXPECT_FALSE(ole::ctl::PX_Bool(&flag, "B", b));
  // After one failure nothing more is read.
  auto shortData = CBlobPropExchange::Loading(Bytes({1, 2}));
  LONG l = 9;
  SHORT s = 0;
  EXPECT_FALSE(ole::ctl::PX_Long(&shortData, "L", l));
  EXPECT_FALSE(ole::ctl::PX_Short(&shortData, "S", s));
  EXPECT_EQ(l, 9);
  // A string longer than the limit, even when the bytes would be there.
  std::string big = Bytes({0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x10, 0x00}) + std::string(0x100001, 'x');
  auto huge = CBlobPropExchange::Loading(big);
  std::string text;
  EXPECT_FALSE(ole::ctl::PX_String(&huge, "T", text));
}

TEST(ResetExchange, EveryPropertyTakesItsDefault) {
  ole::ctl::CResetPropExchange px;
  EXPECT_TRUE(px.IsLoading());
  LONG l = 1;
  bool b = false;
  std::string s = "old";
  ole::ctl::PX_Long(&px, "L", l, 42);
  ole::ctl::PX_Bool(&px, "B", b, true);
  ole::ctl::PX_String(&px, "S", s, "new");
  EXPECT_EQ(l, 42);
  EXPECT_TRUE(b);
  EXPECT_EQ(s, "new");
}

TEST(BagExchange, TypesAreConvertedOnLoad) {
  auto bag = ole::MakeObject<ole::ctl::CMemoryPropertyBag>();
  CComVariant text("12");
  bag->Write(u"Count", &text);
  ole::ctl::CPropbagPropExchange px(bag.Get(), true);
  LONG count = 0;
  ASSERT_TRUE(ole::ctl::PX_Long(&px, "count", count));
  EXPECT_EQ(count, 12);
  CComVariant word("many");
  bag->Write(u"Count", &word);
  ole::ctl::CPropbagPropExchange bad(bag.Get(), true);
  EXPECT_FALSE(ole::ctl::PX_Long(&bad, "Count", count));
}

}  // namespace
