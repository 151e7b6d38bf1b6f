#include "ole/guid.h"

#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "ole/bstr.h"

namespace {

constexpr GUID kCtl = MakeGuid("{EC747AF1-8EF6-11D0-B375-0000E20315E2}");

TEST(Guid, ParsesFieldsInTheirByteOrder) {
  EXPECT_EQ(kCtl.Data1, 0xEC747AF1u);
  EXPECT_EQ(kCtl.Data2, 0x8EF6u);
  EXPECT_EQ(kCtl.Data3, 0x11D0u);
  const BYTE tail[8] = {0xB3, 0x75, 0x00, 0x00, 0xE2, 0x03, 0x15, 0xE2};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(kCtl.Data4[i], tail[i]) << i;
}

TEST(Guid, FormatIsBracedUpperCaseAndRoundTrips) {
  auto g = GuidFromString("{ec747af1-8ef6-11d0-b375-0000e20315e2}");
  ASSERT_TRUE(g);
  EXPECT_EQ(*g, kCtl);
  EXPECT_EQ(GuidToString(*g), "{EC747AF1-8EF6-11D0-B375-0000E20315E2}");
  EXPECT_EQ(GuidFromString("EC747AF1-8EF6-11D0-B375-0000E20315E2"), kCtl);
  EXPECT_EQ(GuidToString(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, RejectsMalformedText) {
  const char* bad[] = {
      "",
      "{}",
      "{EC747AF1-8EF6-11D0-B375-0000E20315E2",     // missing brace
      "EC747AF1-8EF6-11D0-B375-0000E20315E2}",     // missing brace
      "(EC747AF1-8EF6-11D0-B375-0000E20315E2)",    // wrong brackets
      "{EC747AF1-8EF6-11D0-B375-0000E20315EG}",    // not hex
      "{EC747AF18-EF6-11D0-B375-0000E20315E2}",    // dash misplaced
      "{EC747AF1-8EF6-11D0-B3750-000E20315E2}",    // dash misplaced
      "{EC747AF1-8EF6-11D0-B375-0000E20315E2 }",   // too long
      "{EC747AF1 8EF6 11D0 B375 0000E20315E2}",    // blanks for dashes
      "EC747AF1-8EF6-11D0-B375-0000E20315E",       // too short
  };
  for (const char* s : bad) EXPECT_FALSE(GuidFromString(s)) << s;
}

TEST(Guid, OleEntryPoints) {
  OLECHAR buf[39];
  EXPECT_EQ(StringFromGUID2(kCtl, buf, 38), 0);
  ASSERT_EQ(StringFromGUID2(kCtl, buf, 39), 39);
  EXPECT_EQ(std::u16string_view(buf), u"{EC747AF1-8EF6-11D0-B375-0000E20315E2}");
  CLSID c{};
  EXPECT_EQ(CLSIDFromString(buf, &c), S_OK);
  EXPECT_EQ(c, kCtl);
  EXPECT_EQ(CLSIDFromString(u"EC747AF1-8EF6-11D0-B375-0000E20315E2", &c), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(u"{EC747AF1-8EF6-11D0-B375-0000E20315\u00C9}", &c), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(nullptr, &c), E_INVALIDARG);
}

TEST(Guid, HashAndOrderDistinguishEveryField) {
  std::unordered_set<GUID> hashed;
  std::set<GUID, GuidLess> ordered;
  GUID g = kCtl;
  hashed.insert(g), ordered.insert(g);
  for (int field = 0; field < 11; ++field) {
    GUID h = kCtl;
    if (field == 0) h.Data1 ^= 1;
    else if (field == 1) h.Data2 ^= 1;
    else if (field == 2) h.Data3 ^= 1;
    else h.Data4[field - 3] ^= 1;
    EXPECT_NE(h, kCtl);
    hashed.insert(h), ordered.insert(h);
  }
  EXPECT_EQ(hashed.size(), 12u);
  EXPECT_EQ(ordered.size(), 12u);
  EXPECT_TRUE(GuidLess{}(MakeGuid("{00000000-0000-0000-0000-000000000001}"),
                         MakeGuid("{00000001-0000-0000-0000-000000000000}")));
}

}  // namespace
