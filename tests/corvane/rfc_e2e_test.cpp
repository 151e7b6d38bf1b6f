// End to end: cvserverd with the call service module cvrfcd loaded, driven
// through the real client library's CvGetServiceInfoByName and
// CvServiceRequest with hand-built call records; and service modules that
// crash, hang or answer garbage.
#include <gtest/gtest.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "rfc_harness.h"
#include "corvane/wire/attobj.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"

namespace {

using namespace rfctest;

TEST_F(RfcTest, EveryBuiltInFunction) {
  WriteService();
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "; loads the call service\nLOAD RFC\n");
  agent_.WriteFile("SYS/SYSTEM/GOODWEB.qrx", "exec = [\"" CVTESTMODULE_PATH "\"]\nready = { alive_ms = 100 }\n"
                                             "preflight = [\"" CVTESTMODULE_PATH "\", \"--print\", \"Syntax OK\", \"--exit\", \"0\"]\n");
  agent_.WriteFile("SYS/SYSTEM/BADWEB.qrx", "exec = [\"" CVTESTMODULE_PATH "\"]\nready = { alive_ms = 100 }\n"
                                            "preflight = [\"" CVTESTMODULE_PATH "\", \"--print-err\", "
                                            "\"Syntax error on line 3 of httpd.conf\", \"--exit\", \"1\"]\n");
  std::string log;
  for (int i = 1; i <= 30; ++i) log += "line " + std::to_string(i) + "\n";
  agent_.WriteFile("SYS/APACHE/log/error_log", log);
  agent_.WriteFile("secret.txt", "outside the volume\n");
  Start();
  const std::uint32_t h = Connect();
  const std::uint32_t id = Lookup(h);
  ASSERT_NE(id, 0u);

  // ECHO answers every type back as it came; an object parameter nested.
  cvattobj::ObjectPtr object = cvattobj::CreateObject(nullptr);
  const std::int32_t n = 42;
  ASSERT_TRUE(cvattobj::AddAtt(nullptr, &object, "N", &n, 0, 'I', 'a'));
  const auto objectView = cvattobj::View(object);
  const std::vector<std::uint8_t> objectBytes(objectView.begin(), objectView.end());
  Decoded echo = Call(h, id, Record("ECHO").Text("text").Int(-7).Real(2.5).Bool(true).Unsigned(4000000000u).Object(
                                 objectBytes));
  EXPECT_EQ(echo.names, (std::vector<std::string>{"P1", "P2", "P3", "P4", "P5", "P6"}));
  EXPECT_EQ(echo["P1"].type, 'S');
  EXPECT_EQ(echo["P1"].value, "text");
  EXPECT_EQ(echo["P2"].type, 'I');
  EXPECT_EQ(echo["P2"].value, "-7");
  EXPECT_EQ(echo["P3"].type, 'R');
  EXPECT_EQ(echo["P3"].value, "2.500000");
  EXPECT_EQ(echo["P4"].type, 'B');
  EXPECT_EQ(echo["P4"].value, "-1");
  EXPECT_EQ(echo["P5"].type, 'F');
  EXPECT_EQ(echo["P5"].value, "-294967296") << "unsigned values of 2^31 and more are stored as negative text";
  EXPECT_EQ(echo["P6"].type, 'O');
  EXPECT_EQ(echo["P6"].value, std::string(objectBytes.begin(), objectBytes.end()));
  EXPECT_EQ(Call(h, id, Record("echo").Int(6)).names, std::vector<std::string>{"P1"}) << "one parameter, one attribute";

  const Decoded info = Call(h, id, Record("SERVER.INFO"));
  EXPECT_EQ(info["NAME"].value, "SRV1");
  EXPECT_EQ(info["VERSION"].value, "6.5.2");
  EXPECT_EQ(info["UPTIME"].type, 'I');
  EXPECT_EQ(info["MODULES"].value, "1");

