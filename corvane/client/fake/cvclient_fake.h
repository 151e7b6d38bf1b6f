// Scripted stand-in for the Corvane client library, for unit tests of the
// code above it. Linking cvclient_fake provides every Cv* operation of
// kscalls.h, ksconn.h, kslocale.h and ksdir.h; each one records its call and
// answers with the next reply programmed for its operation name.
//
// Recorded calls. Every call becomes one line: the operation name and all its
// arguments in order, separated by ", ":
//   - handles, sizes, counts, items, keys, connection numbers: unsigned decimal;
//     the number of CvSetServerParameterNumber: signed decimal;
//   - iteration handles and scan positions (for in/out arguments the value on
//     entry), object types and context flag words: hexadecimal, "0x" and
//     upper-case digits (0xFFFFFFFF, 0x400, 0x45);
//   - texts: in double quotes, bytes below 0x20 and 0x7F as \xNN, everything
//     else verbatim; a null text is null;
//   - out-arguments and areas the operation writes: out, or null;
//   - the value of CvSetContext: per key, the u32 it points to (flags in hex,
//     the number in decimal) or the quoted text;
//   - the connection numbers of CvSendBroadcastMessage: [5, 7]; the request
//     and reply fragments of CvServiceRequest: their sizes, [23] and [2500].
// For example:
//   CvGetConnectionHandle("SRV1", 0, out, null)
//   CvGetConnectionItem(1001, 1, 4, out)
//   CvGetServerInformation(1001, null, null, null, null, out, null, null)
//   CvListContainer(2001, "[Root]", 0xFFFFFFFF, 3001)
//   CvSetContext(2001, 1, 0x45)
// The bytes of the request fragments of CvServiceRequest are kept in the
// call's record (Call::inputs).
//
// Replies. Each operation has a FIFO queue of replies; a call takes the next
// one, or the operation's default reply when the queue is empty (result 0 and
// no outputs unless set). A reply is a result and a list of output values,
// consumed by the call's out-parameters in the order they appear in the
// signature (the return value of CvNewDirContext counts as its one
// out-parameter; it returns 0 when the reply's result is nonzero). A null
// out-parameter consumes its value and drops it; Out::Skip() leaves an
// out-parameter as it is.
// Writing a value never goes past what the caller gave: the size argument for
// CvGetConnectionItem, CvGetAttributeValue and reply fragments, the count for
// the result bytes of CvSendBroadcastMessage, the size the header names for
// every other area, and the type's size for u32, u16, u8 and records. A text
// is cut to the area's size - 1 and terminated; bytes are cut to the size.
// Outputs are written whatever the result, so a failing call can still leave
// something behind. An out-parameter without a value is left untouched,
// except a handle (connection, context, buffer, service id): on a result of 0
// it receives a fresh handle. A reply fragment's size is reduced by the bytes
// written into it.
//
// Fresh handles are deterministic and distinct: after Reset, connections are
// 1001, 1002, ..., contexts 2001, ..., buffers 3001, ..., service ids 4001, ...
//
// Usage:
//   cvfake::Reset();
//   cvfake::Push("CvGetConnectionItem", cvfake::Ok(cvfake::Out::U32(kCvStateDirectoryAuthenticated)));
//   cvfake::Push("CvGetConnectionItem", cvfake::Ok(cvfake::Out::Text("ACME___")));
//   cvfake::Push("CvLoadModule", kCvErrModuleFailed);
//   cvfake::SetDefault("CvScanObject", kCvErrNoMoreEntries);
//   ... run the code under test ...
//   EXPECT_THAT(cvfake::Calls(), ElementsAre("CvGetConnectionHandle(\"SRV1\", 0, out, null)", ...));
//
// All functions are safe to call from several threads, but a test script is
// meant to be driven from one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
#include "corvane/client/kslocale.h"

