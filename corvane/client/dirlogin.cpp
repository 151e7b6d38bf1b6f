// The client side of a directory login ([Login] Tree=): the user's dotted
// name and password go to the agent, which checks them with a bind to its
// directory. See DirectoryLogin in corvane/wire/protocol.h.
#include <unistd.h>

#include "corvane/client/cvdefs.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/session.h"

namespace cvclient {

std::uint32_t Library::DirectoryLogin(Server& server, const std::string& password) {
  const std::uint32_t id = server.channel.NextRequestId();
  cvwire::Writer w(cvwire::Type(cvwire::Msg::DirectoryLogin), id);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  w.U32(cvwire::kProtocolVersion).Str(config_.tree).Str(config_.user).Str(password).Str(host);
  auto payload = server.channel.Call(id, w.Frame(), opDeadline_);
  if (!payload) return kCvErrNoAnswer;
  cvwire::Reader r(*payload);
  const std::uint32_t code = r.U32();
  if (!r.ok() || r.type() != cvwire::ReplyType(cvwire::Msg::DirectoryLogin)) return kCvErrNoAnswer;
  if (code != kCvOk) return code;
  server.slot = r.U16();
  server.objectId = r.U32();
  r.U8();
  server.directoryTree = r.Str();
  server.directoryName = r.Str();
  if (!r.Done()) return kCvErrNoAnswer;
  server.directoryLogin = true;
  return FetchServerInfo(server);
}

}  // namespace cvclient
