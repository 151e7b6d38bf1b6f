// The client library's directory side: contexts, request and reply buffers
// and unfinished iterations, each named by a 32-bit handle from its own
// table, and one LDAP session per configured tree. Used under the library
// lock (session.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corvane/client/config.h"
#include "corvane/directory/ldapdir.h"

namespace cvclient {

struct DirContext {
  std::string tree;                   // upper case as set
  std::string nameContext = "[Root]"; // dotted; "[Root]" makes names complete from the root
  std::uint32_t flags = 0;
  std::uint32_t number = 0;
};

struct DirBuffer {
  std::uint32_t size = 0;
  std::vector<std::uint8_t> bytes;  // at most size
  std::size_t cursor = 0;           // read position of the element accessors
  std::uint32_t valuesLeft = 0;     // values of the current attribute not read yet
};

// An unfinished listing or read. A listing has a session of its own, so that
// its paged-results cookie stays valid whatever else runs meanwhile.
struct DirIteration {
  std::uint32_t context = 0;
  std::uint32_t operation = 0;
  std::unique_ptr<cvdir::Session> session;
  std::string dn;
  std::string cookie;
  bool morePages = true;
  std::vector<cvdir::ListItem> items;
  std::vector<cvdir::Attribute> attributes;
  std::size_t next = 0;
};

struct DirTree {
  TreeEntry entry;
  std::unique_ptr<cvdir::Session> session;
  std::string bindDn, password;  // the directory user of [Login], else anonymous
  std::string login;             // the [Login] this session was made for
};

class Directory {
 public:
  static Directory& Get();

  std::map<std::uint32_t, DirContext> contexts;
  std::map<std::uint32_t, DirBuffer> buffers;
  std::map<std::uint32_t, DirIteration> iterations;

  // A new handle for table (never 0 nor 0xFFFFFFFF); 0 when the table is full.
  template <typename Table>
  std::uint32_t NewHandle(Table& table, std::uint32_t& last, std::size_t cap);
  std::uint32_t lastContext = 0, lastBuffer = 0, lastIteration = 0;

  ClientConfig config;
  void Reload();
  std::string DefaultTree() const;

  // The tree's entry, and its session, opened and bound on first use.
  std::uint32_t Tree(const std::string& name, DirTree*& tree);
  // Runs op on the tree's session; a session that the server dropped is
  // opened again once.
  template <typename Op>
  std::uint32_t With(const std::string& treeName, Op&& op);
  // A session of its own for a listing, bound like the tree's.
  std::uint32_t OpenExtra(DirTree& tree, std::unique_ptr<cvdir::Session>& out);

 private:
  std::uint32_t Connect(DirTree& tree, std::unique_ptr<cvdir::Session>& out);
  std::map<std::string, DirTree> trees_;
};

template <typename Table>
std::uint32_t Directory::NewHandle(Table& table, std::uint32_t& last, std::size_t cap) {
  if (table.size() >= cap) return 0;
  do {
    ++last;
    if (last == 0 || last == 0xFFFFFFFFu) last = 1;
  } while (table.count(last));
  return last;
}

template <typename Op>
std::uint32_t Directory::With(const std::string& treeName, Op&& op) {
  DirTree* tree = nullptr;
  if (std::uint32_t rc = Tree(treeName, tree)) return rc;
  const bool wasOpen = tree->session != nullptr;
  if (!wasOpen) {
    if (std::uint32_t rc = Connect(*tree, tree->session)) return rc;
  }
  std::uint32_t rc = op(*tree->session, tree->entry.base);
  if (cvdir::Session::Lost(rc) && wasOpen) {
    tree->session.reset();
    if ((rc = Connect(*tree, tree->session)) == 0) rc = op(*tree->session, tree->entry.base);
  }
  if (cvdir::Session::Lost(rc)) tree->session.reset();
  return rc;
}

}  // namespace cvclient