  const Decoded status = Call(h, id, Record("MODULE.STATUS").Text("rfc.qrx"));
  EXPECT_EQ(status["LOADED"].value, "-1");
  EXPECT_GT(std::stoi(status["PID"].value), 0);
  EXPECT_EQ(status["REASON"].type, 0) << "no failure, no reason";
  const Decoded missing = Call(h, id, Record("MODULE.STATUS").Text("NOSUCH"));
  EXPECT_EQ(missing["LOADED"].value, "0");

  // The configuration test runs the preflight only: nothing is loaded.
  const Decoded good = Call(h, id, Record("APACHE.CONFIGTEST").Text("goodweb"));
  EXPECT_EQ(good["OK"].value, "-1");
  EXPECT_THAT(good["OUTPUT"].value, HasSubstr("Syntax OK"));
  const Decoded bad = Call(h, id, Record("APACHE.CONFIGTEST").Text("BADWEB"));
  EXPECT_EQ(bad["OK"].value, "0");
  EXPECT_THAT(bad["OUTPUT"].value, HasSubstr("Syntax error on line 3"));
  EXPECT_EQ(Call(h, id, Record("SERVER.INFO"))["MODULES"].value, "1");

  const Decoded space = Call(h, id, Record("VOLUME.SPACE"));
  EXPECT_EQ(space["TOTAL"].type, 'F');
  EXPECT_GT(std::stoll(space["TOTAL"].value), 0);
  EXPECT_LE(std::stoll(space["FREE"].value), std::stoll(space["TOTAL"].value));

  const Decoded tail = Call(h, id, Record("FILE.TAIL").Text("APACHE\\log\\error_log").Int(3));
  EXPECT_EQ(tail["LINES"].value, "3");
  EXPECT_EQ(tail["TEXT"].value, "line 28\nline 29\nline 30");
  // Only the last lines that fit the reply.
  const Decoded small = Decode(Request(h, id, Record("FILE.TAIL").Text("APACHE/log/error_log").Int(30).bytes(),
                                       nullptr, 80));
  ASSERT_EQ(small["TEXT"].type, 'S');
  EXPECT_LT(std::stoi(small["LINES"].value), 30);
  EXPECT_THAT(small["TEXT"].value, ::testing::EndsWith("line 30"));
  std::filesystem::create_symlink(agent_.dir() / "secret.txt", agent_.volume() / "link.txt");
  ASSERT_EQ(::mkfifo((agent_.volume() / "fifo").c_str(), 0600), 0);
  for (const char* path : {"..\\secret.txt", "../secret.txt", "link.txt", "/etc/passwd", "APACHE/log", "fifo"}) {
    ExpectError(Call(h, id, Record("FILE.TAIL").Text(path).Int(1)), 2, "inside the volume");
  }

  // Errors a client reads by name.
  ExpectError(Call(h, id, Record("NO.SUCH")), 1, "unknown function NO.SUCH");
  ExpectError(Call(h, id, Record("MODULE.STATUS").Int(3)), 2);
  ExpectError(Call(h, id, Record("SERVER.INFO").Int(3)), 2);
  ExpectError(Call(h, id, Record("ECHO")), 2);
  ExpectError(Decode(Request(h, id, Record("ECHO").Text(std::string(300, 'x')).bytes(), nullptr, 200)), 3);
  ExpectError(Decode(Request(h, id, {0x00, 0x05, 0x00, 0x04, 0x00, 'C', 'E'})), 10, "malformed request");
  agent_.Stop();
  EXPECT_TRUE(WIFEXITED(agent_.exitStatus()) && WEXITSTATUS(agent_.exitStatus()) == 0) << agent_.Log();
}

