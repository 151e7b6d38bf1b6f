// Server name forms: the name check, the conversions between browse and
// directory form, the tokenizer and the directory-name parse.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "names.h"

namespace {

using cvsrva::BrowseToDirectory;
using cvsrva::DirectoryToBrowse;
using cvsrva::NameCheck;
using cvsrva::NameTokenizer;
using cvsrva::ParseDirectoryName;
using cvsrva::TokenKind;

struct CheckCase {
  const char* name;
  bool accepted;
};

const CheckCase kChecks[] = {
    // plain form
    {R"(\\SERVER)", true},
    {R"(\\A\B)", true},  // the text after the first backslash is the server
    {R"(\\A\B\C)", false},
    {R"(\\SRV1.X)", false},
    {R"(\\)", false},
    {R"(\\A\)", false},
    {R"(\\\A)", false},
    {R"(\\A\\B)", false},
    {"SERVER", false},
    {R"(\SERVER)", false},
    // browse form
    {R"(CDS:\\TREE\O\SERVER)", true},
    {R"(CDS:\\TREE\O\OU\SRV1)", true},
    {R"(CDS:\\TREE\O\OU\DEPT\SRV1)", true},
    {R"(CDS:\\TREE\SERVER)", false},  // no container
    {R"(CDS:\\TREE)", false},
    {R"(CDS:\\TREE\)", false},
    {R"(CDS:\\)", false},
    {R"(CDS:\\TREE\\O\SRV)", false},
    {R"(CDS:\\TREE\O\\SRV)", false},
    {R"(CDS:\\TREE\O.X\SRV)", false},
    {R"(CDS:\TREE\O\SRV)", false},
    {R"(CDS:TREE\O\SRV)", false},
    {R"(cds:\\TREE\O\SRV)", false},  // the setter upper-cases before checking
    {"", false},
    {".", false},
};

TEST(NameCheck, AcceptsThePlainAndBrowseFormsOnly) {
  for (const CheckCase& c : kChecks) EXPECT_EQ(NameCheck(c.name), c.accepted) << c.name;
}

TEST(NameCheck, RefusesNamesLongerThanTheLimit) {
  std::string plain = R"(\\)" + std::string(cvsrva::kMaxNameLength - 2, 'S');
  EXPECT_TRUE(NameCheck(plain));
  EXPECT_FALSE(NameCheck(plain + "S"));

  std::string browse = R"(CDS:\\TREE\O\)";
  browse += std::string(cvsrva::kMaxNameLength - browse.size(), 'S');
  EXPECT_TRUE(NameCheck(browse));
  EXPECT_FALSE(NameCheck(browse + "S"));
}

struct FormCase {
  const char* browse;     // FullName
  const char* directory;  // internal name
  const char* tree;       // of the parsed internal name, for the directory forms
  const char* context;
};

// Names the check accepts, with their directory forms.
const FormCase kForms[] = {
    {R"(CDS:\\TREE\O\OU\SRV1)", R"(\\TREE\.SRV1.OU.O)", "TREE", "SRV1.OU.O"},
    {R"(CDS:\\TREE\O\SRV1)", R"(\\TREE\.SRV1.O)", "TREE", "SRV1.O"},
    {R"(CDS:\\ACME\C1\C2\C3\C4\WEB)", R"(\\ACME\.WEB.C4.C3.C2.C1)", "ACME", "WEB.C4.C3.C2.C1"},
    {R"(CDS:\\MY TREE\SALES DEPT\WEB 1)", R"(\\MY TREE\.WEB 1.SALES DEPT)", "MY TREE", "WEB 1.SALES DEPT"},
    {"CDS:\\\\B\xC3\x84UME\\\xC3\x96\\S\xC3\x9C" "D", "\\\\B\xC3\x84UME\\.S\xC3\x9C" "D.\xC3\x96", "B\xC3\x84UME",
     "S\xC3\x9C" "D.\xC3\x96"},
    {R"(\\SRV1)", R"(\\SRV1)", nullptr, nullptr},
    {R"(\\A\B)", R"(\\A\B)", nullptr, nullptr},
};

TEST(NameForms, BrowseToDirectoryAndBackAreInverse) {
  for (const FormCase& c : kForms) {
    SCOPED_TRACE(c.browse);
    ASSERT_TRUE(NameCheck(c.browse));
    EXPECT_EQ(BrowseToDirectory(c.browse), c.directory);
    EXPECT_EQ(DirectoryToBrowse(c.directory), c.browse);
    EXPECT_EQ(DirectoryToBrowse(BrowseToDirectory(c.browse)), c.browse);
  }
}

TEST(NameForms, DirectoryFormsParseIntoTreeAndTheServersName) {
  for (const FormCase& c : kForms) {
    if (!c.tree) continue;
    SCOPED_TRACE(c.directory);
    auto parsed = ParseDirectoryName(c.directory);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->tree, c.tree);
    EXPECT_EQ(parsed->context, c.context);
  }
}

