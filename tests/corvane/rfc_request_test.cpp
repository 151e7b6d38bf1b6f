// The call service's request parser and the typed output of its scripts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "corvane/wire/attobj.h"
#include "corvane/rfc/reply.h"
#include "corvane/rfc/request.h"
#include "corvane/rfc/scripts.h"
#include "corvane/wire/service.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::HasSubstr;

TEST(RfcRequest, WorkedRecordsParse) {
  // add with a VT_I4 2 and a VT_I2 3; add.bas with the same as text.
  const Bytes function = {0x00, 0x03, 0x00, 0x03, 0x00, 0x43, 0x41, 0x44, 0x44, 0x04, 0x00, 0x49, 0x02, 0x00,
                          0x00, 0x00, 0x04, 0x00, 0x49, 0x03, 0x00, 0x00, 0x00};
  std::string error;
  auto f = cvrfc::ParseRequest(function, &error);
  ASSERT_TRUE(f) << error;
  EXPECT_FALSE(f->script);
  EXPECT_EQ(f->name, "ADD");
  ASSERT_EQ(f->params.size(), 2u);
  EXPECT_EQ(f->params[0].tag, 'I');
  EXPECT_EQ(f->params[0].integer, 2);
  EXPECT_EQ(f->params[1].integer, 3);

  const Bytes script = {0x80, 0x03, 0x00, 0x07, 0x00, 0x43, 0x41, 0x44, 0x44, 0x2E, 0x42,
                        0x41, 0x53, 0x01, 0x00, 0x43, 0x32, 0x02, 0x00, 0x43, 0x2D, 0x37};
  auto s = cvrfc::ParseRequest(script, &error);
  ASSERT_TRUE(s) << error;
  EXPECT_TRUE(s->script);
  EXPECT_EQ(s->name, "ADD.BAS");
  EXPECT_EQ(s->params[1].text, "-7");

  // An object parameter: the 23-byte object holding N = 42.
  Bytes object = {0x00, 0x02, 0x00, 0x01, 0x00, 0x43, 0x58, 0x17, 0x00, 0x4F,
                  0x17, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00,
                  0x01, 0x00, 0x02, 0x00, 0x49, 0x00, 'a', 0x00, 0x4E, 0x34, 0x32};
  auto o = cvrfc::ParseRequest(object, &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->params[0].object.size(), 23u);
  std::int32_t n = 0;
  EXPECT_EQ(cvattobj::GetAttInt(nullptr, &n, o->params[0].object, "N"), 1);
  EXPECT_EQ(n, 42);
}

