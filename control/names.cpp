#include "names.h"

namespace cvsrva {
namespace {

constexpr std::string_view kCds = "CDS:";
constexpr std::string_view kBrowsePrefix = "CDS:\\\\";

bool HasDoubleBackslash(std::string_view s) { return s.find("\\\\") != std::string_view::npos; }

}  // namespace

bool NameCheck(std::string_view v) {
  if (v.size() > kMaxNameLength || v.find('.') != std::string_view::npos) return false;
  if (v.starts_with("\\\\")) {
    std::string_view rest = v.substr(2);
    if (HasDoubleBackslash(rest)) return false;
    std::size_t p = rest.find('\\');
    if (p == 0) return false;
    std::string_view remainder = p == std::string_view::npos ? rest : rest.substr(p + 1);
    if (remainder.find('\\') != std::string_view::npos) return false;
    return !remainder.empty();
  }
  if (v.starts_with(kBrowsePrefix)) {
    std::string_view rest = v.substr(kBrowsePrefix.size());
    if (HasDoubleBackslash(rest)) return false;
    std::size_t tree = rest.find('\\');
    // A name without a tree or without a server names no server object, and
    // would not convert back to itself once persisted.
    if (tree == std::string_view::npos || tree == 0) return false;
    rest = rest.substr(tree + 1);
    std::size_t server = rest.rfind('\\');
    if (server == std::string_view::npos || server + 1 == rest.size()) return false;
    return !rest.substr(0, server).empty();
  }
  return false;
}

std::string BrowseToDirectory(std::string_view s) {
  if (!s.starts_with(kCds)) return std::string(s);
  std::string_view rest = s.substr(std::min<std::size_t>(6, s.size()));
  std::size_t t = rest.find('\\');
  std::string_view tree = rest.substr(0, t);
  rest = t == std::string_view::npos ? std::string_view() : rest.substr(t + 1);
  std::string acc;
  for (std::size_t p; (p = rest.find('\\')) != std::string_view::npos; rest = rest.substr(p + 1)) {
    std::string c(rest.substr(0, p));
    acc = acc.empty() ? c : c + "." + acc;
  }
  if (acc.empty()) return std::string(rest);
  return "\\\\" + std::string(tree) + "\\." + std::string(rest) + "." + acc;
}

std::string DirectoryToBrowse(std::string_view s) {
  if (s.find('.') == std::string_view::npos) return std::string(s);
  std::string_view rest = s.substr(std::min<std::size_t>(2, s.size()));
  std::size_t t = rest.find('\\');
  std::string_view tree = rest.substr(0, t);
  rest = t == std::string_view::npos ? std::string_view() : rest.substr(std::min(t + 2, rest.size()));
  std::string acc;
  for (std::size_t p; (p = rest.find('.')) != std::string_view::npos; rest = rest.substr(p + 1)) {
    std::string c(rest.substr(0, p));
    acc = acc.empty() ? c : c + "\\" + acc;
  }
  if (acc.empty()) return std::string(rest);
  return std::string(kBrowsePrefix) + std::string(tree) + "\\" + std::string(rest) + "\\" + acc;
}

Token NameTokenizer::Next() {
  while (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) < '!') ++pos_;
  if (pos_ >= text_.size()) return {TokenKind::End, {}};
  if (text_[pos_] == '\\') {
    char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
    if (next == '\\' || next == '.') {
      pos_ += 2;
      return {next == '\\' ? TokenKind::DoubleBackslash : TokenKind::BackslashDot, next == '\\' ? "\\\\" : "\\."};
    }
    ++pos_;
    return {TokenKind::Backslash, "\\"};
  }
  std::size_t end = text_.find('\\', pos_);
  if (end == std::string::npos) end = text_.size();
  Token t{TokenKind::Word, text_.substr(pos_, end - pos_)};
  pos_ = end;
  return t;
}

std::optional<DirectoryName> ParseDirectoryName(std::string_view name) {
  if (name.size() > kMaxNameLength) return std::nullopt;
  NameTokenizer tok(name);
  if (tok.Next().kind != TokenKind::DoubleBackslash) return std::nullopt;
  Token tree = tok.Next();
  if (tree.kind != TokenKind::Word) return std::nullopt;
  if (tok.Next().kind != TokenKind::BackslashDot) return std::nullopt;
  DirectoryName out{tree.text, {}};
  for (Token t = tok.Next(); t.kind != TokenKind::End; t = tok.Next()) {
    if (t.kind == TokenKind::DoubleBackslash) return std::nullopt;
    out.context += t.text;
  }
  return out;
}

}  // namespace cvsrva
