#include "ole/registry.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <unordered_set>

#include "ole/registry_file.h"
#include "posix/file_lock.h"
#include "posix/unique_fd.h"

struct HKEY__ {
  std::string path;  // below HKEY_CLASSES_ROOT, "" for the root
};

namespace ole {
namespace {

thread_local std::string t_lastError;

std::mutex g_mutex;  // guards the handle set and the cache
std::unordered_set<HKEY> g_handles;

struct Cache {
  bool valid = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  std::string path;
  reg::Hive hive;
} g_cache;

bool ReadAll(int fd, std::string& out) {
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > reg::kMaxFileBytes) return true;  // the parser reports it
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Loads the hive from the file; a missing file is an empty registry. When st is
// given it receives the file's identity (st_ino 0 for a missing file).
LONG Load(const std::string& path, reg::Hive& hive, struct stat* st) {
  posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      hive = reg::Hive();
      if (st) *st = {};
      return ERROR_SUCCESS;
    }
    t_lastError = path + ": " + std::strerror(errno);
    return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_BADDB;
  }
  struct stat local{};
  if (::fstat(fd.get(), st ? st : &local) != 0) {
    t_lastError = path + ": " + std::strerror(errno);
    return ERROR_BADDB;
  }
  std::string text;
  if (!ReadAll(fd.get(), text)) {
    t_lastError = path + ": " + std::strerror(errno);
    return ERROR_BADDB;
  }
  reg::ParseError err;
  auto parsed = reg::Parse(text, &err);
  if (!parsed) {
    t_lastError = path + ":" + std::to_string(err.line) + ": " + err.message;
    return ERROR_BADDB;
  }
  hive = std::move(*parsed);
  return ERROR_SUCCESS;
}

bool SameFile(const Cache& c, const std::string& path, const struct stat& st) {
  return c.valid && c.path == path && c.dev == st.st_dev && c.ino == st.st_ino &&
         c.size == st.st_size && c.mtime.tv_sec == st.st_mtim.tv_sec &&
         c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

// Runs read on the current contents; reparses only when the file changed.
LONG Read(const std::function<LONG(const reg::Hive&)>& read) {
  std::string path = RegistryPath();
  std::lock_guard lock(g_mutex);
  struct stat st{};
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (!exists) {
    reg::Hive empty;
    return read(empty);
  }
  if (!SameFile(g_cache, path, st)) {
    reg::Hive hive;
    LONG rc = Load(path, hive, &st);
    if (rc != ERROR_SUCCESS) return rc;
    g_cache.valid = true;
    g_cache.path = path;
    g_cache.dev = st.st_dev;
    g_cache.ino = st.st_ino;
    g_cache.size = st.st_size;
    g_cache.mtime = st.st_mtim;
    g_cache.hive = std::move(hive);
  }
  return read(g_cache.hive);
}

// Removes the temporary files "<path>.tmp.<pid>" that writers killed between
// writing and renaming left behind. Called under the lock, so no live writer
// that takes it is between those steps; a file whose process still runs is
// left alone all the same.
void RemoveStaleTemporaries(const std::string& path) {
  const std::filesystem::path file(path);
  const std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  const std::string prefix = file.filename().string() + ".tmp.";
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const long pid = std::stol(digits);
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
    std::error_code removed;
    std::filesystem::remove(it->path(), removed);
  }
}