TEST_F(RfcTest, ScriptsRunForOperatorsOnly) {
  WriteService("RFC", ", \"--script-timeout-ms\", \"800\"");
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n");
  std::filesystem::copy_file(ECHO_BAS_PATH, agent_.volume() / "SYSTEM" / "echo.bas");
  agent_.WriteFile("SYS/SYSTEM/FAIL.BAS", "#!/bin/sh\necho 'went wrong' >&2\nexit 3\n");
  agent_.WriteFile("SYS/SYSTEM/SLOW.BAS", "#!/bin/sh\nsleep 30\n");
  agent_.WriteFile("SYS/SYSTEM/TEXT.BAS", "#!/bin/sh\necho \"hello $1\"\n");
  agent_.WriteFile("SYS/SYSTEM/BADOUT.BAS", "#!/bin/sh\necho 'S NAME x'\necho 'I COUNT many'\n");
  for (const char* s : {"FAIL.BAS", "SLOW.BAS", "TEXT.BAS", "BADOUT.BAS"}) {
    std::filesystem::permissions(agent_.volume() / "SYSTEM" / s, std::filesystem::perms::owner_all);
  }
  Start();
  const std::uint32_t h = Connect();
  const std::uint32_t id = Lookup(h);

  // Text parameters, as the control sends integers and reals to scripts.
  const Decoded echo = Call(h, id, Record("ECHO.BAS").Text("-7").Text("2.5").Text("two words"));
  EXPECT_EQ(echo.names, (std::vector<std::string>{"P1", "P2", "P3"}));
  EXPECT_EQ(echo["P1"].type, 'I');
  EXPECT_EQ(echo["P1"].value, "-7");
  EXPECT_EQ(echo["P2"].type, 'R');
  EXPECT_EQ(echo["P2"].value, "2.500000");
  EXPECT_EQ(echo["P3"].value, "two words");

  const Decoded text = Call(h, id, Record("TEXT.BAS").Text("world"));
  EXPECT_EQ(text.names, std::vector<std::string>{"OUTPUT"});
  EXPECT_EQ(text["OUTPUT"].value, "hello world\n");
  ExpectError(Call(h, id, Record("FAIL.BAS")), 6, "exited with 3: went wrong");
  const auto began = std::chrono::steady_clock::now();
  ExpectError(Call(h, id, Record("SLOW.BAS")), 7, "ran past 800 ms");
  EXPECT_LT(std::chrono::steady_clock::now() - began, 4s);
  ExpectError(Call(h, id, Record("BADOUT.BAS")), 8, "bad I value for COUNT");
  ExpectError(Call(h, id, Record("NOSUCH.BAS")), 4);
  // Script calls carry text only.
  ExpectError(Decode(Request(h, id, Record("ECHO.BAS").Int(3).bytes())), 10, "text parameters only");
}

TEST_F(RfcTest, NonOperatorIsRefusedScriptsButReadsStatus) {
  WriteService();
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n");
  std::filesystem::copy_file(ECHO_BAS_PATH, agent_.volume() / "SYSTEM" / "ECHO.BAS");
  Start("GUEST");
  const std::uint32_t h = Connect();
  const std::uint32_t id = Lookup(h);
  const Decoded refused = Call(h, id, Record("ECHO.BAS").Text("1"));
  EXPECT_EQ(refused.names, std::vector<std::string>{"ERROR"});
  EXPECT_EQ(refused["ERROR"].type, 'I');
  EXPECT_EQ(refused["ERROR"].value, "5");
  EXPECT_EQ(Call(h, id, Record("SERVER.INFO"))["NAME"].value, "SRV1");
  EXPECT_EQ(Call(h, id, Record("ECHO").Text("hi"))["P1"].value, "hi");
}

