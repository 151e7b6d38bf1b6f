#include "corvane/server/audit_record.h"

#include <openssl/evp.h>

#include <array>
#include <charconv>
#include <chrono>
#include <ctime>
#include <memory>

namespace cvaudit {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Bytes that go into a JSON string as they are: printable ASCII but the
// quote and the backslash.
constexpr auto kPlain = [] {
  std::array<bool, 256> plain{};
  for (int b = 0x20; b < 0x7F; ++b) plain[b] = b != '"' && b != '\\';
  return plain;
}();

// Length of the UTF-8 sequence at s[i], 0 when it is not a valid one.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void EscapeInto(std::string& out, std::string_view text, std::size_t max);

// A text field of the record's own: lead is its punctuation and name, as
// in ",\"time\":\"" (plain ASCII, no escape), then the value escaped.
void Text(std::string& out, std::string_view lead, std::string_view value) {
  out.append(lead);
  EscapeInto(out, value, kMaxField);
  out += '"';
}

// An extra field: its name comes from the caller and is escaped too.
void ExtraField(std::string& out, std::string_view name, std::string_view value) {
  out.append(",\"");
  EscapeInto(out, name, kMaxLine);
  out.append("\":\"");
  EscapeInto(out, value, kMaxField);
  out += '"';
}

// A number field, lead as for Text: ",\"port\":".
void Number(std::string& out, std::string_view lead, std::uint64_t value) {
  char text[64];
  lead.copy(text, lead.size());
  const auto end = std::to_chars(text + lead.size(), text + sizeof text, value).ptr;
  out.append(text, end);
}

// A strict reader of the one flat object a line holds.
class LineReader {
 public:
  explicit LineReader(std::string_view s) : s_(s) {}

  bool Eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool AtEnd() const { return i_ == s_.size(); }
  bool PeekQuote() const { return i_ < s_.size() && s_[i_] == '"'; }