TEST(RfcRequest, MalformedRecordsAreRefused) {
  struct Case {
    const char* what;
    Bytes bytes;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "shorter than its header"},
      {"header only", {0x00, 0x00, 0x00}, "without a name"},
      {"unknown kind", {0x01, 0x01, 0x00, 0x01, 0x00, 'C', 'X'}, "unknown call kind"},
      {"count past the items", {0x00, 0x02, 0x00, 0x01, 0x00, 'C', 'X'}, "cut short"},
      {"item longer than the record", {0x00, 0x01, 0x00, 0x09, 0x00, 'C', 'X'}, "longer than the request"},
      {"name not first", {0x00, 0x01, 0x00, 0x04, 0x00, 'I', 1, 0, 0, 0}, "not the name"},
      {"empty name", {0x00, 0x01, 0x00, 0x00, 0x00, 'C'}, "empty or overlong name"},
      {"short integer", {0x00, 0x02, 0x00, 0x01, 0x00, 'C', 'X', 0x02, 0x00, 'I', 1, 0}, "wrong length"},
      {"short real", {0x00, 0x02, 0x00, 0x01, 0x00, 'C', 'X', 0x04, 0x00, 'R', 1, 0, 0, 0}, "wrong length"},
      {"unknown tag", {0x00, 0x02, 0x00, 0x01, 0x00, 'C', 'X', 0x01, 0x00, 'Z', 1}, "unknown type"},
      {"object size disagrees",
       {0x00, 0x02, 0x00, 0x01, 0x00, 'C', 'X', 0x0C, 0x00, 'O', 0x0D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       "whole attribute object"},
      {"trailing bytes", {0x00, 0x01, 0x00, 0x01, 0x00, 'C', 'X', 0xAA}, "after the last item"},
      {"script kind without .BAS", {0x80, 0x01, 0x00, 0x01, 0x00, 'C', 'X'}, "does not match"},
      {"function kind with .BAS", {0x00, 0x01, 0x00, 0x05, 0x00, 'C', 'X', '.', 'b', 'a', 's'}, "does not match"},
      {"script with an integer",
       {0x80, 0x02, 0x00, 0x05, 0x00, 'C', 'X', '.', 'B', 'A', 'S', 0x04, 0x00, 'I', 1, 0, 0, 0},
       "text parameters only"},
      {"eleven parameters",
       {0x00, 0x0C, 0x00},
       "more than ten"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    EXPECT_FALSE(cvrfc::ParseRequest(c.bytes, &error));
    EXPECT_THAT(error, HasSubstr(c.reason));
  }
  std::string error;
  EXPECT_FALSE(cvrfc::ParseRequest(Bytes(cvrfc::kMaxRequest + 1, 0), &error));
}

std::string Attr(const Bytes& reply, const char* name, char* type = nullptr) {
  const auto a = cvattobj::FindAtt(nullptr, reply, name);
  if (!a) return "(none)";
  if (type) *type = a.Type();
  const auto v = a.Value();
  return std::string(v.begin(), v.end());
}

TEST(RfcScriptOutput, TypedLinesBecomeAttributes) {
  const Bytes r = cvrfc::ScriptReply(
      "starting\nI COUNT -12\nR RATIO 2.5\nB OK true\nB NO 0\nF BIG 4000000000\nS NOTE two words\n"
      "S EMPTY\nS INNER.X nested\nIgnored line\n",
      2500);
  char type = 0;
  EXPECT_EQ(Attr(r, "COUNT", &type), "-12");
  EXPECT_EQ(type, 'I');
  EXPECT_EQ(Attr(r, "RATIO", &type), "2.500000");
  EXPECT_EQ(Attr(r, "OK", &type), "-1");
  EXPECT_EQ(type, 'B');
  EXPECT_EQ(Attr(r, "NO"), "0");
  EXPECT_EQ(Attr(r, "BIG", &type), "-294967296");
  EXPECT_EQ(type, 'F');
  EXPECT_EQ(Attr(r, "NOTE"), "two words");
  EXPECT_EQ(Attr(r, "EMPTY"), "");
  EXPECT_EQ(Attr(r, "INNER.X"), "nested");
  EXPECT_EQ(Attr(r, "OUTPUT"), "(none)") << "typed lines given: no OUTPUT";
  EXPECT_EQ(cvattobj::Count(r), 8u);

  const Bytes plain = cvrfc::ScriptReply("just text\nI think so\n", 2500);
  EXPECT_EQ(Attr(plain, "OUTPUT"), "just text\nI think so\n") << "no typed line: plain text";

  struct Bad {
    const char* output;
    const char* text;
  };
  for (const Bad& b : {Bad{"I N 1.5\n", "bad I value for N"}, Bad{"F N -1\n", "bad F value"},
                       Bad{"R N x\n", "bad R value"}, Bad{"B N maybe\n", "bad B value"},
                       Bad{"I N 99999999999\n", "bad I value"}}) {
    SCOPED_TRACE(b.output);
    const Bytes e = cvrfc::ScriptReply(std::string("S FIRST ok\n") + b.output, 2500);
    const auto error = cvattobj::FindAtt(nullptr, e, "ERROR");
    ASSERT_TRUE(error);
    EXPECT_THAT(Attr(e, "ERROR.TEXT"), HasSubstr(std::string("line 2: ") + b.text));
    EXPECT_EQ(Attr(e, "ERROR.CODE"), "8");
  }
  const Bytes tooBig = cvrfc::ScriptReply(std::string(3000, 'x'), 2500);
  EXPECT_EQ(Attr(tooBig, "ERROR.CODE"), "3");
  EXPECT_LE(cvattobj::TotalSize(tooBig), 2500u);
}

TEST(RfcReply, ErrorRepliesFitTheirCapacity) {
  for (std::size_t capacity : {80u, 120u, 2500u}) {
    const Bytes e = cvrfc::ErrorReply(3, std::string(5000, 't'), capacity);
    EXPECT_LE(e.size(), capacity);
    EXPECT_EQ(Attr(e, "ERROR.CODE"), "3");
  }
  const Bytes refused = cvrfc::RefusedReply();
  char type = 0;
  EXPECT_EQ(Attr(refused, "ERROR", &type), "5");
  EXPECT_EQ(type, 'I');
  EXPECT_EQ(cvattobj::Count(refused), 1u);
}

}  // namespace

namespace {

// Scripts run for real: /bin/sh programs written to a temporary folder.
class RfcScriptRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "cvrfc-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  cvrfc::ScriptRun Script(const std::string& body) {
    const auto path = dir_ / "T.BAS";
    std::ofstream(path, std::ios::trunc) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    cvrfc::ScriptRun run;
    run.program = path;
    run.workDir = dir_;
    run.env = {"PATH=/usr/bin:/bin"};
    run.timeout = std::chrono::milliseconds(2000);
    run.outputLimit = 1000;
    return run;
  }
  std::filesystem::path dir_;
};

