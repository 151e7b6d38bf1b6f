// The contents of a directory request or reply buffer: listing batches and
// read replies packed into at most the buffer's size, and read back with
// every length checked against what is left.
//
//   listing batch  u8 5, u32 count, then per object: u16 n, name, u16 n, base class
//   read reply     u8 3, u32 count, then per attribute: u16 n, name, u32 values,
//                  then per value: u32 n, bytes
//   read request   u8 3, u32 count, then per attribute name: u16 n, name
// Integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvane/directory/ldapdir.h"

namespace cvdir {

inline constexpr std::uint8_t kBatchList = 5;
inline constexpr std::uint8_t kBatchRead = 3;
inline constexpr std::size_t kMaxObjectName = 259;  // a name from a listing, without its NUL

// Packs items from first on into out (replacing it) while they fit in cap
// bytes; returns how many were packed. Names longer than kMaxObjectName are cut.
std::size_t PackItems(const std::vector<ListItem>& items, std::size_t first, std::size_t cap,
                      std::vector<std::uint8_t>& out);
// The same for attributes; an attribute that does not fit an empty buffer is
// not packed (0 is returned for it).
std::size_t PackAttributes(const std::vector<Attribute>& attributes, std::size_t first, std::size_t cap,
                           std::vector<std::uint8_t>& out);
void PackRequest(const std::vector<std::string>& names, std::vector<std::uint8_t>& out);

// Reads a buffer packed as above, one element at a time.
class BatchReader {
 public:
  explicit BatchReader(std::span<const std::uint8_t> data) : data_(data) {}
  // The kind and element count; nothing when the header is malformed.
  std::optional<std::pair<std::uint8_t, std::uint32_t>> Header();
  std::optional<ListItem> NextItem();
  // An attribute's name and value count; its values follow through NextValue.
  std::optional<std::pair<std::string, std::uint32_t>> NextAttributeName();
  std::optional<std::string> NextValue();
  std::optional<std::string> NextName();  // a request's attribute name
  std::size_t position() const { return pos_; }
  void Seek(std::size_t pos) { pos_ = pos; }

 private:
  bool Take(void* out, std::size_t n);
  std::optional<std::string> Text16();
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace cvdir