namespace cvfake {

// One value for one out-parameter.
struct Out {
  enum class Kind { Skip, Bytes, Text };
  Kind kind = Kind::Skip;
  std::vector<std::uint8_t> bytes;

  static Out Skip() { return {}; }  // leave the out-parameter untouched (no fresh handle either)
  static Out U32(std::uint32_t v) { return Raw(&v, sizeof v); }
  static Out U16(std::uint16_t v) { return Raw(&v, sizeof v); }
  static Out U8(std::uint8_t v) { return Raw(&v, sizeof v); }
  static Out Text(std::string_view s) {  // written NUL-terminated
    Out o;
    o.kind = Kind::Text;
    o.bytes.assign(s.begin(), s.end());
    return o;
  }
  static Out Bytes(std::vector<std::uint8_t> b) {  // written as they are
    Out o;
    o.kind = Kind::Bytes;
    o.bytes = std::move(b);
    return o;
  }
  template <class T>
  static Out Record(const T& record) {  // the object's bytes, e.g. a CvObjectInfo
    static_assert(std::is_trivially_copyable_v<T>);
    return Raw(&record, sizeof record);
  }

 private:
  static Out Raw(const void* p, std::size_t n) {
    Out o;
    o.kind = Kind::Bytes;
    o.bytes.resize(n);
    std::memcpy(o.bytes.data(), p, n);
    return o;
  }
};

// The answer to one call.
struct Reply {
  Reply() = default;
  Reply(std::uint32_t r) : result(r) {}  // NOLINT: a bare code is a reply without outputs
  Reply(std::uint32_t r, std::vector<Out> o) : result(r), outs(std::move(o)) {}

  std::uint32_t result = 0;
  std::vector<Out> outs;
};

// A successful reply with the given outputs.
template <class... O>
Reply Ok(O... outs) {
  return Reply(0, std::vector<Out>{std::move(outs)...});
}

// One recorded call.
struct Call {
  std::string op;                               // "CvGetConnectionItem"
  std::vector<std::string> args;                // each argument as it appears in line
  std::string line;                             // "CvGetConnectionItem(1001, 1, 4, out)"
  std::vector<std::vector<std::uint8_t>> inputs;  // bytes handed in (CvServiceRequest request fragments)
};

// Forgets calls, queued and default replies, and restarts handle numbering.
void Reset();
// Forgets the recorded calls only.
void ClearCalls();

// The recorded calls in order, as lines; optionally only those of one operation.
std::vector<std::string> Calls();
std::vector<std::string> Calls(std::string_view op);
std::vector<Call> Records();

// Queues a reply for the next call of op. Throws std::invalid_argument for a
// name that is not an operation of the library.
void Push(std::string_view op, Reply reply);
// The reply every call of op gets once its queue is empty.
void SetDefault(std::string_view op, Reply reply);
// Replies still queued for op.
std::size_t Pending(std::string_view op);

// Every operation name the fake answers to.
const std::vector<std::string_view>& Operations();

// Records for outputs. Each throws std::length_error when the texts do not fit.
CvServerParameter TextParameter(std::uint32_t nextSearchIndex, std::string_view name, std::string_view value);
CvServerParameter NumberParameter(std::uint32_t nextSearchIndex, std::string_view name, std::uint32_t value,
                                  std::uint32_t valueType = kCvParamTypeNumber);
CvObjectInfo ObjectInfo(std::string_view baseClass);
CvConnectionAddress Ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
CvConnectionAddress Address(const std::vector<std::uint8_t>& bytes, std::uint16_t type);  // up to 12 bytes
CvLoginTime LoginTime(std::uint8_t yearSince1900, std::uint8_t month, std::uint8_t day, std::uint8_t hour,
                      std::uint8_t minute, std::uint8_t second);
CvVersionItem Version(std::uint32_t major, std::uint32_t minor, std::uint32_t revision);
CvLocaleInfo Locale(std::uint32_t country, std::uint32_t codePage);

}  // namespace cvfake