  std::optional<std::string> String() {
    if (!Eat('"')) return std::nullopt;
    std::string out;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return std::nullopt;
      switch (s_[i_++]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          auto cp = Hex4();
          if (!cp) return std::nullopt;
          if (*cp >= 0xD800 && *cp <= 0xDBFF) {
            if (!Eat('\\') || !Eat('u')) return std::nullopt;
            auto low = Hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
          } else if (*cp >= 0xDC00 && *cp <= 0xDFFF) {
            return std::nullopt;
          }
          AppendUtf8(out, *cp);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<std::uint64_t> Number() {
    const char* b = s_.data() + i_;
    const char* e = s_.data() + s_.size();
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p == b || (*b == '0' && p - b > 1)) return std::nullopt;
    i_ += static_cast<std::size_t>(p - b);
    return v;
  }

 private:
  std::optional<std::uint32_t> Hex4() {
    if (i_ + 4 > s_.size()) return std::nullopt;
    std::uint32_t v = 0;
    auto [p, ec] = std::from_chars(s_.data() + i_, s_.data() + i_ + 4, v, 16);
    if (ec != std::errc() || p != s_.data() + i_ + 4) return std::nullopt;
    i_ += 4;
    return v;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

std::optional<Record> Fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return std::nullopt;
}

bool IsHashText(std::string_view s) {
  return s.size() == 64 && s.find_first_not_of(kHexDigits) == std::string_view::npos;
}

}  // namespace

const std::string* Record::Extra(std::string_view name) const {
  for (const auto& [k, v] : extra) {
    if (k == name) return &v;
  }
  return nullptr;
}

namespace {

void EscapeInto(std::string& out, std::string_view text, std::size_t max) {
  if (text.size() > max) text = text.substr(0, max);
  for (std::size_t i = 0; i < text.size();) {
    // A run of printable ASCII that needs no escape goes in whole.
    std::size_t run = i;
    while (run < text.size() && kPlain[static_cast<unsigned char>(text[run])]) ++run;
    if (run > i) {
      out.append(text.data() + i, run - i);
      i = run;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          out += "\\u00";
          out += kHexDigits[c >> 4];
          out += kHexDigits[c & 0xF];
      }
      ++i;
    } else if (const std::size_t n = Utf8Length(text, i); n > 0) {
      // U+2028 and U+2029 end lines for some readers: escaped too.
      if (n == 3 && c == 0xE2 && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
          (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xA8) {
        out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      } else {
        out.append(text.substr(i, n));
      }
      i += n;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    }
  }
}

}  // namespace

std::string Escape(std::string_view text, std::size_t max) {
  std::string out;
  out.reserve(std::min(text.size(), max) + 8);
  EscapeInto(out, text, max);
  return out;
}

std::string Encode(const Record& r) {
  std::string out;
  out.reserve(512);
  EncodeInto(out, r);
  return out;
}

void EncodeInto(std::string& out, const Record& r) {
  Number(out, "{\"seq\":", r.seq);
  Text(out, ",\"time\":\"", r.time);
  Text(out, ",\"action\":\"", r.action);
  Text(out, ",\"target\":\"", r.target);
  Number(out, ",\"outcome\":", r.outcome);
  Text(out, ",\"user\":\"", r.who.user);
  Number(out, ",\"object_id\":", r.who.objectId);
  Number(out, ",\"connection\":", r.who.connection);
  Text(out, ",\"peer\":\"", r.who.peer);
  Number(out, ",\"port\":", r.who.port);
  Text(out, ",\"workstation\":\"", r.who.workstation);
  if (!r.who.mechanism.empty()) Text(out, ",\"mechanism\":\"", r.who.mechanism);
  for (std::size_t i = 0; i < r.extra.size() && i < kMaxExtras; ++i) ExtraField(out, r.extra[i].first, r.extra[i].second);
  Text(out, ",\"prev\":\"", r.prev);
  if (!r.sig.empty()) Text(out, ",\"sig\":\"", r.sig);
  out += '}';
}

std::optional<std::string> SignedPart(std::string_view line) {
  constexpr std::string_view kSig = ",\"sig\":\"";
  const auto at = line.rfind(kSig);
  if (at == std::string_view::npos || !line.ends_with("\"}")) return std::nullopt;
  const std::string_view value = line.substr(at + kSig.size(), line.size() - 2 - at - kSig.size());
  if (value.empty() || value.find_first_not_of(kHexDigits) != std::string_view::npos) return std::nullopt;
  std::string out(line.substr(0, at));
  out += '}';
  return out;
}

std::optional<Record> Parse(std::string_view line, std::string* error) {
  if (line.size() > kMaxLine) return Fail(error, "line too long");
  LineReader in(line);
  if (!in.Eat('{')) return Fail(error, "not an object");
  Record r;
  std::uint32_t seen = 0;  // known fields met, a bit each
  const auto once = [&](int bit) {
    const bool first = (seen & (1u << bit)) == 0;
    seen |= 1u << bit;
    return first;
  };
  bool firstField = true;
  while (!in.Eat('}')) {
    if (!firstField && !in.Eat(',')) return Fail(error, "fields not separated");
    firstField = false;
    const auto key = in.String();
    if (!key || !in.Eat(':')) return Fail(error, "malformed field name");
    struct Num {
      const char* name;
      int bit;
    };
    static constexpr Num kNumbers[] = {{"seq", 0}, {"outcome", 1}, {"object_id", 2}, {"connection", 3}, {"port", 4}};
    bool numeric = false;
    for (const auto& n : kNumbers) {
      if (*key != n.name) continue;
      numeric = true;
      const auto v = in.Number();
      if (!v || !once(n.bit)) return Fail(error, "bad or repeated " + *key);
      if (n.bit == 0) r.seq = *v;
      if (n.bit == 1 && *v <= UINT32_MAX) r.outcome = static_cast<std::uint32_t>(*v);
      if (n.bit == 2 && *v <= UINT32_MAX) r.who.objectId = static_cast<std::uint32_t>(*v);
      if (n.bit == 3 && *v <= UINT32_MAX) r.who.connection = static_cast<std::uint32_t>(*v);
      if (n.bit == 4 && *v <= 65535) r.who.port = static_cast<std::uint16_t>(*v);
      if ((n.bit == 1 || n.bit == 2 || n.bit == 3) && *v > UINT32_MAX) return Fail(error, *key + " out of range");
      if (n.bit == 4 && *v > 65535) return Fail(error, "port out of range");
    }
    if (numeric) continue;
    auto value = in.String();
    if (!value) return Fail(error, "malformed value of " + key->substr(0, 64));
    struct Text {
      const char* name;
      int bit;
      std::string* into;
    };
    const Text texts[] = {{"time", 5, &r.time},        {"action", 6, &r.action},
                          {"target", 7, &r.target},    {"user", 8, &r.who.user},
                          {"peer", 9, &r.who.peer},    {"workstation", 10, &r.who.workstation},
                          {"prev", 11, &r.prev},       {"sig", 12, &r.sig},
                          {"mechanism", 13, &r.who.mechanism}};
    bool known = false;
    for (const auto& t : texts) {
      if (*key != t.name) continue;
      known = true;
      if (!once(t.bit)) return Fail(error, "repeated " + *key);
      *t.into = std::move(*value);
    }
    if (known) continue;
    if (key->empty() || key->size() > 32 || key->find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
                                                std::string::npos) {
      return Fail(error, "a field name that no record has");
    }
    if (r.extra.size() >= kMaxExtras || r.Extra(*key)) return Fail(error, "too many or repeated fields");
    r.extra.emplace_back(std::move(*key), std::move(*value));
  }
  if (!in.AtEnd()) return Fail(error, "text after the object");
  constexpr std::uint32_t kRequired = (1u << 0) | (1u << 1) | (1u << 5) | (1u << 6) | (1u << 11);
  if ((seen & kRequired) != kRequired) return Fail(error, "seq, time, action, outcome or prev missing");
  if (!IsHashText(r.prev)) return Fail(error, "prev is not a SHA-256");
  if (r.action.empty()) return Fail(error, "empty action");
  return r;
}

void HexInto(std::span<const std::uint8_t> bytes, std::string& out) {
  out.resize(bytes.size() * 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 0xF];
  }
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  HexInto(bytes, out);
  return out;
}

std::optional<std::vector<std::uint8_t>> Unhex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    auto [p, ec] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, out[i], 16);
    if (ec != std::errc() || p != hex.data() + 2 * i + 2) return std::nullopt;
  }
  return out;
}

