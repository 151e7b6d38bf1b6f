// What stat says of a file, to tell whether it changed since it was read, so
// that the library reads its configuration files again only when they did.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace cvclient {

struct FileStamp {
  bool exists = false;
  std::uint64_t dev = 0, ino = 0;
  std::int64_t size = 0;
  std::int64_t mtimeNs = 0, ctimeNs = 0;
  std::uint32_t mode = 0, uid = 0;

  // The file at path (following a link, or not for OfLink); a missing or
  // unreadable one is a stamp with exists false.
  static FileStamp Of(const std::string& path);
  static FileStamp OfLink(const std::string& path);
  static FileStamp OfFd(int fd);

  bool operator==(const FileStamp&) const = default;

  // Whether the stamp can tell any later change: a file changed within the
  // last kSettleNs may be changed again within the same tick of the file
  // system's clock without its times moving, so such a file is read again.
  static constexpr std::int64_t kSettleNs = 2'000'000'000;
  bool Settled() const;
};

}  // namespace cvclient