TEST_F(RfcTest, BrokenServiceModulesCostTheRequestOnly) {
  struct Case {
    const char* mode;
    std::uint32_t code;
  };
  for (const Case& c : {Case{"crash", kCvErrQrxConnection}, Case{"garbage", kCvErrQrxConnection},
                        Case{"hang", kCvErrNoAnswer}}) {
    SCOPED_TRACE(c.mode);
    cvtest::AgentProcess agent;
    agent.WriteFile("SYS/SYSTEM/BADRFC.qrx", "exec = [\"" CVTESTMODULE_PATH "\", \"--service\", \"" +
                                                 std::string(c.mode) +
                                                 "\"]\nservices = [\"CvSrvA Remote Function Calls\"]\n"
                                                 "ready = { service = true }\nstop_timeout_ms = 1000\n");
    ASSERT_TRUE(agent.Start()) << agent.Log();
    agent.WriteClientIni("ADMIN", "", 0600, 1500);
    std::uint32_t h = 0;
    ASSERT_EQ(CvGetConnectionHandle(agent.serverName.c_str(), 0, &h, nullptr), kCvOk);
    ASSERT_EQ(CvLoadModule(h, "BADRFC "), kCvOk) << agent.Log();
    std::uint32_t id = 0;
    ASSERT_EQ(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
    std::vector<std::uint8_t> record = Record("ECHO").Int(1).bytes();
    std::vector<std::uint8_t> reply(2500);
    CvFragment req{record.data(), static_cast<std::uint32_t>(record.size())};
    CvFragment rep{reply.data(), 2500};
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(CvServiceRequest(h, id, 1, &req, 1, &rep), c.code) << agent.Log();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1500ms) << "answered before the client's own timeout";
    EXPECT_EQ(rep.size, 2500u) << "nothing written into the reply";
    // The agent and this connection carry on.
    char name[kCvServerNameSize] = {};
    EXPECT_EQ(CvGetServerInformation(h, name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), kCvOk);
    EXPECT_STREQ(name, "SRV1");
    if (std::string(c.mode) == "crash") {
      // The agent notices the module is gone, and why.
      CvModuleStatus st{};
      for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(CvGetModuleStatus(h, "badrfc", &st), kCvOk);
        if (!st.loaded) break;
        std::this_thread::sleep_for(50ms);
      }
      EXPECT_EQ(st.loaded, 0);
      EXPECT_THAT(st.lastFailure, HasSubstr("ended on its own (signal 6)"));
      EXPECT_NE(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
    }
    while (CvReleaseConnection(h) == kCvOk) {
    }
    agent.Stop();
    EXPECT_TRUE(WIFEXITED(agent.exitStatus()) && WEXITSTATUS(agent.exitStatus()) == 0) << agent.Log();
  }
}

// The agent keeps connections to a module for the next call. Every call is
// still answered when the module does not keep them (it closes each after
// its answer, at any point of the agent's next send) and when the module is
// restarted between two calls.
TEST_F(RfcTest, CallsOutliveTheModulesConnections) {
  WriteBadService("ONCE", "once");
  WriteService();
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD ONCE\n");
  Start();
  const std::uint32_t h = Connect();
  std::uint32_t id = Lookup(h);
  for (std::int32_t i = 0; i < 200; ++i) {
    const std::vector<std::uint8_t> record = Record("ECHO").Int(i).bytes();
    std::uint32_t code = 1;
    const auto reply = Request(h, id, record, &code);
    ASSERT_EQ(code, kCvOk) << "call " << i << "\n" << agent_.Log();
    ASSERT_EQ(reply, record) << "call " << i;
  }

  ASSERT_EQ(CvUnloadModule(h, "ONCE"), kCvOk);
  ASSERT_EQ(CvLoadModule(h, "RFC"), kCvOk) << agent_.Log();
  id = Lookup(h);
  EXPECT_EQ(Call(h, id, Record("ECHO").Int(1))["P1"].value, "1");
  EXPECT_EQ(Call(h, id, Record("ECHO").Int(2))["P1"].value, "2") << "on the kept connection";
  std::uint32_t code = 0;
  ASSERT_EQ(CvUnloadModule(h, "RFC"), kCvOk);
  Request(h, id, Record("ECHO").Int(3).bytes(), &code);
  EXPECT_EQ(code, kCvErrQrxConnection) << "a kept connection does not outlive its module";
  ASSERT_EQ(CvLoadModule(h, "RFC"), kCvOk) << agent_.Log();
  id = Lookup(h);
  EXPECT_EQ(Call(h, id, Record("ECHO").Int(4))["P1"].value, "4") << "the restarted module answers";
}