// Locks the file, loads it afresh, lets change modify it and, when change
// succeeds and reports a modification, writes it back atomically.
LONG Modify(const std::function<LONG(reg::Hive&, bool& changed)>& change) {
  std::string path = RegistryPath();
  std::filesystem::path file(path);
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);

  const posix::FileLock lock(path);
  if (!lock.Held()) {
    t_lastError = lock.LockPath() + ": " + std::strerror(lock.Error());
    return ERROR_ACCESS_DENIED;
  }
  RemoveStaleTemporaries(path);

  reg::Hive hive;
  LONG rc = Load(path, hive, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  bool changed = false;
  rc = change(hive, changed);
  if (rc != ERROR_SUCCESS || !changed) return rc;

  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  {
    posix::UniqueFd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.get() < 0) return ERROR_WRITE_FAULT;
    if (!WriteAll(out.get(), hive.Serialize()) || ::fsync(out.get()) != 0) {
      ::unlink(tmp.c_str());
      return ERROR_WRITE_FAULT;
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return ERROR_WRITE_FAULT;
  }
  posix::UniqueFd dir(::open(file.has_parent_path() ? file.parent_path().c_str() : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return ERROR_SUCCESS;
}

// The full path of subkey below key; false for an unknown handle.
bool Resolve(HKEY key, LPCSTR subkey, std::string& out) {
  std::string base;
  if (key == HKEY_CLASSES_ROOT) {
    base.clear();
  } else {
    std::lock_guard lock(g_mutex);
    if (!g_handles.count(key)) return false;
    base = key->path;
  }
  std::string_view sub = subkey ? subkey : "";
  while (sub.starts_with('\\')) sub.remove_prefix(1);
  out = base.empty() ? std::string(sub) : sub.empty() ? base : base + "\\" + std::string(sub);
  return true;
}

HKEY NewHandle(std::string path) {
  HKEY h = new HKEY__;
  h->path = std::move(path);
  std::lock_guard lock(g_mutex);
  g_handles.insert(h);
  return h;
}

std::string_view ValueName(LPCSTR name) { return name ? std::string_view(name) : std::string_view(); }

}  // namespace

std::string RegistryPath() {
  if (const char* p = std::getenv("OLE_REGISTRY"); p && *p) return p;
  std::string base;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
    base = x;
  else if (const char* h = std::getenv("HOME"); h && *h)
    base = std::string(h) + "/.local/share";
  else
    base = ".";
  return base + "/ole/registry.reg";
}

std::string RegistryLastError() { return t_lastError; }

std::string RegistryFileError() {
  t_lastError.clear();
  const LONG rc = Read([](const reg::Hive&) { return ERROR_SUCCESS; });
  if (rc == ERROR_SUCCESS) return std::string();
  return t_lastError.empty() ? RegistryPath() + ": cannot be read" : t_lastError;
}

}  // namespace ole

using namespace ole;

