// The directory side of the client library: configuration of the trees and
// their LDAP sessions.
#include "corvane/client/dirstate.h"

#include <cctype>

#include "corvane/client/cvdefs.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/ini.h"
#include "corvane/client/session.h"

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
  const std::string login = config.tree + '\n' + config.user + '\n' + config.passwordFile + '\n' +
                            (config.directoryStartTls ? "starttls" : "") + '\n' + config.directoryCaFile + '\n' +
                            std::to_string(config.connectMs) + '\n' + std::to_string(config.requestMs);
  auto it = trees_.find(key);
  if (it == trees_.end() || it->second.entry.uris != e->uris || it->second.entry.base != e->base ||
      it->second.login != login) {
    cvdir::Options options{static_cast<int>(config.connectMs), static_cast<int>(config.requestMs),
                           config.directoryStartTls, config.directoryCaFile};
    DirTree t{*e, cvdir::Replicas(e->uris, options), nullptr, {}, {}, login};
    it = trees_.insert_or_assign(key, std::move(t)).first;
  }
  tree = &it->second;
  return kCvOk;
}

std::uint32_t Directory::Prepare(DirTree& tree, cvdir::Session& s) {
  // A directory user of [Login] reads the tree it logs in to with its own
  // rights; every other tree is read anonymously.
  if (tree.bindDn.empty() && !config.tree.empty() && EqualNoCase(config.tree, tree.entry.name) &&
      !config.user.empty()) {
    const auto password = ReadPasswordFile(config.passwordFile);
    if (!password) return kCvErrLoginRefused;
    std::string dn;
    if (std::uint32_t rc = s.Resolve(tree.entry.base, config.user, dn)) return rc;
    tree.bindDn = dn;
    tree.password = *password;
  }
  if (!tree.bindDn.empty()) {
    std::string why;
    if (std::uint32_t rc = s.Bind(tree.bindDn, tree.password, &why)) {
      if (!why.empty()) Explain(why);
      if (!cvdir::Session::Lost(rc)) {
        tree.bindDn.clear();
        tree.password.clear();
      }
      return rc;
    }
  }
  return kCvOk;
}

void Directory::Explain(const std::string& text) { Library::Get().Fail("directory " + text, false); }

}  // namespace cvclient
