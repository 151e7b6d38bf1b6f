// A temporary folder removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ww-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Points OLE_REGISTRY at a fresh file for the lifetime of the object.
class ScopedRegistry {
 public:
  ScopedRegistry() : file_(dir_ / "registry.reg") {
    if (const char* old = std::getenv("OLE_REGISTRY")) old_ = old, had_ = true;
    ::setenv("OLE_REGISTRY", file_.c_str(), 1);
  }
  ~ScopedRegistry() {
    if (had_)
      ::setenv("OLE_REGISTRY", old_.c_str(), 1);
    else
      ::unsetenv("OLE_REGISTRY");
  }
  const std::string& file() const { return file_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string file_;
  std::string old_;
  bool had_ = false;
};

}  // namespace testsupport
