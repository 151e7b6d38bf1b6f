// LDAP entries to listing batches and back: arbitrary distinguished names and
// object classes become listing items, are packed into a buffer of a size
// taken from the input, and read back; the raw input is also read as a batch
// and as a read reply, as a [Trees] value of client.ini and as a server
// timestamp.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "corvane/client/config.h"
#include "corvane/directory/batch.h"
#include "corvane/directory/ldapdir.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t cap = 5 + (data[0] | (data[1] << 8)) % 8192;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  // A [Trees] value: when it parses, every replica is an LDAP URI with no
  // blank in it, at most 16 of them, sharing one base.
  {
    std::vector<std::string> uris;
    std::string base;
    if (cvclient::ParseTreeUrls(text, uris, base)) {
      if (uris.empty() || uris.size() > 16) std::abort();
      for (const auto& u : uris) {
        if (!(u.starts_with("ldap://") || u.starts_with("ldaps://")) || u.find_first_of(" \t") != std::string::npos)
          std::abort();
      }
    }
  }

  // Server-supplied timestamps (modifyTimestamp): any text either parses to
  // an instant within the years 0000 to 9999 or is refused.
  if (std::int64_t seconds = 0; cvdir::ParseGeneralizedTime(text, seconds)) {
    if (seconds < -62167219200 - 86400 || seconds > 253402300800 + 86400) std::abort();
  }

  // Lines: a DN, then its object classes separated by ',' ... one entry per two lines.
  std::vector<cvdir::ListItem> items;
  std::size_t pos = 0;
  while (pos < text.size() && items.size() < 64) {
    const std::size_t nl = text.find('\n', pos);
    const std::string dn = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    const std::size_t nl2 = text.find('\n', pos);
    const std::string classLine = text.substr(pos, nl2 == std::string::npos ? std::string::npos : nl2 - pos);
    pos = nl2 == std::string::npos ? text.size() : nl2 + 1;
    std::vector<std::string> classes;
    for (std::size_t c = 0; c <= classLine.size();) {
      const std::size_t comma = classLine.find(',', c);
      classes.push_back(classLine.substr(c, comma == std::string::npos ? std::string::npos : comma - c));
      c = comma == std::string::npos ? classLine.size() + 1 : comma + 1;
    }
    items.push_back(cvdir::ItemFromEntry(dn, classes));
    std::string dotted;
    cvdir::DottedOf(dn, "o=ACME,dc=test", dotted);
  }

  std::vector<std::uint8_t> buffer;
  const std::size_t packed = cvdir::PackItems(items, 0, cap, buffer);
  Check(buffer.size() <= cap);
  cvdir::BatchReader reader(buffer);
  const auto header = reader.Header();
  Check(header && header->first == cvdir::kBatchList && header->second == packed);
  for (std::size_t i = 0; i < packed; ++i) {
    const auto item = reader.NextItem();
    Check(item.has_value());
    Check(item->name == items[i].name.substr(0, cvdir::kMaxObjectName));
    Check(item->baseClass == items[i].baseClass);
  }
  Check(!reader.NextItem());

  // The raw bytes as a listing batch and as a read reply: errors, never crashes.
  cvdir::BatchReader raw(std::span<const std::uint8_t>(data, size));
  if (auto h = raw.Header()) {
    for (std::uint32_t i = 0; i < h->second && raw.NextItem(); ++i) {
    }
  }
  raw.Header();
  for (int i = 0; i < 64; ++i) {
    auto a = raw.NextAttributeName();
    if (!a) break;
    for (std::uint32_t v = 0; v < a->second && v < 64; ++v) {
      if (!raw.NextValue()) break;
    }
  }
  return 0;
}
