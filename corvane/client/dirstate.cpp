// The directory side of the client library: configuration of the trees and
// their LDAP sessions.
#include "corvane/client/dirstate.h"

#include <cctype>

#include "corvane/client/cvdefs.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/ini.h"

namespace cvclient {

Directory& Directory::Get() {
  static Directory* d = new Directory();  // never destroyed, like the library
  return *d;
}

void Directory::Reload() { config = LoadClientConfig(); }

std::string Directory::DefaultTree() const {
  if (!config.tree.empty()) return config.tree;
  return config.trees.empty() ? std::string() : config.trees.front().name;
}

std::uint32_t Directory::Tree(const std::string& name, DirTree*& tree) {
  const std::string key = [&] {
    std::string k = name;
    for (auto& c : k) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return k;
  }();
  // The configuration is read again with every new context; a tree whose
  // server, base or login changed gets a new session.
  const TreeEntry* e = config.FindTree(name);
  if (!e) {
    Reload();
    e = config.FindTree(name);
  }
  if (!e) return kCvErrDirPrimaryConnection;
  const std::string login = config.tree + '\n' + config.user + '\n' + config.passwordFile;
  auto it = trees_.find(key);
  if (it == trees_.end() || it->second.entry.uri != e->uri || it->second.entry.base != e->base ||
      it->second.login != login) {
    it = trees_.insert_or_assign(key, DirTree{*e, nullptr, {}, {}, login}).first;
  }
  tree = &it->second;
  return kCvOk;
}

std::uint32_t Directory::Connect(DirTree& tree, std::unique_ptr<cvdir::Session>& out) {
  out.reset();
  std::unique_ptr<cvdir::Session> s;
  if (std::uint32_t rc = cvdir::Session::Open(tree.entry.uri, static_cast<int>(config.connectMs),
                                              static_cast<int>(config.requestMs), s)) {
    return rc;
  }
  // A directory user of [Login] reads the tree it logs in to with its own
  // rights; every other tree is read anonymously.
  if (tree.bindDn.empty() && !config.tree.empty() && EqualNoCase(config.tree, tree.entry.name) &&
      !config.user.empty()) {
    const auto password = ReadPasswordFile(config.passwordFile);
    if (!password) return kCvErrLoginRefused;
    std::string dn;
    if (std::uint32_t rc = s->Resolve(tree.entry.base, config.user, dn)) return rc;
    tree.bindDn = dn;
    tree.password = *password;
  }
  if (!tree.bindDn.empty()) {
    if (std::uint32_t rc = s->Bind(tree.bindDn, tree.password)) {
      tree.bindDn.clear();
      tree.password.clear();
      return rc;
    }
  }
  out = std::move(s);
  return kCvOk;
}

std::uint32_t Directory::OpenExtra(DirTree& tree, std::unique_ptr<cvdir::Session>& out) { return Connect(tree, out); }

}  // namespace cvclient
