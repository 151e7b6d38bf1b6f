// The attribute object codec: exact bytes of what it builds, lookups, readers,
// and walks over damaged or hostile objects.
#include "corvane/wire/attobj.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace cvattobj;
using Bytes = std::vector<std::uint8_t>;

Bytes B(const ObjectPtr& o) {
  Area a = View(o);
  return Bytes(a.begin(), a.end());
}
Area A(const Bytes& b) { return Area(b.data(), b.size()); }

void AddI(ObjectPtr* o, std::string_view name, std::int32_t v, char access = 'a') {
  ASSERT_NE(AddAtt(nullptr, o, name, &v, 0, kTypeInt, access), nullptr) << name;
}
void AddS(ObjectPtr* o, std::string_view name, std::string_view s, char access = 'a') {
  ASSERT_NE(AddAtt(nullptr, o, name, s.data(), s.size(), kTypeString, access), nullptr) << name;
}
std::string Text(const Att& a) {
  return std::string(reinterpret_cast<const char*>(a.Value().data()), a.Value().size());
}
std::vector<std::string> Names(Area obj) {
  std::vector<std::string> out;
  for (Att a = FirstAtt(nullptr, obj); a; a = NextAtt(nullptr, obj, a)) out.emplace_back(a.Name());
  return out;
}

