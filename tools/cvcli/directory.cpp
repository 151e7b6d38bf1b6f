// cvcli's directory commands, over the client library's directory operations:
//   cvcli --dir trees
//   cvcli --dir list TREE [CONTAINER]        subordinates with their classes
//   cvcli --dir read TREE NAME [ATTRIBUTE...]  an object's class and attributes
//   cvcli --dir id SERVER ID                 the dotted name of an object id
#include "directory.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"

namespace cvcli {
namespace {

// Owns a context and two buffers for one command.
struct Scope {
  std::uint32_t context = 0, request = 0, reply = 0;
  ~Scope() {
    if (request) CvFreeBuffer(request);
    if (reply) CvFreeBuffer(reply);
    if (context) CvFreeContext(context);
  }
};

std::uint32_t Open(Scope& s, const char* tree) {
  if (std::uint32_t rc = CvCreateContextHandle(&s.context)) return rc;
  if (tree) {
    if (std::uint32_t rc = CvSetContext(s.context, kCvCtxKeyTreeName, tree)) return rc;
  }
  if (std::uint32_t rc = CvAllocBuffer(kCvDirBufferSize, &s.request)) return rc;
  return CvAllocBuffer(kCvDirBufferSize, &s.reply);
}

int Trees(const Fail& fail) {
  Scope s;
  if (std::uint32_t rc = Open(s, nullptr)) return fail("trees", rc);
  std::uint32_t index = kCvIterationStart;
  char name[kCvDirTreeNameSize];
  while (CvScanTrees(s.context, 0, "*", &index, name) == kCvOk) std::puts(name);
  return 0;
}

int List(const char* tree, const char* container, const Fail& fail) {
  Scope s;
  if (std::uint32_t rc = Open(s, tree)) return fail("list", rc);
  std::uint32_t iteration = kCvIterationStart;
  do {
    std::uint32_t count = 0, rc = CvListContainer(s.context, container, &iteration, s.reply);
    if (rc == kCvOk) rc = CvGetObjectCount(s.context, s.reply, &count);
    for (std::uint32_t i = 0; rc == kCvOk && i < count; ++i) {
      char name[kCvDirObjectNameSize];
      CvObjectInfo info{};
      if ((rc = CvGetObjectName(s.context, s.reply, name, nullptr, &info)) == kCvOk)
        std::printf("%-32s %s\n", name, info.baseClass);
    }
    if (rc != kCvOk) {
      if (iteration != kCvIterationStart) CvCloseIteration(s.context, iteration, kCvDirOpList);
      return fail(container, rc);
    }
  } while (iteration != kCvIterationStart);
  return 0;
}

int Read(const char* tree, const char* name, const std::vector<const char*>& attributes, const Fail& fail) {
  Scope s;
  if (std::uint32_t rc = Open(s, tree)) return fail("read", rc);
  char dn[kCvDirNameSize];
  CvObjectInfo info{};
  if (std::uint32_t rc = CvReadObjectInfo(s.context, name, dn, &info)) return fail(name, rc);
  std::printf("name: %s\nclass: %s\n", dn, info.baseClass);
  if (std::uint32_t rc = CvInitDirBuffer(s.context, kCvDirOpRead, s.request)) return fail(name, rc);
  for (const char* a : attributes) {
    if (std::uint32_t rc = CvPutAttributeName(s.context, s.request, a)) return fail(a, rc);
  }
  std::uint32_t iteration = kCvIterationStart;
  do {
    std::uint32_t count = 0;
    std::uint32_t rc = CvReadObject(s.context, name, kCvInfoAttributeValues, attributes.empty() ? 1 : 0, s.request,
                                    &iteration, s.reply);
    if (rc == kCvOk) rc = CvGetAttributeCount(s.context, s.reply, &count);
    for (std::uint32_t i = 0; rc == kCvOk && i < count; ++i) {
      char attr[kCvDirAttributeNameSize];
      std::uint32_t values = 0, syntax = 0;
      if ((rc = CvGetAttributeName(s.context, s.reply, attr, &values, &syntax))) break;
      for (std::uint32_t v = 0; rc == kCvOk && v < values; ++v) {
        std::uint32_t size = 0;
        if ((rc = CvGetAttributeValueSize(s.context, s.reply, syntax, &size))) break;
        std::vector<char> text(size + 1);
        if ((rc = CvGetAttributeValue(s.context, s.reply, syntax, size + 1, text.data())) == kCvOk)
          std::printf("%s: %s\n", attr, text.data());
      }
    }
    if (rc != kCvOk) {
      if (iteration != kCvIterationStart) CvCloseIteration(s.context, iteration, kCvDirOpRead);
      return fail(name, rc);
    }
  } while (iteration != kCvIterationStart);
  return 0;
}

int MapId(const char* server, const char* idText, const Fail& fail) {
  std::uint32_t id = 0;
  const char* end = idText + std::strlen(idText);
  auto [p, ec] = std::from_chars(idText, end, id);
  if (ec != std::errc() || p != end) return -1;
  std::uint32_t connection = 0;
  if (std::uint32_t rc = CvGetConnectionHandle(server, 0, &connection, nullptr)) return fail(server, rc);
  Scope s;
  std::uint32_t rc = Open(s, nullptr);
  char tree[kCvTreeNameSize] = {};
  if (rc == kCvOk) rc = CvGetConnectionItem(connection, kCvItemTreeName, kCvTreeNameSize - 1, tree);
  std::string t = tree;
  while (!t.empty() && t.back() == '_') t.pop_back();
  if (rc == kCvOk && !t.empty()) rc = CvSetContext(s.context, kCvCtxKeyTreeName, t.c_str());
  char name[kCvDirObjectNameSize];
  if (rc == kCvOk) rc = CvMapIdToName(s.context, connection, id, name);
  CvReleaseConnection(connection);
  if (rc) return fail(idText, rc);
  std::puts(name);
  return 0;
}

}  // namespace

int DirectoryCommand(int argc, char** argv, const Fail& fail) {
  const std::string cmd = argc > 2 ? argv[2] : "";
  if (cmd == "trees" && argc == 3) return Trees(fail);
  if (cmd == "list" && (argc == 4 || argc == 5)) return List(argv[3], argc == 5 ? argv[4] : "[Root]", fail);
  if (cmd == "read" && argc >= 5) return Read(argv[3], argv[4], std::vector<const char*>(argv + 5, argv + argc), fail);
  if (cmd == "id" && argc == 5) return MapId(argv[3], argv[4], fail);
  return -1;
}

}  // namespace cvcli
