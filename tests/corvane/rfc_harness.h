// The call service's end-to-end tests share this: a real cvserverd with the
// call service module cvrfcd, the client library, call records as the
// control builds them and replies read back by attribute name.
#pragma once

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "corvane/wire/attobj.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"

namespace rfctest {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

inline constexpr const char* kService = "CvSrvA Remote Function Calls";

// A call record as the control builds it.
class Record {
 public:
  explicit Record(const std::string& name) {
    bytes_ = {static_cast<std::uint8_t>(name.find(".BAS") != std::string::npos ? 0x80 : 0x00), 0, 0};
    Item('C', name.data(), name.size());
  }
  Record& Text(const std::string& s) { return Item('C', s.data(), s.size()); }
  Record& Int(std::int32_t v) { return Item('I', &v, 4); }
  Record& Real(double v) { return Item('R', &v, 8); }
  Record& Bool(bool v) {
    const std::int32_t b = v ? -1 : 0;
    return Item('B', &b, 4);
  }
  Record& Unsigned(std::uint32_t v) { return Item('D', &v, 4); }
  Record& Object(const std::vector<std::uint8_t>& o) { return Item('O', o.data(), o.size()); }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  Record& Item(char tag, const void* data, std::size_t n) {
    bytes_.push_back(static_cast<std::uint8_t>(n));
    bytes_.push_back(static_cast<std::uint8_t>(n >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(tag));
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
    const std::uint16_t count = static_cast<std::uint16_t>(bytes_[1] | (bytes_[2] << 8)) + 1;
    bytes_[1] = static_cast<std::uint8_t>(count);
    bytes_[2] = static_cast<std::uint8_t>(count >> 8);
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

struct Att {
  char type = 0;
  std::string value;  // the stored text; for 'O' the nested object's bytes
};

// The reply's attributes in order, by name.
struct Decoded {
  std::vector<std::string> names;
  std::map<std::string, Att> atts;
  const Att& operator[](const std::string& n) const {
    static const Att none;
    auto it = atts.find(n);
    return it == atts.end() ? none : it->second;
  }
};

inline Decoded Decode(const std::vector<std::uint8_t>& bytes) {
  Decoded d;
  const cvattobj::Area area(bytes);
  for (auto a = cvattobj::FirstAtt(nullptr, area); a; a = cvattobj::NextAtt(nullptr, area, a)) {
    const auto v = a.Value();
    d.names.emplace_back(a.Name());
    d.atts[std::string(a.Name())] = Att{a.Type(), std::string(v.begin(), v.end())};
  }
  return d;
}

inline Decoded DecodeText(const std::string& bytes) { return Decode(std::vector<std::uint8_t>(bytes.begin(), bytes.end())); }

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class RfcTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (std::uint32_t h : handles_) {
      while (CvReleaseConnection(h) == kCvOk) {
      }
    }
  }

  // The call service module from its manifest, loaded at start by AUTOEXEC.QBT.
  void WriteService(const std::string& name = "RFC", const std::string& args = "") {
    agent_.WriteFile("SYS/SYSTEM/" + name + ".qrx",
                     "description = \"Remote function calls\"\n"
                     "exec = [\"" CVRFCD_PATH "\"" + args + "]\n"
                     "services = [\"CvSrvA Remote Function Calls\"]\n"
                     "ready = { service = true, timeout_ms = 5000 }\nstop_timeout_ms = 2000\n");
  }
  // A stand-in that offers the service and then misbehaves (crash, hang, garbage).
  void WriteBadService(const std::string& name, const std::string& mode) {
    agent_.WriteFile("SYS/SYSTEM/" + name + ".qrx",
                     "exec = [\"" CVTESTMODULE_PATH "\", \"--service\", \"" + mode + "\"]\n"
                     "services = [\"CvSrvA Remote Function Calls\"]\n"
                     "ready = { service = true }\nstop_timeout_ms = 1000\n");
  }
  void Start(const std::string& user = "ADMIN", int requestMs = 5000) {
    agent_.serverExtra += "autoexec = \"AUTOEXEC.QBT\"\n";
    ASSERT_TRUE(agent_.Start()) << agent_.Log();
    agent_.WriteClientIni(user, "", 0600, requestMs);
  }
  std::uint32_t Connect() {
    std::uint32_t h = 0;
    EXPECT_EQ(CvGetConnectionHandle(agent_.serverName.c_str(), 0, &h, nullptr), kCvOk) << agent_.Log();
    handles_.push_back(h);
    return h;
  }
  // Looks the service up, waiting for the start-up command file to load it.
  std::uint32_t Lookup(std::uint32_t h) {
    std::uint32_t id = 0;
    std::uint32_t code = 1;
    for (int i = 0; i < 100 && code != kCvOk; ++i) {
      code = CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr);
      if (code != kCvOk) std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(code, kCvOk) << agent_.Log();
    return id;
  }
  // One request; the reply bytes, or the client code in *code.
  std::vector<std::uint8_t> Request(std::uint32_t h, std::uint32_t id, std::vector<std::uint8_t> record,
                                    std::uint32_t* code = nullptr, std::uint32_t capacity = 2500) {
    std::vector<std::uint8_t> reply(capacity, 0);
    CvFragment req{record.data(), static_cast<std::uint32_t>(record.size())};
    CvFragment rep{reply.data(), capacity};
    const std::uint32_t rc = CvServiceRequest(h, id, 1, &req, 1, &rep);
    if (code) *code = rc;
    if (rc != kCvOk) {
      EXPECT_NE(code, nullptr) << "request failed with " << rc << "\n" << agent_.Log();
      return {};
    }
    reply.resize(capacity - rep.size);
    return reply;
  }
  Decoded Call(std::uint32_t h, std::uint32_t id, Record r) { return Decode(Request(h, id, r.bytes())); }

  cvtest::AgentProcess agent_;
  std::vector<std::uint32_t> handles_;
};

inline void ExpectError(const Decoded& d, std::int32_t code, const std::string& text = "") {
  ASSERT_EQ(d.names, std::vector<std::string>{"ERROR"});
  ASSERT_EQ(d["ERROR"].type, 'O');
  const Decoded inner = DecodeText(d["ERROR"].value);
  EXPECT_EQ(inner["CODE"].value, std::to_string(code)) << inner["TEXT"].value;
  EXPECT_THAT(inner["TEXT"].value, HasSubstr(text));
}

}  // namespace rfctest
