#include "dirnames.h"

#include <new>

#include "corvane/client/ksdir.h"
#include "errors.h"
#include "ole/server.h"

namespace cvsrva {
namespace {

constexpr const char* kWhiteSpace = " \t\r\n\v\f";
constexpr std::uint32_t kContextFlags = 0x45;
constexpr std::uint32_t kContextFlagTypeless = 4;
constexpr std::uint32_t kContextNumber = 2;

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(kWhiteSpace);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(kWhiteSpace) - b + 1);
}

// Reverses the components of s separated by from, joined by to; empty
// leading components vanish because the test looks at the result so far.
std::string Reverse(std::string s, char from, char to) {
  std::string result;
  for (std::size_t p; (p = s.find(from)) != std::string::npos; s = s.substr(p + 1)) {
    result = result.empty() ? s.substr(0, p) : s.substr(0, p) + to + result;
  }
  return result.empty() ? s : s + to + result;
}

}  // namespace

std::string PathFromDotted(std::string s) { return Reverse(std::move(s), '.', '\\'); }

std::string DottedFromPath(std::string s) { return Reverse(std::move(s), '\\', '.'); }

std::string NormalizeServerPath(std::string s) {
  s = Trim(s);
  if (s.empty()) return {};
  std::string t;
  if (s[0] == '\\') {
    if (s.size() == 1) return {};
    t = s[1] == '\\' ? s : "\\" + s;
  } else {
    t = "\\\\" + s;
  }
  while (!t.empty() && t.back() == '\\') t.pop_back();
  if (t.size() < 3 || t.find('.') != std::string::npos || t[2] == '\\') return {};
  return t;
}

std::string NormalizeDottedName(std::string s) {
  s = Trim(s);
  if (s.empty()) return {};
  while (!s.empty() && s.back() == '.') s.pop_back();
  while (!s.empty() && s.front() == '.') s.erase(0, 1);
  if (s.find('\\') != std::string::npos) return {};
  return s;
}

std::string NormalizeSimpleName(std::string s) {
  s = Trim(s);
  if (s.empty()) return {};
  if (s.find_first_of("\\.") != std::string::npos) return {};
  return s;
}

CDirName::CDirName(const std::string& tree, const std::string& dotted) {
  const std::string t = NormalizeSimpleName(tree);
  if (t.empty()) return;
  tree_ = t;
  const std::string d = NormalizeDottedName(dotted);
  if (d.empty()) {
    dotted_ = kRootName;
    path_ = "\\\\" + t;
  } else {
    dotted_ = d;
    path_ = "\\\\" + t + "\\" + PathFromDotted(d);
  }
}

CDirName::CDirName(const std::string& path) {
  path_ = NormalizeServerPath(path);
  if (path_.empty()) return;
  const std::string r = path_.substr(2);
  const auto p = r.find('\\');
  if (p == std::string::npos) {
    tree_ = r;
    dotted_ = kRootName;
  } else {
    tree_ = r.substr(0, p);
    dotted_ = DottedFromPath(r.substr(p + 1));
  }
}

std::string CDirName::GetLeaf() const {
  const auto p = path_.rfind('\\');
  return p == std::string::npos ? std::string() : path_.substr(p + 1);
}

std::uint32_t MakeTypelessContext(std::uint32_t* context) {
  *context = 0;
  std::uint32_t ctx = 0;
  if (std::uint32_t rc = CvCreateContextHandle(&ctx)) return rc;
  std::uint32_t flags = 0;
  std::uint32_t rc = CvGetContext(ctx, kCvCtxKeyFlags, &flags);
  if (rc == 0) {
    flags |= kContextFlagTypeless;
    rc = CvSetContext(ctx, kCvCtxKeyFlags, &flags);
  }
  if (rc != 0) {
    CvFreeContext(ctx);
    return rc;
  }
  *context = ctx;
  return 0;
}

void CDirContext::Prepare() {
  // The results are not examined: a context that is not made or not set up
  // shows up as failures of the requests made with it.
  CvCreateContextHandle(&m_hContext);
  std::uint32_t flags = 0;
  CvGetContext(m_hContext, kCvCtxKeyFlags, &flags);
  flags |= kContextFlags;
  CvSetContext(m_hContext, kCvCtxKeyFlags, &flags);
  const std::uint32_t number = kContextNumber;
  CvSetContext(m_hContext, kCvCtxKeyNumber, &number);
}

CDirContext::CDirContext() : container_(kRootName) { Prepare(); }

CDirContext::CDirContext(const CDirName& name) {
  Prepare();
  container_ = name.GetDottedName();
  const std::string tree = name.GetTree();
  std::uint32_t rc = CvSetContext(m_hContext, kCvCtxKeyTreeName, tree.c_str());
  if (rc == 0) rc = CvSetContext(m_hContext, kCvCtxKeyNameContext, kRootName);
  if (rc != 0) {
    // The destructor does not run for a constructor that throws.
    CvFreeContext(m_hContext);
    m_hContext = 0;
    const std::string path = ole::server::Module::FilePath();
    const std::string file = path.substr(path.find_last_of('/') + 1);
    Throw(DirectoryRaise(static_cast<std::int32_t>(rc)), file.substr(0, file.find('.')));
  }
}

CDirContext::~CDirContext() { CvFreeContext(m_hContext); }

CDirBuffer::CDirBuffer(std::uint32_t size) {
  if (size != 0) Allocate(size);
}

CDirBuffer::~CDirBuffer() {
  if (m_hBuffer != 0) CvFreeBuffer(m_hBuffer);
}

void CDirBuffer::Allocate(std::uint32_t size) {
  if (m_hBuffer != 0) {
    CvFreeBuffer(m_hBuffer);
    m_hBuffer = 0;
  }
  m_size = 0;
  if (size == 0) return;
  const std::uint32_t rc = CvAllocBuffer(size, &m_hBuffer);
  if (m_hBuffer == 0 || rc != 0) {
    m_hBuffer = 0;
    throw std::bad_alloc();
  }
  m_size = size;
}

}  // namespace cvsrva