// An agent told to stop while a request waits on a hanging module stops at
// once; the waiting client gets an error, not a hang.
TEST_F(RfcTest, AgentStopsWhileARequestWaits) {
  WriteBadService("HANGRFC", "hang");
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD HANGRFC\n");
  Start("ADMIN", 20000);
  const std::uint32_t h = Connect();
  const std::uint32_t id = Lookup(h);
  std::uint32_t code = 0;
  std::thread caller([&] {
    std::vector<std::uint8_t> record = Record("ECHO").Int(1).bytes();
    std::vector<std::uint8_t> reply(2500);
    CvFragment req{record.data(), static_cast<std::uint32_t>(record.size())};
    CvFragment rep{reply.data(), 2500};
    code = CvServiceRequest(h, id, 1, &req, 1, &rep);
  });
  std::this_thread::sleep_for(300ms);
  const auto began = std::chrono::steady_clock::now();
  agent_.Stop();
  caller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  EXPECT_TRUE(WIFEXITED(agent_.exitStatus()) && WEXITSTATUS(agent_.exitStatus()) == 0) << agent_.Log();
  EXPECT_EQ(code, kCvErrNoAnswer);
}

// A failed load says why in the log file the manifest names and to clients.
TEST_F(RfcTest, FailedLoadExplainedInTheModulesLog) {
  agent_.WriteFile("SYS/APACHE/log/error_log", "[earlier] an entry Apache wrote\n");
  agent_.WriteFile("SYS/SYSTEM/WEB.qrx",
                   "exec = [\"" CVTESTMODULE_PATH "\"]\nready = { alive_ms = 100 }\n"
                   "log = \"{volume}/APACHE/log/error_log\"\n"
                   "preflight = [\"" CVTESTMODULE_PATH "\", \"--print\", \"AH00526: Syntax error on line 3\", "
                   "\"--exit\", \"1\"]\n");
  agent_.WriteFile("SYS/SYSTEM/LATE.qrx",
                   "exec = [\"" CVTESTMODULE_PATH "\", \"--print\", \"still starting\"]\n"
                   "log = \"{volume}/APACHE/log/late_log\"\n"
                   "ready = { tcp = \"127.0.0.1:1\", timeout_ms = 300 }\n");
  agent_.WriteFile("SYS/SYSTEM/NOISY.qrx",
                   "exec = [\"" CVTESTMODULE_PATH "\", \"--print\", \"" + std::string(500, 'x') +
                       "\", \"--print\", \"" + std::string(500, 'y') + "\", \"--exit\", \"2\"]\n"
                       "log = \"{volume}/APACHE/log/noisy_log\"\nready = { alive_ms = 300 }\n");
  Start();
  const std::uint32_t h = Connect();
  ASSERT_EQ(CvLoadModule(h, "WEB "), kCvErrModuleFailed);
  const std::string log = ReadFile(agent_.volume() / "APACHE/log/error_log");
  EXPECT_THAT(log, ::testing::StartsWith("[earlier] an entry Apache wrote\n")) << "appended, nothing lost";
  EXPECT_THAT(log, ::testing::ContainsRegex(
                       "\n" R"(\[[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6} [0-9]{4}\] )"
                       R"(\[cvserverd:error\] \[pid [0-9]+\] )"
                       R"(module WEB did not load: preflight failed \(exit 1\))" "\n"));
  EXPECT_THAT(log, HasSubstr("module WEB output: AH00526: Syntax error on line 3\n"));
  CvModuleStatus st{};
  ASSERT_EQ(CvGetModuleStatus(h, "web.qrx", &st), kCvOk);
  EXPECT_EQ(st.loaded, 0);
  EXPECT_THAT(st.lastFailure, HasSubstr("preflight failed (exit 1)"));
  EXPECT_THAT(st.lastFailure, HasSubstr("AH00526"));
  EXPECT_LE(st.failureAgeSeconds, 5u);

  ASSERT_EQ(CvLoadModule(h, "LATE "), kCvErrModuleFailed);
  EXPECT_THAT(ReadFile(agent_.volume() / "APACHE/log/late_log"),
              HasSubstr("did not load: failed to start: no connection to 127.0.0.1:1 within 300 ms"));
  ASSERT_EQ(CvLoadModule(h, "NOISY "), kCvErrModuleFailed);
  const std::string noisy = ReadFile(agent_.volume() / "APACHE/log/noisy_log");
  EXPECT_THAT(noisy, HasSubstr("exited before 300 ms"));
  EXPECT_THAT(noisy, HasSubstr("output: " + std::string(500, 'y')));
  EXPECT_LE(noisy.size(), 4096u);
  // A module without a log key: the reason is still there for clients.
  ASSERT_EQ(CvLoadModule(h, "NOSUCH "), kCvErrModuleFailed);
  ASSERT_EQ(CvGetModuleStatus(h, "NOSUCH", &st), kCvOk);
  EXPECT_THAT(st.lastFailure, HasSubstr("no NOSUCH.qrx in the search path"));
  EXPECT_EQ(CvGetModuleStatus(h, "../x", &st), kCvErrInvalidFileName);
}

}  // namespace