TEST(NameForms, ConversionEdgeCases) {
  // Without a container the browse conversion yields the server alone.
  EXPECT_EQ(BrowseToDirectory(R"(CDS:\\TREE\SRV1)"), "SRV1");
  // A directory form with no dot after "\." yields its last component.
  EXPECT_EQ(DirectoryToBrowse(R"(\\TREE\.SRV1)"), "SRV1");
  // Names without the prefix, or without a dot, pass unchanged.
  EXPECT_EQ(BrowseToDirectory(R"(\\SRV1)"), R"(\\SRV1)");
  EXPECT_EQ(DirectoryToBrowse(R"(\\SRV1)"), R"(\\SRV1)");
  EXPECT_EQ(BrowseToDirectory(""), "");
  EXPECT_EQ(DirectoryToBrowse(""), "");
  // Short or malformed input never reads past its end.
  EXPECT_EQ(BrowseToDirectory("CDS:"), "");
  EXPECT_EQ(DirectoryToBrowse("."), "");
}

struct Tok {
  TokenKind kind;
  std::string text;
  bool operator==(const Tok&) const = default;
};

std::vector<Tok> Tokens(std::string_view text) {
  NameTokenizer t(text);
  std::vector<Tok> out;
  for (int i = 0; i < 64; ++i) {
    cvsrva::Token k = t.Next();
    out.push_back({k.kind, k.text});
    if (k.kind == TokenKind::End) break;
  }
  return out;
}

void PrintTo(const Tok& t, std::ostream* os) { *os << static_cast<int>(t.kind) << ":\"" << t.text << "\""; }

TEST(NameTokenizer, SplitsDirectoryNames) {
  using K = TokenKind;
  EXPECT_THAT(Tokens(R"(\\TREE\.SRV1.O)"),
              ::testing::ElementsAre(Tok{K::DoubleBackslash, R"(\\)"}, Tok{K::Word, "TREE"},
                                     Tok{K::BackslashDot, R"(\.)"}, Tok{K::Word, "SRV1.O"}, Tok{K::End, ""}));
  // Blanks and control characters before a token are skipped; inside a word
  // they belong to it.
  EXPECT_THAT(Tokens(" \t\x01\\\\ A B\\ \n\\."),
              ::testing::ElementsAre(Tok{K::DoubleBackslash, R"(\\)"}, Tok{K::Word, "A B"}, Tok{K::Backslash, R"(\)"},
                                     Tok{K::BackslashDot, R"(\.)"}, Tok{K::End, ""}));
  // A backslash before anything else, the last one included, is single.
  EXPECT_THAT(Tokens(R"(\A\\\.\)"),
              ::testing::ElementsAre(Tok{K::Backslash, R"(\)"}, Tok{K::Word, "A"}, Tok{K::DoubleBackslash, R"(\\)"},
                                     Tok{K::BackslashDot, R"(\.)"}, Tok{K::Backslash, R"(\)"}, Tok{K::End, ""}));
  // Bytes of multibyte characters are word characters, not blanks.
  EXPECT_THAT(Tokens("\xC3\xA9t\xC3\xA9"), ::testing::ElementsAre(Tok{K::Word, "\xC3\xA9t\xC3\xA9"}, Tok{K::End, ""}));
  EXPECT_THAT(Tokens("  \t"), ::testing::ElementsAre(Tok{K::End, ""}));
}

struct ParseCase {
  const char* name;
  bool ok;
  const char* tree;
  const char* context;
};

const ParseCase kParses[] = {
    {R"(\\TREE\.SRV1.OU.O)", true, "TREE", "SRV1.OU.O"},
    {R"(\\TREE\. SRV1.O)", true, "TREE", "SRV1.O"},
    {R"(\\TREE\.A\B)", true, "TREE", R"(A\B)"},
    {R"(\\TREE\.A\.B)", true, "TREE", R"(A\.B)"},
    {R"(\\TREE\.)", true, "TREE", ""},
    {R"(\\TREE\SRV1.O)", false, nullptr, nullptr},
    {R"(\\TREE)", false, nullptr, nullptr},
    {R"(TREE\.SRV1)", false, nullptr, nullptr},
    {R"(\TREE\.SRV1)", false, nullptr, nullptr},
    {R"(\\\.SRV1)", false, nullptr, nullptr},
    {R"(\\TREE\.SRV1\\X)", false, nullptr, nullptr},
    {R"(\\TREE\\.SRV1)", false, nullptr, nullptr},
    {R"(\\SRV1)", false, nullptr, nullptr},
    {"", false, nullptr, nullptr},
};

TEST(ParseDirectoryName, AcceptsTreeBackslashDotContextOnly) {
  for (const ParseCase& c : kParses) {
    SCOPED_TRACE(c.name);
    auto parsed = ParseDirectoryName(c.name);
    ASSERT_EQ(parsed.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(parsed->tree, c.tree);
    EXPECT_EQ(parsed->context, c.context);
  }
}

TEST(ParseDirectoryName, RefusesNamesLongerThanTheLimit) {
  std::string name = R"(\\TREE\.)";
  name += std::string(cvsrva::kMaxNameLength - name.size(), 'S');
  EXPECT_TRUE(ParseDirectoryName(name).has_value());
  EXPECT_FALSE(ParseDirectoryName(name + "S").has_value());
}

}  // namespace
