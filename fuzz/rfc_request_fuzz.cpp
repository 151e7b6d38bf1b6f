// The call service's request parser on arbitrary bytes, and ECHO's reply
// built from whatever it accepts.
#include <cstddef>
#include <cstdint>

#include "corvane/rfc/request.h"
#include "corvane/rfc/service.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const auto request = cvrfc::ParseRequest(std::span(data, size), &error);
  if (request && !request->script && request->name == "ECHO") {
    cvwire::service::Call call;
    call.replyCapacity = 2500;
    call.budgetMs = 100;
    call.request.assign(data, data + size);
    const auto reply = cvrfc::Answer(call, cvrfc::Settings{});
    if (reply.size() > 2500) __builtin_trap();
  }
  return 0;
}
