#include "corvane/wire/dirmech.h"

#include "corvane/wire/codec.h"

namespace cvwire::dirmech {
namespace {

// The fields a Writer wrote, without the frame's length and header.
std::vector<std::uint8_t> Fields(Writer& w) {
  const auto& frame = w.Frame();
  return {frame.begin() + static_cast<std::ptrdiff_t>(kLengthSize + kHeaderSize), frame.end()};
}

// A Reader over bare fields: the mechanism data carries no header of its
// own, so an empty one is put in front. data is a blob, at most 65535 bytes.
std::vector<std::uint8_t> WithHeader(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> bytes(kHeaderSize, 0);
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

struct FieldReader {
  explicit FieldReader(std::span<const std::uint8_t> data) : bytes(WithHeader(data)), reader(bytes) {}
  std::vector<std::uint8_t> bytes;  // declared first: reader views it
  Reader reader;
};

}  // namespace

std::vector<std::uint8_t> Encode(const Hello& h) {
  Writer w(0, 0);
  w.Str(h.tree).Str(h.user).Str(h.password);
  return Fields(w);
}

std::vector<std::uint8_t> Encode(const Welcome& welcome) {
  Writer w(0, 0);
  w.Str(welcome.tree).Str(welcome.server);
  return Fields(w);
}

std::optional<Hello> ParseHello(std::span<const std::uint8_t> data) {
  if (data.size() > kMaxPayload) return std::nullopt;
  FieldReader f(data);
  Hello h;
  h.tree = f.reader.Str();
  h.user = f.reader.Str();
  h.password = f.reader.Str();
  if (!f.reader.Done() || h.tree.size() > kMaxTree || h.user.size() > kMaxDottedName ||
      h.password.size() > kMaxPassword) {
    return std::nullopt;
  }
  return h;
}

std::optional<Welcome> ParseWelcome(std::span<const std::uint8_t> data) {
  if (data.size() > kMaxPayload) return std::nullopt;
  FieldReader f(data);
  Welcome w;
  w.tree = f.reader.Str();
  w.server = f.reader.Str();
  if (!f.reader.Done() || w.tree.empty() || w.tree.size() > kMaxTree || w.server.size() > kMaxDottedName) {
    return std::nullopt;
  }
  return w;
}

}  // namespace cvwire::dirmech
