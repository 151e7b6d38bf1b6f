#include "ole/bstr.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class BstrTest : public ::testing::Test {
 protected:
  void SetUp() override { live_ = ole::LiveBstrCount(); }
  void TearDown() override { EXPECT_EQ(ole::LiveBstrCount(), live_) << "BSTR leaked or double-freed"; }
  long live_ = 0;
};

TEST_F(BstrTest, LengthPrefixAndTerminator) {
  BSTR b = SysAllocString(u"Apache");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 6u);
  EXPECT_EQ(SysStringByteLen(b), 12u);
  std::uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 12u);
  EXPECT_EQ(b[6], u'\0');
  SysFreeString(b);
}

TEST_F(BstrTest, NullIsAnEmptyString) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(ole::BstrToUtf8(nullptr), "");
  SysFreeString(nullptr);
  CComBSTR empty;
  EXPECT_TRUE(empty.IsEmpty());
}

TEST_F(BstrTest, EmbeddedNulsAndZeroedAllocations) {
  const OLECHAR text[] = {u'a', 0, u'b'};
  BSTR b = SysAllocStringLen(text, 3);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(ole::BstrView(b), std::u16string_view(text, 3));
  BSTR copy = CComBSTR::Copy(b);
  EXPECT_EQ(ole::BstrView(copy), std::u16string_view(text, 3));
  SysFreeString(copy);
  SysFreeString(b);

  BSTR z = SysAllocStringLen(nullptr, 4);
  EXPECT_EQ(SysStringLen(z), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(z[i], 0);
  SysFreeString(z);

  BSTR odd = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(odd), 3u);
  EXPECT_EQ(SysStringLen(odd), 1u);
  EXPECT_EQ(std::memcmp(odd, "abc", 3), 0);
  SysFreeString(odd);
}

TEST_F(BstrTest, ReAllocFromItsOwnText) {
  BSTR b = SysAllocString(u"server");
  ASSERT_TRUE(SysReAllocStringLen(&b, b + 2, 3));
  EXPECT_EQ(ole::BstrView(b), u"rve");
  ASSERT_TRUE(SysReAllocString(&b, u"x"));
  EXPECT_EQ(ole::BstrView(b), u"x");
  SysFreeString(b);
}

TEST_F(BstrTest, OwnerCopiesMovesAndDetaches) {
  CComBSTR a("Grüße");
  CComBSTR b = a;
  EXPECT_NE(a.m_str(), b.m_str());
  EXPECT_EQ(b.Utf8(), "Grüße");
  CComBSTR c = std::move(a);
  EXPECT_EQ(a.m_str(), nullptr);
  EXPECT_EQ(c.Length(), 5u);
  BSTR raw = c.Detach();
  EXPECT_EQ(c.m_str(), nullptr);
  CComBSTR d = CComBSTR::Take(raw);
  EXPECT_EQ(d.View(), u"Grüße");
  *d.Out() = SysAllocString(u"out");
  EXPECT_EQ(d.View(), u"out");
}

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

TEST_F(BstrTest, Utf8ToUtf16ReplacesInvalidSequences) {
  const Utf8Case cases[] = {
      {"ascii", "SRV1", u"SRV1"},
      {"two bytes", "\xC3\xA9", u"\u00E9"},
      {"three bytes", "\xE2\x82\xAC", u"\u20AC"},
      {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"lone continuation", "a\x80z", u"a\uFFFDz"},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"overlong three", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"truncated at end", "ab\xE2\x82", u"ab\uFFFD"},
      {"truncated before ascii", "\xE2\x82z", u"\uFFFDz"},
      {"invalid lead", "\xFF\xFE", u"\uFFFD\uFFFD"},
      {"embedded nul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ole::Utf8ToUtf16(c.utf8), c.utf16) << c.name;
    BSTR b = ole::BstrFromUtf8(c.utf8);
    EXPECT_EQ(ole::BstrView(b), c.utf16) << c.name;
    SysFreeString(b);
  }
}

TEST_F(BstrTest, Utf16ToUtf8ReplacesLoneSurrogates) {
  EXPECT_EQ(ole::Utf16ToUtf8(u"\U0001F600x"), "\xF0\x9F\x98\x80x");
  EXPECT_EQ(ole::Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(ole::Utf16ToUtf8(u"x" + std::u16string(1, char16_t(0xDC00))), "x\xEF\xBF\xBD");
  // Valid text survives the round trip unchanged.
  for (const char* utf8 : {"A", "\xC3\xBF", "\xE0\xA0\x80", "\xEF\xBF\xBD", "\xF0\x90\x80\x80",
                           "\xF4\x8F\xBF\xBF"})
    EXPECT_EQ(ole::Utf16ToUtf8(ole::Utf8ToUtf16(utf8)), utf8);
  const std::string sample = "Webwarden \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(ole::Utf16ToUtf8(ole::Utf8ToUtf16(sample)), sample);
}

TEST_F(BstrTest, CaseOperationsCoverUnicode) {
  EXPECT_EQ(ole::ToUpperUtf8("apache2.qrx"), "APACHE2.QRX");
  EXPECT_EQ(ole::ToUpperUtf8("straße ærø ñ"), "STRAßE ÆRØ Ñ");  // simple mapping: ß stays
  EXPECT_EQ(ole::ToUpperUtf8("σπίτι"), "ΣΠΊΤΙ");
  EXPECT_EQ(ole::ToUpper(u"a" + std::u16string(1, char16_t(0xD800)) + u"b"),
            u"A" + std::u16string(1, char16_t(0xD800)) + u"B");

  struct Cmp {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"Maximum Packet Receive Buffers", "MAXIMUM PACKET RECEIVE BUFFERS", 0},
      {"Ärger", "äRGER", 0},
      {"ΣΟΦΊΑ", "σοφία", 0},
      {"abc", "abd", -1},
      {"abd", "ABC", 1},
      {"ab", "abc", -1},
      {"", "", 0},
      {"Ä", "A", 1},
  };
  for (const auto& c : cases) {
    int r = ole::CompareNoCaseUtf8(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }
  EXPECT_TRUE(ole::EqualsNoCase(u"CvSrvAdmLib", u"CVSRVADMLIB"));
}

}  // namespace