namespace {

bool Alive(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  if (text.empty()) return false;
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// A killed call service takes its scripts' process groups with it: what a
// script started in the background does not run on under init.
TEST_F(RfcTest, ScriptsOfAKilledServiceDieWithIt) {
  WriteService("RFC", ", \"--script-timeout-ms\", \"60000\"");
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n");
  agent_.WriteFile("SYS/SYSTEM/GRAND.BAS",
                   "#!/bin/sh\nsleep 300 &\necho $! > \"$CV_VOLUME/grand.pid.tmp\"\n"
                   "mv \"$CV_VOLUME/grand.pid.tmp\" \"$CV_VOLUME/grand.pid\"\nsleep 300\n");
  std::filesystem::permissions(agent_.volume() / "SYSTEM" / "GRAND.BAS", std::filesystem::perms::owner_all);
  Start("ADMIN", 20000);
  const std::uint32_t h = Connect();
  const std::uint32_t id = Lookup(h);
  std::uint32_t code = 0;
  std::thread call([&] { Request(h, id, Record("GRAND.BAS").bytes(), &code); });
  pid_t grandchild = 0;
  for (int i = 0; i < 200 && grandchild == 0; ++i) {
    std::this_thread::sleep_for(50ms);
    std::ifstream(agent_.volume() / "grand.pid") >> grandchild;
  }
  ASSERT_GT(grandchild, 0) << agent_.Log();
  ASSERT_TRUE(Alive(grandchild));
  const std::string log = agent_.Log();
  const auto at = log.find("module RFC loaded (pid ");
  ASSERT_NE(at, std::string::npos) << log;
  const pid_t service = static_cast<pid_t>(std::stol(log.substr(at + 23)));
  ASSERT_EQ(::kill(service, SIGKILL), 0);
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    std::this_thread::sleep_for(50ms);
    gone = !Alive(grandchild);
  }
  if (!gone) ::kill(grandchild, SIGKILL);
  call.join();
  EXPECT_TRUE(gone) << "the script's background child outlived the call service";
  EXPECT_NE(code, kCvOk) << "the call whose service died is not answered";
}

// The volume written as a relative path: scripts, which run in the volume,
// still find themselves.
TEST_F(RfcTest, ARelativeVolumeRunsScripts) {
  agent_.volumeText = "SYS";
  WriteService();
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n");
  agent_.WriteFile("SYS/SYSTEM/TEXT.BAS", "#!/bin/sh\necho \"hello $1\"\n");
  std::filesystem::permissions(agent_.volume() / "SYSTEM" / "TEXT.BAS", std::filesystem::perms::owner_all);
  Start();
  const std::uint32_t h = Connect();
  const std::uint32_t id = Lookup(h);
  const Decoded text = Call(h, id, Record("TEXT.BAS").Text("world"));
  EXPECT_EQ(text["OUTPUT"].value, "hello world\n") << agent_.Log();
}

}  // namespace