TEST(AttObj, CreateObjectIsTheEmptyHeader) {
  ObjectPtr o = CreateObject(nullptr);
  EXPECT_EQ(B(o), (Bytes{0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(FirstAtt(nullptr, View(o)));
}

TEST(AttObj, IntegerAttributeBytes) {
  ObjectPtr o = CreateObject(nullptr);
  AddI(&o, "N", 42, 'L');
  EXPECT_EQ(B(o), (Bytes{0x17, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 2, 0, 'I', 0, 'L', 0, 'N', '4', '2'}));
}

struct FormatCase {
  char type;
  std::int32_t i;
  double r;
  const char* text;
};

TEST(AttObj, NumbersAreStoredAsText) {
  const FormatCase cases[] = {
      {kTypeReal, 0, 2.5, "2.500000"},
      {kTypeReal, 0, -0.1, "-0.100000"},
      {kTypeBool, -1, 0, "-1"},
      {kTypeBool, 0, 0, "0"},
      {kTypeInt, -2147483647 - 1, 0, "-2147483648"},
      {kTypeUnsigned, static_cast<std::int32_t>(0x80000000u), 0, "-2147483648"},
      {kTypeUnsigned, 7, 0, "7"},
  };
  for (const auto& c : cases) {
    ObjectPtr o = CreateObject(nullptr);
    const void* v = c.type == kTypeReal ? static_cast<const void*>(&c.r) : &c.i;
    ASSERT_NE(AddAtt(nullptr, &o, "V", v, 0, c.type, 'a'), nullptr) << c.text;
    Att a = FindAtt(nullptr, View(o), "V");
    ASSERT_TRUE(a);
    EXPECT_EQ(Text(a), c.text);
    EXPECT_EQ(a.Type(), c.type);
  }
}

TEST(AttObj, ReadersConvertByType) {
  ObjectPtr o = CreateObject(nullptr);
  std::int32_t t = -1, big = static_cast<std::int32_t>(0xFFFFFFFEu);
  double r = 2.5;
  ASSERT_TRUE(AddAtt(nullptr, &o, "B", &t, 0, kTypeBool, 'a'));
  ASSERT_TRUE(AddAtt(nullptr, &o, "F", &big, 0, kTypeUnsigned, 'a'));
  ASSERT_TRUE(AddAtt(nullptr, &o, "R", &r, 0, kTypeReal, 'a'));
  AddS(&o, "S", "hello");
  AddI(&o, "W", 9, kAccessWriteOnly);

  std::int32_t b = 0;
  EXPECT_EQ(GetAttBool(nullptr, &b, View(o), "B"), 1);
  EXPECT_EQ(b, -1);
  std::uint32_t f = 0;
  EXPECT_EQ(GetAttUnsigned(nullptr, &f, View(o), "F"), 1);
  EXPECT_EQ(f, 0xFFFFFFFEu);
  double d = 0;
  EXPECT_EQ(GetAttReal(nullptr, &d, View(o), "R"), 1);
  EXPECT_EQ(d, 2.5);

  // Wrong type, write-only, missing: 0 and the destination untouched.
  std::int32_t i = 77;
  EXPECT_EQ(GetAttInt(nullptr, &i, View(o), "R"), 0);
  EXPECT_EQ(GetAttInt(nullptr, &i, View(o), "missing"), 0);
  Context ctx;
  EXPECT_EQ(GetAttInt(&ctx, &i, View(o), "W"), 0);
  EXPECT_EQ(i, 77);
  EXPECT_EQ(ctx.message, "ERM_ATT_WRITE_ONLY GetAtt");
  EXPECT_TRUE(FindAtt(nullptr, View(o), "W"));

  // The string reader needs the value and a terminator.
  char small[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(GetAttString(nullptr, small, View(o), "S"), 0);
  EXPECT_EQ(small[0], 'x');
  char buf[6];
  EXPECT_EQ(GetAttString(nullptr, buf, View(o), "S"), 1);
  EXPECT_STREQ(buf, "hello");
}

TEST(AttObj, DiagnosticsPrintOnlyWhenAsked) {
  ObjectPtr o = CreateObject(nullptr);
  AddI(&o, "W", 1, kAccessWriteOnly);
  std::int32_t v;
  Context quiet;
  testing::internal::CaptureStdout();
  GetAttInt(&quiet, &v, View(o), "W");
  GetAttInt(nullptr, &v, View(o), "W");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  Context loud;
  loud.print = true;
  testing::internal::CaptureStdout();
  GetAttInt(&loud, &v, View(o), "W");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nERM_ATT_WRITE_ONLY GetAtt\n");
  EXPECT_EQ(loud.failures, 1);
}

TEST(AttObj, DottedAddCreatesTheParent) {
  ObjectPtr o = CreateObject(nullptr);
  AddI(&o, "x.y", 5);
  EXPECT_EQ(Count(View(o)), 1);
  Att x = FindAtt(nullptr, View(o), "x");
  ASSERT_TRUE(x);
  EXPECT_EQ(x.Type(), kTypeObject);
  EXPECT_EQ(x.Access(), kAccessCreated);
  EXPECT_EQ(Count(x.Value()), 1);
  EXPECT_EQ(TotalSize(x.Value()), x.Value().size());
  std::int32_t y = 0;
  EXPECT_EQ(GetAttInt(nullptr, &y, View(o), "x.y"), 1);
  EXPECT_EQ(y, 5);
  // Exact bytes: x holds an object with y; each object counts its own adds.
  EXPECT_EQ(B(o), (Bytes{0x2B, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0,                  //
                         1, 0, 0x16, 0, 'O', 0, 'X', 0, 'x',                      //
                         0x16, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0,                   //
                         1, 0, 1, 0, 'I', 0, 'a', 0, 'y', '5'}));
}

TEST(AttObj, SameNameTwice) {
  ObjectPtr o = CreateObject(nullptr);
  AddI(&o, "k", 1);
  AddI(&o, "k", 2);
  EXPECT_EQ(Count(View(o)), 2);
  std::int32_t v = 0;
  GetAttInt(nullptr, &v, View(o), "k");
  EXPECT_EQ(v, 1);  // lookups find the first

  ObjectPtr d = CreateObject(nullptr);
  AddI(&d, "a.k", 1);
  AddI(&d, "a.k", 2);
  Att a = FindAtt(nullptr, View(d), "a");
  ASSERT_TRUE(a);
  EXPECT_EQ(Count(a.Value()), 1);
  EXPECT_EQ(Names(a.Value()), std::vector<std::string>{"k"});
  GetAttInt(nullptr, &v, View(d), "a.k");
  EXPECT_EQ(v, 2);
  EXPECT_EQ(TotalSize(View(d)), View(d).size());
}

TEST(AttObj, DottedAddsLandInFrontAndDeepPathsNest) {
  ObjectPtr o = CreateObject(nullptr);
  AddI(&o, "top", 0);
  AddI(&o, "p.a", 1);
  AddI(&o, "p.b", 2);
  AddS(&o, "p.q.r", "deep");
  AddI(&o, "after", 3);
  EXPECT_EQ(Names(View(o)), (std::vector<std::string>{"top", "p", "after"}));
  Att p = FindAtt(nullptr, View(o), "p");
  ASSERT_TRUE(p);
  EXPECT_EQ(Names(p.Value()), (std::vector<std::string>{"q", "b", "a"}));
  char buf[16];
  ASSERT_EQ(GetAttString(nullptr, buf, View(o), "p.q.r"), 1);
  EXPECT_STREQ(buf, "deep");
  // Every size field agrees with the bytes.
  EXPECT_EQ(TotalSize(View(o)), View(o).size());
  EXPECT_EQ(TotalSize(p.Value()), p.Value().size());
  // The outer object's counters count only its own adds (top, p, after).
  EXPECT_EQ(ChangeCounter(View(o)), 3);
}

TEST(AttObj, LookupsCompareWholeNames) {
  ObjectPtr o = CreateObject(nullptr);
  AddI(&o, "a", 1);
  AddI(&o, "Name", 2);
  EXPECT_FALSE(FindAtt(nullptr, View(o), "ab"));
  EXPECT_FALSE(FindAtt(nullptr, View(o), ""));
  EXPECT_FALSE(FindAtt(nullptr, View(o), "name"));  // case-sensitive
  EXPECT_FALSE(FindAtt(nullptr, View(o), "a.b"));   // a is not an object
  EXPECT_TRUE(FindAtt(nullptr, View(o), "Name"));
}

struct RefusedAdd {
  const char* what;
  std::string name;
  char type;
};

TEST(AttObj, RefusedAddsKeepTheOldObject) {
  ObjectPtr o = CreateObject(nullptr);
  AddI(&o, "a", 1);
  const Bytes before = B(o);
  const RefusedAdd cases[] = {
      {"parent is not an object", "a.b", kTypeInt},
      {"grandparent is not an object", "a.b.c", kTypeInt},
      {"unknown type letter", "z", 'Q'},
      {"real too large for its text", "r", kTypeReal},
      {"name too long for the object", std::string(70000, 'n'), kTypeInt},
  };
  for (const auto& c : cases) {
    std::int32_t i = 1;
    double huge = 1e30;
    const void* v = c.type == kTypeReal ? static_cast<const void*>(&huge) : &i;
    const std::uint8_t* old = o.get();
    EXPECT_EQ(AddAtt(nullptr, &o, c.name, v, 0, c.type, 'a'), nullptr) << c.what;
    EXPECT_EQ(o.get(), old) << c.what;
    EXPECT_EQ(B(o), before) << c.what;
  }
}

TEST(AttObj, ObjectValuesNestAsGiven) {
  ObjectPtr inner = CreateObject(nullptr);
  AddI(&inner, "N", 42);
  ObjectPtr o = CreateObject(nullptr);
  ASSERT_TRUE(AddAtt(nullptr, &o, "obj", inner.get(), 0, kTypeObject, 'a'));
  Att a = FindAtt(nullptr, View(o), "obj");
  ASSERT_TRUE(a);
  EXPECT_EQ(Bytes(a.Value().begin(), a.Value().end()), B(inner));
  // An object value longer than the bytes offered is refused.
  EXPECT_EQ(AddAtt(nullptr, &o, "cut", inner.get(), 20, kTypeObject, 'a'), nullptr);
  Bytes tiny{5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(AddAtt(nullptr, &o, "tiny", tiny.data(), tiny.size(), kTypeObject, 'a'), nullptr);
}

// ---- damaged objects ----------------------------------------------------------

// One 'S' attribute "v" = "abc" in a 24-byte object.
Bytes Sample() { return {24, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 3, 0, 'S', 0, 'a', 0, 'v', 'a', 'b', 'c'}; }

TEST(AttObj, WalksStayInsideAreaAndTotalSize) {
  struct Damage {
    const char* what;
    Bytes bytes;
    std::size_t area;  // bytes of the area offered (0: all)
    bool found;
  };
  Bytes longTotal = Sample();
  longTotal[0] = 0xFF;  // claims 255 bytes, the area has 24
  Bytes shortTotal = Sample();
  shortTotal[0] = 23;  // the value crosses the total size
  Bytes longValue = Sample();
  longValue[14] = 200;
  Bytes longName = Sample();
  longName[12] = 0xFF;
  longName[13] = 0xFF;
  Bytes noCount = Sample();
  noCount[6] = 0;
  Bytes headerOnly = Sample();
  headerOnly[0] = 12;
  const Damage cases[] = {
      {"intact", Sample(), 0, true},
      {"total size beyond the area", longTotal, 0, true},
      {"area cut inside the value", Sample(), 23, false},
      {"area cut inside the header", Sample(), 8, false},
      {"total size cuts the value", shortTotal, 0, false},
      {"value length beyond the object", longValue, 0, false},
      {"name length beyond the object", longName, 0, false},
      {"count 0", noCount, 0, false},
      {"total size 12", headerOnly, 0, false},
  };
  for (const auto& c : cases) {
    Area area = A(c.bytes);
    if (c.area) area = area.first(c.area);
    EXPECT_EQ(static_cast<bool>(FirstAtt(nullptr, area)), c.found) << c.what;
    EXPECT_EQ(static_cast<bool>(FindAtt(nullptr, area, "v")), c.found) << c.what;
    char buf[8];
    EXPECT_EQ(GetAttString(nullptr, buf, area, "v"), c.found ? 1 : 0) << c.what;
  }
}

TEST(AttObj, NestedObjectsAreReadInsideTheirValue) {
  // o holds "n" ('O', v = 12) whose nested header claims 40 bytes and a count
  // of 1; the bytes after n's value belong to the outer object's next
  // attribute and must not be read as n's content.
  Bytes o{0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0,
          1, 0, 12, 0, 'O', 0, 'a', 0, 'n',  //
          40, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0,
          1, 0, 1, 0, 'I', 0, 'a', 0, 'k', '7'};
  o[0] = static_cast<std::uint8_t>(o.size());
  EXPECT_TRUE(FindAtt(nullptr, A(o), "k"));
  EXPECT_FALSE(FindAtt(nullptr, A(o), "n.k"));
  EXPECT_EQ(Names(A(o)), (std::vector<std::string>{"n", "k"}));
}

TEST(AttObj, NextAttRefusesAForeignAttribute) {
  Bytes a = Sample(), b = Sample();
  Att inB = FirstAtt(nullptr, A(b));
  ASSERT_TRUE(inB);
  EXPECT_FALSE(NextAtt(nullptr, A(a), inB));
  EXPECT_FALSE(NextAtt(nullptr, A(a), Att{}));
}

TEST(AttObj, CopyObjectCutsToTheArea) {
  Bytes s = Sample();
  s[0] = 100;
  ObjectPtr c = CopyObject(nullptr, A(s));
  ASSERT_TRUE(c);
  EXPECT_EQ(TotalSize(View(c)), 24);
  EXPECT_TRUE(FindAtt(nullptr, View(c), "v"));
  EXPECT_FALSE(CopyObject(nullptr, A(s).first(11)));
}

}  // namespace