void HashInto(std::string_view line, std::string& hex) {
  // Fetched once, and a context kept per thread: an implicit fetch, or a
  // context made and freed per line, costs more than the hashing.
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  thread_local const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (!ctx || EVP_DigestInit_ex2(ctx.get(), sha256 ? sha256 : EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), line.data(), line.size()) != 1 || EVP_DigestFinal_ex(ctx.get(), digest, &n) != 1) {
    // Not a hash: the next record's prev then fits no line, and audit-verify says so.
    hex.assign(kNoPrevious.size(), 'x');
    return;
  }
  HexInto(std::span(digest, n), hex);
}

std::string Hash(std::string_view line) {
  std::string hex;
  HashInto(line, hex);
  return hex;
}

std::string TimeText(std::chrono::system_clock::time_point at) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  // 2026-12-08T03:12:45.120Z; the part up to the seconds is kept for the
  // records of the same second.
  thread_local std::time_t lastSecs = -1;
  thread_local char text[24] = {};
  const auto put = [](int at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i, value /= 10) text[at + i] = static_cast<char>('0' + value % 10);
  };
  if (secs != lastSecs) {
    std::tm t{};
    ::gmtime_r(&secs, &t);
    put(0, t.tm_year + 1900, 4);
    text[4] = '-';
    put(5, t.tm_mon + 1, 2);
    text[7] = '-';
    put(8, t.tm_mday, 2);
    text[10] = 'T';
    put(11, t.tm_hour, 2);
    text[13] = ':';
    put(14, t.tm_min, 2);
    text[16] = ':';
    put(17, t.tm_sec, 2);
    text[19] = '.';
    text[23] = 'Z';
    lastSecs = secs;
  }
  put(20, static_cast<int>(ms % 1000), 3);
  return std::string(text, 24);
}

std::vector<std::string> JournalFields(const Record& r, int priority) {
  // Journal values may hold any bytes; line breaks are kept out of them all
  // the same, so that the journal's export format reads them back as given.
  const auto clean = [](std::string_view v) {
    std::string s(v.substr(0, kMaxField));
    for (char& c : s) {
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return s;
  };
  std::string message = "audit: " + r.action;
  if (!r.target.empty()) message += " " + clean(r.target);
  message += " -> " + std::to_string(r.outcome);
  if (!r.who.user.empty()) message += " by " + clean(r.who.user);
  if (r.who.connection != 0) message += " (connection " + std::to_string(r.who.connection) + ")";
  if (!r.who.peer.empty()) message += " from " + clean(r.who.peer) + ":" + std::to_string(r.who.port);
  std::vector<std::string> f = {
      "MESSAGE=" + message,
      "PRIORITY=" + std::to_string(priority),
      "SYSLOG_IDENTIFIER=cvserverd",
      "CV_SEQ=" + std::to_string(r.seq),
      "CV_TIME=" + r.time,
      "CV_ACTION=" + r.action,
      "CV_TARGET=" + clean(r.target),
      "CV_OUTCOME=" + std::to_string(r.outcome),
      "CV_USER=" + clean(r.who.user),
      "CV_OBJECT_ID=" + std::to_string(r.who.objectId),
      "CV_CONNECTION=" + std::to_string(r.who.connection),
      "CV_PEER=" + clean(r.who.peer),
      "CV_PORT=" + std::to_string(r.who.port),
      "CV_WORKSTATION=" + clean(r.who.workstation),
  };
  if (!r.who.mechanism.empty()) f.push_back("CV_MECHANISM=" + clean(r.who.mechanism));
  for (const auto& [k, v] : r.extra) {
    std::string key = "CV_";
    for (char c : k.substr(0, 32)) {
      const bool digit = c >= '0' && c <= '9';
      key += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : (c >= 'A' && c <= 'Z') || digit ? c : '_';
    }
    f.push_back(key + "=" + clean(v));
  }
  f.push_back("CV_PREV=" + r.prev);
  return f;
}

std::optional<std::string> CallName(std::span<const std::uint8_t> request) {
  if (request.size() < 6) return std::nullopt;
  const std::size_t count = request[1] | (request[2] << 8);
  const std::size_t length = request[3] | (request[4] << 8);
  if (count == 0 || request[5] != 'C' || length == 0 || length > 256 || 6 + length > request.size()) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(request.data()) + 6, length);
}

}  // namespace cvaudit
