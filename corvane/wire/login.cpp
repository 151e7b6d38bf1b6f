#include "corvane/wire/login.h"

namespace cvwire {

LoginReply ReadLoginReply(Reader& r) {
  LoginReply reply;
  reply.code = r.U32();
  reply.version = r.U32();
  if (reply.code == 0) {
    reply.done = r.U8() != 0;
    reply.data = r.Blob();
    if (reply.done) {
      reply.slot = r.U16();
      reply.objectId = r.U32();
      reply.isOperator = r.U8() != 0;
    }
  }
  return reply;
}

}  // namespace cvwire
