#include "corvane/client/filestamp.h"

#include <sys/stat.h>

#include <ctime>

namespace cvclient {
namespace {

std::int64_t Ns(const struct timespec& t) { return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

FileStamp FromStat(int rc, const struct stat& st) {
  FileStamp s;
  if (rc != 0) return s;
  s.exists = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtimeNs = Ns(st.st_mtim);
  s.ctimeNs = Ns(st.st_ctim);
  s.mode = st.st_mode;
  s.uid = st.st_uid;
  return s;
}

}  // namespace

FileStamp FileStamp::Of(const std::string& path) {
  struct stat st {};
  const int rc = ::stat(path.c_str(), &st);
  return FromStat(rc, st);
}

FileStamp FileStamp::OfLink(const std::string& path) {
  struct stat st {};
  const int rc = ::lstat(path.c_str(), &st);
  return FromStat(rc, st);
}

FileStamp FileStamp::OfFd(int fd) {
  struct stat st {};
  const int rc = ::fstat(fd, &st);
  return FromStat(rc, st);
}

bool FileStamp::Settled() const {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t newest = ctimeNs > mtimeNs ? ctimeNs : mtimeNs;
  return Ns(now) - newest >= kSettleNs;
}

}  // namespace cvclient
