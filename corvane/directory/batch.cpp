#include "corvane/directory/batch.h"

#include <algorithm>
#include <cstring>

namespace cvdir {
namespace {

constexpr std::size_t kHeader = 5;

void Put(std::vector<std::uint8_t>& out, const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}
void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
  Put(out, b, 2);
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                             static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  Put(out, b, 4);
}
void PutText16(std::vector<std::uint8_t>& out, const std::string& s, std::size_t max) {
  const std::size_t n = std::min({s.size(), max, std::size_t{0xFFFF}});
  PutU16(out, static_cast<std::uint16_t>(n));
  Put(out, s.data(), n);
}
void Begin(std::vector<std::uint8_t>& out, std::uint8_t kind) {
  out.clear();
  out.push_back(kind);
  PutU32(out, 0);
}
void SetCount(std::vector<std::uint8_t>& out, std::uint32_t n) {
  for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<std::uint8_t>(n >> (8 * i));
}

std::size_t ItemSize(const ListItem& item) {
  return 4 + std::min(item.name.size(), kMaxObjectName) + std::min<std::size_t>(item.baseClass.size(), 0xFFFF);
}

std::size_t AttributeSize(const Attribute& a) {
  std::size_t n = 2 + std::min<std::size_t>(a.name.size(), 0xFFFF) + 4;
  for (const auto& v : a.values) n += 4 + v.size();
  return n;
}

}  // namespace

std::size_t PackItems(const std::vector<ListItem>& items, std::size_t first, std::size_t cap,
                      std::vector<std::uint8_t>& out) {
  Begin(out, kBatchList);
  std::size_t n = 0;
  for (std::size_t i = first; i < items.size() && out.size() + ItemSize(items[i]) <= cap; ++i, ++n) {
    PutText16(out, items[i].name, kMaxObjectName);
    PutText16(out, items[i].baseClass, 0xFFFF);
  }
  SetCount(out, static_cast<std::uint32_t>(n));
  return n;
}

std::size_t PackAttributes(const std::vector<Attribute>& attributes, std::size_t first, std::size_t cap,
                           std::vector<std::uint8_t>& out) {
  Begin(out, kBatchRead);
  std::size_t n = 0;
  for (std::size_t i = first; i < attributes.size() && out.size() + AttributeSize(attributes[i]) <= cap; ++i, ++n) {
    const Attribute& a = attributes[i];
    PutText16(out, a.name, 0xFFFF);
    PutU32(out, static_cast<std::uint32_t>(a.values.size()));
    for (const auto& v : a.values) {
      PutU32(out, static_cast<std::uint32_t>(v.size()));
      Put(out, v.data(), v.size());
    }
  }
  SetCount(out, static_cast<std::uint32_t>(n));
  return n;
}

void PackRequest(const std::vector<std::string>& names, std::vector<std::uint8_t>& out) {
  Begin(out, kBatchRead);
  for (const auto& name : names) PutText16(out, name, 0xFFFF);
  SetCount(out, static_cast<std::uint32_t>(names.size()));
}

bool BatchReader::Take(void* out, std::size_t n) {
  if (n > data_.size() - pos_) return false;
  if (n) std::memcpy(out, data_.data() + pos_, n);
  pos_ += n;
  return true;
}

std::optional<std::string> BatchReader::Text16() {
  std::uint8_t b[2];
  if (!Take(b, 2)) return std::nullopt;
  const std::size_t n = b[0] | (b[1] << 8);
  if (n > data_.size() - pos_) return std::nullopt;
  std::string s(reinterpret_cast<const char*>(data_.data() + pos_), n);
  pos_ += n;
  return s;
}

std::optional<std::pair<std::uint8_t, std::uint32_t>> BatchReader::Header() {
  pos_ = 0;
  std::uint8_t b[kHeader];
  if (!Take(b, kHeader)) return std::nullopt;
  const std::uint32_t count = b[1] | (b[2] << 8) | (b[3] << 16) | (static_cast<std::uint32_t>(b[4]) << 24);
  return std::make_pair(b[0], count);
}

std::optional<ListItem> BatchReader::NextItem() {
  auto name = Text16();
  if (!name || name->size() > kMaxObjectName) return std::nullopt;
  auto cls = Text16();
  if (!cls) return std::nullopt;
  return ListItem{std::move(*name), std::move(*cls)};
}

std::optional<std::pair<std::string, std::uint32_t>> BatchReader::NextAttributeName() {
  auto name = Text16();
  std::uint8_t b[4];
  if (!name || !Take(b, 4)) return std::nullopt;
  return std::make_pair(std::move(*name), b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24));
}

std::optional<std::string> BatchReader::NextValue() {
  std::uint8_t b[4];
  if (!Take(b, 4)) return std::nullopt;
  const std::size_t n = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::size_t>(b[3]) << 24);
  if (n > data_.size() - pos_) return std::nullopt;
  std::string s(reinterpret_cast<const char*>(data_.data() + pos_), n);
  pos_ += n;
  return s;
}

std::optional<std::string> BatchReader::NextName() { return Text16(); }

}  // namespace cvdir
