// Server name forms and the conversions between them.
//
//   browse form     CDS:\\TREE\C1\...\Cn\SERVER   (containers outermost first)
//   plain form      \\SERVER
//   directory form  \\TREE\.SERVER.Cn....C1       (what is persisted)
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cvsrva {

// Longest server name accepted, in bytes; longer names are refused as an
// invalid name format. Its directory form fits the client library's 515-byte
// name areas.
inline constexpr std::size_t kMaxNameLength = 500;

// Whether an (upper-cased) name is a valid plain or browse form.
bool NameCheck(std::string_view name);

std::string BrowseToDirectory(std::string_view name);
std::string DirectoryToBrowse(std::string_view name);

// The tokens of a directory-form name.
enum class TokenKind { End, DoubleBackslash, BackslashDot, Backslash, Word };
struct Token {
  TokenKind kind;
  std::string text;
};
// Splits text into tokens; characters below '!' between tokens are skipped.
class NameTokenizer {
 public:
  explicit NameTokenizer(std::string_view text) : text_(text) {}
  Token Next();

 private:
  std::string text_;
  std::size_t pos_ = 0;
};

struct DirectoryName {
  std::string tree;
  std::string context;  // the server's distinguished name, e.g. SRV1.OU.O
};
// Parses \\TREE\.CONTEXT; nullopt for any other shape.
std::optional<DirectoryName> ParseDirectoryName(std::string_view name);

}  // namespace cvsrva