TEST_F(RfcScriptRun, ArgumentsReachTheProgramUnchanged) {
  auto run = Script("for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\npwd\n");
  run.args = {"-7", "two words", "$(touch hacked)", "*", ""};
  const auto r = cvrfc::RunScript(run);
  EXPECT_EQ(r.kind, cvrfc::ScriptResult::Kind::Exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.output, "[-7]\n[two words]\n[$(touch hacked)]\n[*]\n[]\n" + dir_.string() + "\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "hacked")) << "no shell between the service and the script";
}

TEST_F(RfcScriptRun, LimitsAndFailures) {
  const auto failed = cvrfc::RunScript(Script("echo first >&2\necho 'last words' >&2\nexit 4\n"));
  EXPECT_EQ(failed.kind, cvrfc::ScriptResult::Kind::Exited);
  EXPECT_EQ(failed.exitStatus, 4);
  EXPECT_EQ(failed.errorTail, "first\nlast words\n");

  const auto chatty = cvrfc::RunScript(Script("while :; do echo xxxxxxxxxxxxxxxxxxxx; done\n"));
  EXPECT_EQ(chatty.kind, cvrfc::ScriptResult::Kind::TooMuchOutput);
  EXPECT_EQ(chatty.output.size(), 1000u);

  // A script past its time is killed with what it started in its group.
  auto slow = Script("sleep 30 &\necho $! > child.pid\nsleep 30\n");
  slow.timeout = std::chrono::milliseconds(300);
  const auto began = std::chrono::steady_clock::now();
  const auto timedOut = cvrfc::RunScript(slow);
  EXPECT_EQ(timedOut.kind, cvrfc::ScriptResult::Kind::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
  pid_t child = 0;
  std::ifstream(dir_ / "child.pid") >> child;
  ASSERT_GT(child, 0);
  // Gone, or a zombie left for init to reap.
  const auto dead = [](pid_t pid) {
    std::string stat;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
    const auto close = stat.rfind(')');
    return ::kill(pid, 0) != 0 || (close != std::string::npos && stat.substr(close + 2, 1) == "Z");
  };
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = dead(child);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << "the script's background child was killed with it";

  auto missing = Script("");
  missing.program = dir_ / "NOPE.BAS";
  const auto notThere = cvrfc::RunScript(missing);
  EXPECT_EQ(notThere.exitStatus, 127);
  EXPECT_EQ(notThere.errorTail, "cannot run the script\n");
}

}  // namespace

namespace {

TEST(ServiceChannel, CallsAndAnswersRoundTripWithinTheirBounds) {
  cvwire::service::Call call;
  call.user = "ADMIN";
  call.isOperator = true;
  call.connection = 3;
  call.budgetMs = 2500;
  call.replyCapacity = 2500;
  call.serverName = "SRV1";
  call.serverVersion = "6.5.2";
  call.serverUpSeconds = 99;
  for (int i = 0; i < 70; ++i) {
    call.modules.push_back({"M" + std::to_string(i), i % 2 == 0, 100u + i, 5, std::string(600, 'r'), 7});
  }
  call.request = {0x00, 0x01, 0x00, 0x04, 0x00, 'E', 'C', 'H', 'O'};
  const auto frame = cvwire::service::EncodeCall(call, 42);
  const std::span payload = std::span(frame).subspan(4);
  const auto back = cvwire::service::DecodeCall(payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->user, "ADMIN");
  EXPECT_TRUE(back->isOperator);
  EXPECT_EQ(back->budgetMs, 2500u);
  EXPECT_EQ(back->request, call.request);
  ASSERT_EQ(back->modules.size(), cvwire::service::kMaxModules) << "cut to the bound";
  EXPECT_EQ(back->modules[2].pid, 102u);
  EXPECT_EQ(back->modules[2].lastFailure.size(), cvwire::service::kMaxFailureText);
  for (std::size_t cut = 0; cut < payload.size(); cut += 97) {
    EXPECT_FALSE(cvwire::service::DecodeCall(payload.first(cut))) << "cut at " << cut;
  }

  const std::vector<std::uint8_t> reply = {1, 2, 3};
  const auto answer = cvwire::service::EncodeAnswer(9, reply);
  EXPECT_EQ(cvwire::service::DecodeAnswer(std::span(answer).subspan(4), 9), reply);
  EXPECT_FALSE(cvwire::service::DecodeAnswer(std::span(answer).subspan(4), 8)) << "the answer of another call";
  EXPECT_FALSE(cvwire::service::DecodeCall(std::span(answer).subspan(4))) << "an answer is no call";
}

}  // namespace
