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
// its paged-results cookie stays valid whatever else runs meanwhile; the
// cookie belongs to that session's server, so a listing that loses its
// server after its first page cannot go on at a replica.
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
  std::size_t delivered = 0;  // objects handed out in earlier batches
};

struct DirTree {
  TreeEntry entry;
  cvdir::Replicas replicas;      // the tree's servers, with the TLS settings of [Directory]
  std::unique_ptr<cvdir::Session> session;
  std::string bindDn, password;  // the directory user of [Login], else anonymous
  std::string login;             // the [Login] and [Directory] this session was made for
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
  // Runs op on the tree's session. A server that is lost meanwhile (down,
  // or silent past Request) is left for the next replica, where op runs
  // again; a session that the server dropped while idle is opened again.
  template <typename Op>
  std::uint32_t With(const std::string& treeName, Op&& op);
  // The same on a session of the caller's (a listing's own), opened and
  // bound like the tree's when it is null.
  template <typename Op>
  std::uint32_t RunOn(DirTree& tree, std::unique_ptr<cvdir::Session>& session, Op&& op);

 private:
  // Binds a new session as the tree's reader.
  std::uint32_t Prepare(DirTree& tree, cvdir::Session& session);
  // Records why the directory could not be reached, for CvGetFailureText.
  void Explain(const std::string& text);
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
  return RunOn(*tree, tree->session, [&](cvdir::Session& s) { return op(s, tree->entry.base); });
}

template <typename Op>
std::uint32_t Directory::RunOn(DirTree& tree, std::unique_ptr<cvdir::Session>& session, Op&& op) {
  std::string error;
  const std::uint32_t rc = tree.replicas.Run(
      session, [&](cvdir::Session& s) { return Prepare(tree, s); }, std::forward<Op>(op), &error);
  if (!error.empty() && rc != 0) Explain(error);
  return rc;
}

}  // namespace cvclient
