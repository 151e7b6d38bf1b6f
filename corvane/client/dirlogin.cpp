// The client side of the directory login mechanism ([Login] Tree=): the
// user's dotted name and password go to the agent in the Hello, inside the
// connection's TLS session, and the agent checks them with a bind to its
// directory. The password is sent as it is, so the server's identity
// (checked by the channel before any login) is what keeps it from an
// impostor: with [Trust] Strict=yes, only known or CA-signed servers get it.
#include <unistd.h>

#include "corvane/client/cvdefs.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/session.h"
#include "corvane/wire/dirmech.h"

namespace cvclient {

std::uint32_t Library::LoginDirectory(Server& server, const std::string& password) {
  namespace dirmech = cvwire::dirmech;
  if (config_.tree.size() > dirmech::kMaxTree || config_.user.size() > dirmech::kMaxDottedName ||
      password.size() > dirmech::kMaxPassword) {
    return kCvErrLoginRefused;
  }
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::uint32_t id = server.channel.NextRequestId();
  cvwire::Writer hello(cvwire::Type(cvwire::Msg::Hello), id);
  hello.U32(cvwire::kProtocolVersion).Str(host).Str(cvwire::kMechDirectory);
  hello.Blob(dirmech::Encode(dirmech::Hello{config_.tree, config_.user, password}));
  LoginReply reply;
  if (LoginMessage(server, hello, id, reply) != kCvOk) return kCvErrNoAnswer;
  if (reply.code != kCvOk) return LoginRefused(server, reply);
  const auto welcome = reply.done ? dirmech::ParseWelcome(reply.data) : std::nullopt;
  if (!welcome) {
    Fail("server " + server.entry.name + " answered the directory login with a malformed message", false);
    return kCvErrNoAnswer;
  }
  server.slot = reply.slot;
  server.objectId = reply.objectId;
  server.directoryTree = welcome->tree;
  server.directoryName = welcome->server;
  server.directoryLogin = true;
  return kCvOk;
}

}  // namespace cvclient