LONG RegCreateKeyEx(HKEY key, LPCSTR subkey, DWORD, LPSTR, DWORD, REGSAM, void*, HKEY* result,
                    DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (!Resolve(key, subkey, path)) return ERROR_INVALID_HANDLE;
  if (!reg::SplitPath(path)) return ERROR_INVALID_PARAMETER;
  bool created = false;
  std::string spelled;
  LONG rc = Modify([&](reg::Hive& hive, bool& changed) {
    if (key != HKEY_CLASSES_ROOT && !hive.Find(key->path)) return ERROR_KEY_DELETED;
    reg::Key* k = hive.Create(path, &created);
    if (!k) return ERROR_INVALID_PARAMETER;
    spelled = k->path;
    changed = created;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *result = NewHandle(spelled);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG RegOpenKeyEx(HKEY key, LPCSTR subkey, DWORD, REGSAM, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (!Resolve(key, subkey, path)) return ERROR_INVALID_HANDLE;
  std::string spelled;
  LONG rc = Read([&](const reg::Hive& hive) {
    const reg::Key* k = hive.Find(path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    spelled = k->path;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *result = NewHandle(spelled);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  {
    std::lock_guard lock(g_mutex);
    if (!g_handles.erase(key)) return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}

LONG RegSetValueEx(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  std::string path;
  if (!Resolve(key, nullptr, path)) return ERROR_INVALID_HANDLE;
  std::string_view vname = ValueName(name);
  if (!reg::ValidName(vname, reg::kMaxNameChars)) return ERROR_INVALID_PARAMETER;
  reg::Value v;
  v.name = vname;
  v.type = type;
  if (type == REG_SZ) {
    std::string_view text(reinterpret_cast<const char*>(data), data ? size : 0);
    text = text.substr(0, text.find('\0'));
    if (!reg::ValidName(text, reg::kMaxValueBytes)) return ERROR_INVALID_PARAMETER;
    v.text = text;
  } else if (type == REG_DWORD) {
    if (!data || size != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
    std::memcpy(&v.dword, data, sizeof(DWORD));
  } else {
    return ERROR_INVALID_PARAMETER;
  }
  return Modify([&](reg::Hive& hive, bool& changed) {
    reg::Key* k = hive.Find(path);
    if (!k) return ERROR_KEY_DELETED;
    reg::Value& slot = k->Set(vname);
    v.name = slot.name;  // keep the first spelling
    slot = std::move(v);
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegQueryValueEx(HKEY key, LPCSTR name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  std::string path;
  if (!Resolve(key, nullptr, path)) return ERROR_INVALID_HANDLE;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  return Read([&](const reg::Hive& hive) {
    const reg::Key* k = hive.Find(path);
    if (!k) return ERROR_KEY_DELETED;
    const reg::Value* v = k->Find(ValueName(name));
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    std::string_view bytes = v->type == REG_DWORD
                                 ? std::string_view(reinterpret_cast<const char*>(&v->dword), sizeof(DWORD))
                                 : std::string_view(v->text.c_str(), v->text.size() + 1);
    if (!size) return ERROR_SUCCESS;
    DWORD have = *size;
    *size = static_cast<DWORD>(bytes.size());
    if (!data) return ERROR_SUCCESS;
    if (have < bytes.size()) return ERROR_MORE_DATA;
    std::memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
  });
}

LONG RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, DWORD* chars, DWORD*, LPSTR, DWORD*, void*) {
  if (!name || !chars) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (!Resolve(key, nullptr, path)) return ERROR_INVALID_HANDLE;
  return Read([&](const reg::Hive& hive) {
    if (!hive.Find(path)) return ERROR_KEY_DELETED;
    auto children = hive.Children(path);
    if (index >= children.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& child = children[index];
    if (*chars < child.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(name, child.c_str(), child.size() + 1);
    *chars = static_cast<DWORD>(child.size());
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValue(HKEY key, LPCSTR name) {
  std::string path;
  if (!Resolve(key, nullptr, path)) return ERROR_INVALID_HANDLE;
  return Modify([&](reg::Hive& hive, bool& changed) {
    reg::Key* k = hive.Find(path);
    if (!k) return ERROR_KEY_DELETED;
    if (!k->Erase(ValueName(name))) return ERROR_FILE_NOT_FOUND;
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteTree(HKEY key, LPCSTR subkey) {
  std::string path;
  if (!Resolve(key, subkey, path)) return ERROR_INVALID_HANDLE;
  bool self = subkey && *subkey;
  return Modify([&](reg::Hive& hive, bool& changed) {
    if (!hive.DeleteTree(path, self)) return ERROR_FILE_NOT_FOUND;
    changed = true;
    return ERROR_SUCCESS;
  });
}

namespace ole {

LONG RegSetString(std::string_view path, std::string_view name, std::string_view value) {
  RegKey k;
  std::string p(path), n(name), v(value);
  LONG rc = RegCreateKeyEx(HKEY_CLASSES_ROOT, p.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, k.put(), nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  return RegSetValueEx(k.get(), n.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                       static_cast<DWORD>(v.size() + 1));
}

LONG RegSetDword(std::string_view path, std::string_view name, DWORD value) {
  RegKey k;
  std::string p(path), n(name);
  LONG rc = RegCreateKeyEx(HKEY_CLASSES_ROOT, p.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, k.put(), nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  return RegSetValueEx(k.get(), n.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

namespace {
template <class T>
std::optional<T> Get(std::string_view path, std::string_view name, DWORD want) {
  std::optional<T> out;
  std::string p(path);
  Read([&](const reg::Hive& hive) {
    const reg::Key* k = hive.Find(p);
    const reg::Value* v = k ? k->Find(name) : nullptr;
    if (v && v->type == want) {
      if constexpr (std::is_same_v<T, DWORD>)
        out = v->dword;
      else
        out = v->text;
    }
    return ERROR_SUCCESS;
  });
  return out;
}
}  // namespace

std::optional<std::string> RegGetString(std::string_view path, std::string_view name) {
  return Get<std::string>(path, name, REG_SZ);
}

std::optional<DWORD> RegGetDword(std::string_view path, std::string_view name) {
  return Get<DWORD>(path, name, REG_DWORD);
}

bool RegKeyExists(std::string_view path) {
  bool found = false;
  Read([&](const reg::Hive& hive) {
    found = hive.Find(path) != nullptr;
    return ERROR_SUCCESS;
  });
  return found;
}

std::vector<std::string> RegSubkeys(std::string_view path) {
  std::vector<std::string> out;
  Read([&](const reg::Hive& hive) {
    out = hive.Children(path);
    return ERROR_SUCCESS;
  });
  return out;
}

}  // namespace ole
