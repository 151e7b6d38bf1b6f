// End to end: a real cvserverd on 127.0.0.1 driven through the real client
// library (each test runs in its own process, so the library starts fresh).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/cvmessages.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
#include "corvane/client/kslocale.h"

namespace {

using namespace std::chrono_literals;

class AgentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (std::uint32_t h : handles_) {
      while (CvReleaseConnection(h) == kCvOk) {
      }
    }
  }
  void StartAgent(const std::string& user = "ADMIN") {
    ASSERT_TRUE(agent_.Start()) << agent_.Log();
    agent_.WriteClientIni(user);
  }
  std::uint32_t Connect() {
    std::uint32_t h = 0;
    EXPECT_EQ(CvGetConnectionHandle(agent_.serverName.c_str(), 0, &h, nullptr), kCvOk) << agent_.Log();
    handles_.push_back(h);
    return h;
  }
  void WriteModule(const std::string& name, const std::string& extraArgs = "") {
    agent_.WriteFile("SYS/SYSTEM/" + name + ".qrx",
                     "description = \"Test module\"\nexec = [\"" CVTESTMODULE_PATH "\", \"--pidfile\", \"{volume}/" +
                         name + ".pid\"" + extraArgs + ", \"{args}\"]\nready = { alive_ms = 150 }\n"
                         "stop_timeout_ms = 2000\n[commands]\n\"" + name + " shutdown\" = \"unload\"\n");
  }
  pid_t ModulePid(const std::string& name) {
    std::ifstream in(agent_.volume() / (name + ".pid"));
    pid_t pid = 0;
    in >> pid;
    return pid;
  }
  cvtest::AgentProcess agent_;
  std::vector<std::uint32_t> handles_;
};

std::string ParamName(const CvServerParameter& p) { return p.nameValue; }

TEST_F(AgentTest, LoginAndServerInformation) {
  StartAgent();
  const std::uint32_t h = Connect();
  ASSERT_NE(h, 0u);
  std::uint32_t again = 0;
  ASSERT_EQ(CvGetConnectionHandle("srv1", 0, &again, nullptr), kCvOk);
  EXPECT_EQ(again, h) << "one connection per server per process";

  std::uint32_t state = 0, directory = 7;
  EXPECT_EQ(CvGetConnectionItem(h, kCvItemState, 4, &state), kCvOk);
  EXPECT_EQ(state, 1u);
  EXPECT_EQ(CvGetConnectionItem(h, kCvItemDirectory, 4, &directory), kCvOk);
  EXPECT_EQ(directory, 0u);
  char name[kCvServerNameSize] = {};
  EXPECT_EQ(CvGetConnectionItem(h, kCvItemServerName, sizeof name, name), kCvOk);
  EXPECT_STREQ(name, "SRV1");
  char tree[kCvTreeNameSize] = {};
  EXPECT_EQ(CvGetConnectionItem(h, kCvItemTreeName, kCvTreeNameSize - 1, tree), kCvOk);
  EXPECT_EQ(std::string(tree), std::string(32, '_'));
  CvVersionItem v{};
  EXPECT_EQ(CvGetConnectionItem(h, kCvItemVersion, sizeof v, &v), kCvOk);
  EXPECT_EQ(v.major, 6u);
  EXPECT_EQ(v.minor, 5u);
  EXPECT_EQ(v.revision, 2u);
  EXPECT_EQ(CvGetConnectionItem(h, 99, 4, &state), kCvErrInvalidInfoType);
  EXPECT_EQ(CvGetConnectionItem(h, kCvItemState, 2, &state), kCvErrInvalidArgument);

  std::uint16_t capacity = 0, inUse = 0;
  EXPECT_EQ(CvGetServerInformation(h, nullptr, nullptr, nullptr, nullptr, &capacity, nullptr, nullptr), kCvOk);
  EXPECT_EQ(CvGetServerInformation(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &inUse), kCvOk);
  EXPECT_EQ(capacity, 250);
  EXPECT_EQ(inUse, 1);
  char company[kCvServerTextSize] = {}, description[kCvServerTextSize] = {};
  EXPECT_EQ(CvGetServerDescription(h, company, nullptr, nullptr, nullptr), kCvOk);
  EXPECT_EQ(CvGetServerDescription(h, nullptr, description, nullptr, nullptr), kCvOk);
  EXPECT_STREQ(company, "Corvane Software");
  EXPECT_STREQ(description, "Web server of the sales office");
  EXPECT_EQ(CvLicenseConnection(h), kCvOk);

  EXPECT_EQ(CvReleaseConnection(h), kCvOk);
  EXPECT_EQ(CvGetServerDescription(h, company, nullptr, nullptr, nullptr), kCvOk) << "one reference left";
  EXPECT_EQ(CvReleaseConnection(h), kCvOk);
  EXPECT_EQ(CvGetServerDescription(h, company, nullptr, nullptr, nullptr), kCvErrInvalidConnection);
  EXPECT_EQ(CvReleaseConnection(h), kCvErrInvalidConnection);
}

TEST_F(AgentTest, RefusedLogins) {
  StartAgent();
  struct Case {
    const char* what;
    std::string user;
    std::string passwordOverride;  // empty: the user's own
    int mode;
  } cases[] = {
      {"wrong password", "ADMIN", "not-the-password", 0600},
      {"unknown user", "NOBODY", "whatever", 0600},
      {"password file readable by others", "ADMIN", "", 0644},
  };
  for (const auto& c : cases) {
    agent_.WriteClientIni(c.user, "", c.mode);
    if (!c.passwordOverride.empty()) {
      std::ofstream(agent_.dir() / ("pw-" + c.user), std::ios::trunc) << c.passwordOverride << "\n";
    }
    std::uint32_t h = 0;
    EXPECT_EQ(CvGetConnectionHandle("SRV1", 0, &h, nullptr), kCvErrLoginRefused) << c.what;
  }
  agent_.WriteClientIni("ADMIN");
  std::uint32_t h = 0;
  EXPECT_EQ(CvGetConnectionHandle("SRV1", 0, &h, nullptr), kCvOk) << "the good password still works";
  handles_.push_back(h);
}

TEST_F(AgentTest, UnknownUnreachableAndSilentServers) {
  StartAgent();
  cvtest::SilentServer silent;
  std::uint16_t closedPort = 0;
  {
    cvtest::SilentServer temp;
    closedPort = temp.port();
  }
  agent_.WriteClientIni("ADMIN",
                        "MUTE=127.0.0.1:" + std::to_string(silent.port()) + "\nGONE=127.0.0.1:" +
                            std::to_string(closedPort) + "\n",
                        0600, 400);
  std::uint32_t h = 0;
  EXPECT_EQ(CvGetConnectionHandle("NOSUCH", 0, &h, nullptr), kCvErrUnknownServer);
  EXPECT_EQ(CvGetConnectionHandle("GONE", 0, &h, nullptr), kCvErrUnknownServer);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CvGetConnectionHandle("MUTE", 0, &h, nullptr), kCvErrNoAnswer);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 350ms);
  EXPECT_LT(took, 1500ms) << "bounded by the request timeout of 400 ms";
}

TEST_F(AgentTest, ParametersOfBothTypesSurviveARestart) {
  agent_.extra =
      "[[parameter]]\nname = \"Maximum Packet Receive Buffers\"\ntype = \"number\"\nvalue = 500\n"
      "[[parameter]]\nname = \"Server Banner\"\ntype = \"text\"\nvalue = \"Hello\"\n";
  StartAgent();
  std::uint32_t h = Connect();
  EXPECT_EQ(CvSetServerParameterNumber(h, "maximum packet receive buffers", 800), kCvOk);
  EXPECT_EQ(CvSetServerParameterText(h, "Maximum Packet Receive Buffers", "100"), kCvErrTypeMismatch);
  EXPECT_EQ(CvSetServerParameterText(h, "Server Banner", "Welcome"), kCvOk);
  EXPECT_EQ(CvSetServerParameterNumber(h, "Server Banner", 5), kCvErrTypeMismatch);
  EXPECT_EQ(CvSetServerParameterNumber(h, "Unknown", 5), kCvErrUnknownParameter);

  auto scan = [&](std::uint32_t handle) {
    std::vector<std::pair<std::string, std::string>> seen;
    CvServerParameter rec{};
    std::uint32_t index = 0, code = 0;
    while ((code = CvScanServerParameter(handle, index, &rec)) == kCvOk) {
      const std::string n = ParamName(rec);
      std::string value;
      if (rec.valueType == kCvParamTypeText) {
        value = rec.nameValue + n.size() + 1;
      } else {
        std::int32_t num = 0;
        std::memcpy(&num, rec.nameValue + n.size() + 1, 4);
        value = "#" + std::to_string(num);
      }
      seen.emplace_back(n, value);
      EXPECT_EQ(rec.nextSearchIndex, index + 1);
      index = rec.nextSearchIndex;
    }
    EXPECT_EQ(code, kCvErrNoMoreEntries);
    return seen;
  };
  const std::vector<std::pair<std::string, std::string>> want{{"Maximum Packet Receive Buffers", "#800"},
                                                              {"Server Banner", "Welcome"}};
  EXPECT_EQ(scan(h), want);

  EXPECT_EQ(CvReleaseConnection(h), kCvOk);
  agent_.Stop();
  EXPECT_TRUE(WIFEXITED(agent_.exitStatus()) && WEXITSTATUS(agent_.exitStatus()) == 0) << agent_.Log();
  StartAgent();
  h = Connect();
  EXPECT_EQ(scan(h), want) << "values kept in the state file";
}

TEST_F(AgentTest, NonOperatorsMayReadButNotChange) {
  agent_.extra = "[[parameter]]\nname = \"Banner\"\ntype = \"text\"\nvalue = \"x\"\n";
  StartAgent("GUEST");
  WriteModule("TESTMOD");
  agent_.WriteFile("SYS/SYSTEM/START.qbt", "LOAD TESTMOD\n");
  const std::uint32_t h = Connect();
  const std::uint16_t one = 1;
  std::uint8_t result = 0;
  EXPECT_EQ(CvLoadModule(h, "TESTMOD "), kCvErrNotConsoleOperator);
  EXPECT_EQ(CvUnloadModule(h, "TESTMOD"), kCvErrNotConsoleOperator);
  EXPECT_EQ(CvRunCommandFile(h, "START"), kCvErrNotConsoleOperator);
  EXPECT_EQ(CvSetServerParameterText(h, "Banner", "y"), kCvErrNotConsoleOperator);
  EXPECT_EQ(CvSetServerParameterNumber(h, "Banner", 1), kCvErrNotConsoleOperator);
  EXPECT_EQ(CvSendBroadcastMessage(h, "hi", 1, &one, &result), kCvErrNotConsoleOperator);
  EXPECT_EQ(CvClearConnection(h, 1), kCvErrNotConsoleOperator);
  CvServerParameter rec{};
  EXPECT_EQ(CvScanServerParameter(h, 0, &rec), kCvOk);
  EXPECT_STREQ(rec.nameValue + 7, "x");
  char objectName[kCvObjectNameSize] = {};
  EXPECT_EQ(CvGetConnectionInformation(h, 1, objectName, nullptr, nullptr, nullptr), kCvOk);
  EXPECT_STREQ(objectName, "GUEST");
}

TEST_F(AgentTest, PathTricksNeverReachTheFileSystem) {
  StartAgent();
  agent_.WriteFile("SYS/EVIL.qbt", "LOAD X\n");
  const std::uint32_t h = Connect();
  for (const char* name : {"../EVIL", "SYSTEM/../EVIL", "..", "/etc/passwd", "a\\b", "bad\x01name"}) {
    EXPECT_EQ(CvRunCommandFile(h, name), kCvErrInvalidFileName) << name;
    EXPECT_EQ(CvUnloadModule(h, name), kCvErrInvalidFileName) << name;
    EXPECT_EQ(CvLoadModule(h, (std::string(name) + " args").c_str()), kCvErrInvalidFileName) << name;
  }
  EXPECT_EQ(CvRunCommandFile(h, ""), kCvErrInvalidFileName);
}

TEST_F(AgentTest, ModuleLoadedReadyAndUnloadedEveryWay) {
  StartAgent();
  WriteModule("TESTMOD");
  agent_.WriteFile("SYS/SYSTEM/DEAD.qrx", "exec = [\"" CVTESTMODULE_PATH "\", \"--exit\", \"3\"]\n"
                                          "ready = { alive_ms = 300 }\n");
  const std::uint32_t h = Connect();
  EXPECT_EQ(CvLoadModule(h, "NOSUCH "), kCvErrModuleFailed);
  EXPECT_EQ(CvLoadModule(h, "DEAD "), kCvErrModuleFailed) << "exits before it is ready";
  EXPECT_EQ(CvUnloadModule(h, "TESTMOD"), kCvErrModuleFailed) << "not loaded";

  ASSERT_EQ(CvLoadModule(h, "testmod "), kCvOk) << agent_.Log();
  const pid_t first = ModulePid("TESTMOD");
  ASSERT_GT(first, 0);
  EXPECT_EQ(::kill(first, 0), 0) << "running once ready";
  EXPECT_EQ(CvLoadModule(h, "TESTMOD "), kCvErrModuleFailed) << "not loaded twice";
  EXPECT_EQ(CvUnloadModule(h, "TESTMOD"), kCvOk);
  EXPECT_NE(::kill(first, 0), 0) << "gone after unload";

  ASSERT_EQ(CvLoadModule(h, "TESTMOD "), kCvOk);
  const pid_t second = ModulePid("TESTMOD");
  EXPECT_EQ(CvUnloadModule(h, "testmod shutdown"), kCvOk) << "by its console command";
  EXPECT_NE(::kill(second, 0), 0);

  ASSERT_EQ(CvLoadModule(h, "TESTMOD "), kCvOk);
  const pid_t third = ModulePid("TESTMOD");
  ASSERT_EQ(::kill(third, SIGKILL), 0);
  // The agent reaps it on its own and marks it unloaded: loading works again.
  std::uint32_t code = kCvErrModuleFailed;
  for (int i = 0; i < 50 && code != kCvOk; ++i) {
    std::this_thread::sleep_for(50ms);
    code = CvLoadModule(h, "TESTMOD ");
  }
  EXPECT_EQ(code, kCvOk) << agent_.Log();
  EXPECT_NE(ModulePid("TESTMOD"), third);

  // Stopping the agent stops its modules.
  const pid_t last = ModulePid("TESTMOD");
  agent_.Stop();
  EXPECT_TRUE(WIFEXITED(agent_.exitStatus()) && WEXITSTATUS(agent_.exitStatus()) == 0) << agent_.Log();
  EXPECT_NE(::kill(last, 0), 0) << "module stopped with the agent";
}

// The module is ready once the test opens its gate, which the test does only
// after another client's request was answered: that answer cannot have waited
// for the load.
TEST_F(AgentTest, SlowModuleOperationsLeaveOtherClientsAnswered) {
  StartAgent();
  agent_.WriteFile("SYS/SYSTEM/SLOW.qbt", "LOAD SLOW\n");
  const std::uint32_t h = Connect();
  cvtest::RawClient guest(agent_.port());
  ASSERT_EQ(guest.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u));
  cvtest::RawClient admin(agent_.port());
  ASSERT_EQ(admin.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));

  // A load and a ping sent together on one connection: the ping's reply comes
  // second, after the load's.
  std::vector<std::uint16_t> replyTypes;
  auto loadThenPing = [&]() -> std::uint32_t {
    cvwire::Writer load(cvwire::Type(cvwire::Msg::LoadModule), admin.NextId());
    load.Str("SLOW");
    cvwire::Writer ping(cvwire::Type(cvwire::Msg::Ping), admin.NextId());
    std::vector<std::uint8_t> bytes = load.Frame();
    bytes.insert(bytes.end(), ping.Frame().begin(), ping.Frame().end());
    if (!admin.SendBytes(bytes)) return kCvErrNoAnswer;
    std::uint32_t loadCode = kCvErrNoAnswer;
    for (int i = 0; i < 2; ++i) {
      const auto reply = admin.Receive(20s);
      if (!reply) break;
      cvwire::Reader r(*reply);
      replyTypes.push_back(r.type());
      if (r.type() == cvwire::ReplyType(cvwire::Msg::LoadModule)) loadCode = r.U32();
    }
    return loadCode;
  };
  struct Case {
    const char* what;
    std::function<std::uint32_t()> run;
  };
  const Case cases[] = {
      {"CvLoadModule", [&] { return CvLoadModule(h, "SLOW "); }},
      {"CvRunCommandFile", [&] { return CvRunCommandFile(h, "SLOW"); }},
      {"load and ping on one connection", loadThenPing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cvtest::PortGate gate;
    agent_.WriteFile("SYS/SYSTEM/SLOW.qrx", "exec = [\"" CVTESTMODULE_PATH "\", \"--pidfile\", \"{volume}/SLOW.pid\"]\n"
                                            "ready = { tcp = \"127.0.0.1:" + std::to_string(gate.port()) +
                                                "\", timeout_ms = 20000 }\nstop_timeout_ms = 2000\n");
    std::filesystem::remove(agent_.volume() / "SLOW.pid");
    std::atomic<bool> finished{false};
    std::uint32_t code = kCvErrNoAnswer;
    std::thread operation([&] {
      code = c.run();
      finished = true;
    });
    // Once the module runs, the agent waits for its readiness until the gate opens.
    pid_t pid = 0;
    for (int i = 0; i < 1000 && pid <= 0 && !finished; ++i) {
      std::this_thread::sleep_for(10ms);
      pid = ModulePid("SLOW");
    }
    cvwire::Writer info(cvwire::Type(cvwire::Msg::ServerInfo), guest.NextId());
    const bool sent = guest.SendBytes(info.Frame());
    const auto reply = guest.Receive(5s);
    const bool answeredFirst = !finished;
    gate.Open();
    operation.join();

    EXPECT_GT(pid, 0) << agent_.Log();
    EXPECT_TRUE(sent);
    ASSERT_TRUE(reply) << "no answer while a module was loading";
    cvwire::Reader r(*reply);
    EXPECT_EQ(r.type(), cvwire::ReplyType(cvwire::Msg::ServerInfo));
    EXPECT_EQ(r.U32(), kCvOk);
    EXPECT_EQ(r.Str(), "SRV1");
    EXPECT_TRUE(answeredFirst) << "the other client was answered only after the load";
    EXPECT_EQ(code, kCvOk) << agent_.Log();
    EXPECT_EQ(CvUnloadModule(h, "SLOW"), kCvOk);
    EXPECT_NE(::kill(pid, 0), 0) << "unloaded";
  }
  EXPECT_EQ(replyTypes, (std::vector<std::uint16_t>{cvwire::ReplyType(cvwire::Msg::LoadModule),
                                                    cvwire::ReplyType(cvwire::Msg::Ping)}))
      << "one connection's replies keep the order of its requests";
}

TEST_F(AgentTest, StoppingTheAgentEndsALoadThatWaits) {
  StartAgent();
  cvtest::PortGate gate;  // never opened: the module is never ready
  agent_.WriteFile("SYS/SYSTEM/SLOW.qrx", "exec = [\"" CVTESTMODULE_PATH "\", \"--pidfile\", \"{volume}/SLOW.pid\"]\n"
                                          "ready = { tcp = \"127.0.0.1:" + std::to_string(gate.port()) +
                                              "\", timeout_ms = 60000 }\n");
  const std::uint32_t h = Connect();
  std::atomic<bool> finished{false};
  std::uint32_t code = kCvOk;
  std::thread load([&] {
    code = CvLoadModule(h, "SLOW ");
    finished = true;
  });
  pid_t pid = 0;
  for (int i = 0; i < 1000 && pid <= 0 && !finished; ++i) {
    std::this_thread::sleep_for(10ms);
    pid = ModulePid("SLOW");
  }
  agent_.Stop();  // SIGTERM; SIGKILL only after 10 s
  load.join();
  ASSERT_GT(pid, 0) << agent_.Log();
  EXPECT_TRUE(WIFEXITED(agent_.exitStatus()) && WEXITSTATUS(agent_.exitStatus()) == 0)
      << "stopped on SIGTERM without waiting out the readiness timeout\n" << agent_.Log();
  EXPECT_NE(::kill(pid, 0), 0) << "the module that was loading is gone";
  EXPECT_EQ(code, kCvErrNoAnswer) << "the connection dropped";
}

TEST_F(AgentTest, CommandFileStopsAtItsFirstFailingLine) {
  agent_.extra = "[[parameter]]\nname = \"Buffers\"\ntype = \"number\"\nvalue = 1\n";
  StartAgent();
  WriteModule("TESTMOD");
  agent_.WriteFile("SYS/SYSTEM/GOOD.qbt", "# start\nREM the module\n\nSET Buffers = 42\nLOAD TESTMOD\n");
  agent_.WriteFile("SYS/SYSTEM/BAD.qbt", "UNLOAD TESTMOD\nSET Buffers = seven\nSET Buffers = 99\n");
  const std::uint32_t h = Connect();
  EXPECT_EQ(CvRunCommandFile(h, "good"), kCvOk) << agent_.Log();
  EXPECT_GT(ModulePid("TESTMOD"), 0);
  EXPECT_EQ(::kill(ModulePid("TESTMOD"), 0), 0);
  EXPECT_EQ(CvRunCommandFile(h, "BAD.qbt"), kCvErrCommandFileFailed);
  EXPECT_EQ(CvRunCommandFile(h, "MISSING"), kCvErrCommandFileFailed);
  CvServerParameter rec{};
  ASSERT_EQ(CvScanServerParameter(h, 0, &rec), kCvOk);
  std::int32_t value = 0;
  std::memcpy(&value, rec.nameValue + 8, 4);
  EXPECT_EQ(value, 42) << "the line after the failing one did not run";
  EXPECT_EQ(CvUnloadModule(h, "TESTMOD"), kCvErrModuleFailed) << "the first line of BAD ran";
}

TEST_F(AgentTest, ConnectionsBroadcastsAndClearing) {
  agent_.serverExtra = "message_queue = 2\n";
  StartAgent();
  const std::uint32_t h = Connect();
  cvtest::RawClient other(agent_.port());
  ASSERT_EQ(other.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u));

  char objectName[kCvObjectNameSize] = {};
  std::uint16_t type = 0;
  std::uint32_t id = 0;
  CvLoginTime t{};
  ASSERT_EQ(CvGetConnectionInformation(h, 1, objectName, &type, &id, &t), kCvOk);
  EXPECT_STREQ(objectName, "ADMIN");
  EXPECT_NE(id, 0u);
  EXPECT_GE(t.year, 120);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  CvConnectionAddress addr{};
  ASSERT_EQ(CvGetConnectionAddress(h, 1, &addr), kCvOk);
  EXPECT_EQ(addr.type, kCvAddressTypeIpv4);
  EXPECT_EQ(addr.address[0], 127);
  EXPECT_EQ(addr.address[3], 1);
  ASSERT_EQ(CvGetConnectionInformation(h, 2, objectName, &type, &id, &t), kCvOk);
  EXPECT_STREQ(objectName, "GUEST");
  EXPECT_EQ(CvGetConnectionInformation(h, 3, objectName, &type, &id, &t), kCvErrBadConnectionNumber);
  CvConnectionAddress untouched{};
  untouched.type = 77;
  EXPECT_EQ(CvGetConnectionAddress(h, 3, &untouched), kCvErrBadConnectionNumber);
  EXPECT_EQ(untouched.type, 77) << "a failed call leaves the record";

  const std::uint16_t me = 1;
  std::uint8_t result = 9;
  EXPECT_EQ(CvSendBroadcastMessage(h, "first", 1, &me, &result), kCvOk);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(CvSendBroadcastMessage(h, "second", 1, &me, &result), kCvOk);
  EXPECT_EQ(CvSendBroadcastMessage(h, "third", 1, &me, &result), kCvErrMessageQueueFull);
  const std::uint16_t both[2] = {3, 2};
  std::uint8_t results[2] = {};
  EXPECT_EQ(CvSendBroadcastMessage(h, "x", 2, both, results), kCvErrBadConnectionNumber);
  EXPECT_NE(results[0], 0);
  EXPECT_EQ(results[1], 0) << "the occupied slot still got it";
  char message[kCvMessageSize] = {};
  EXPECT_EQ(CvGetBroadcastMessage(h, message), kCvOk);
  EXPECT_STREQ(message, "first");
  EXPECT_EQ(CvGetBroadcastMessage(h, message), kCvOk);
  EXPECT_STREQ(message, "second");
  EXPECT_EQ(CvGetBroadcastMessage(h, message), kCvErrNoMoreEntries);

  EXPECT_EQ(CvClearConnection(h, 2), kCvOk);
  EXPECT_TRUE(other.ClosedByPeer(2s)) << "clearing closes the connection";
  EXPECT_EQ(CvGetConnectionInformation(h, 2, objectName, &type, &id, &t), kCvErrBadConnectionNumber);
  EXPECT_EQ(CvClearConnection(h, 2), kCvErrBadConnectionNumber);
}

TEST_F(AgentTest, ServerScanAndPrimaryConnection) {
  StartAgent();
  std::uint32_t h = 0;
  ASSERT_EQ(CvGetPrimaryConnection(&h), kCvOk) << "opens the first configured server";
  handles_.push_back(h);
  std::uint32_t d = 0;
  ASSERT_EQ(CvGetDefaultConnection(&d), kCvOk);
  EXPECT_EQ(d, h);
  std::vector<std::string> names;
  std::uint32_t pos = kCvIterationStart;
  char name[kCvScanNameSize];
  std::uint16_t type = 0;
  while (CvScanObject(h, "*", kCvObjectTypeServer, &pos, name, &type, nullptr, nullptr, nullptr) == kCvOk) {
    names.push_back(name);
    EXPECT_EQ(type, kCvObjectTypeServer);
    ASSERT_LT(names.size(), 10u);
  }
  EXPECT_EQ(pos, kCvIterationStart);
  EXPECT_EQ(names, (std::vector<std::string>{"SRV1", "SRV2", "SRV3"}));
  pos = kCvIterationStart;
  ASSERT_EQ(CvScanObject(h, "*3", kCvObjectTypeServer, &pos, name, nullptr, nullptr, nullptr, nullptr), kCvOk);
  EXPECT_STREQ(name, "SRV3");
  EXPECT_NE(CvScanObject(h, "*3", kCvObjectTypeServer, &pos, name, nullptr, nullptr, nullptr, nullptr), kCvOk);
}

// Users fill every slot but the operators' reserve; an operator still gets
// in, and after that nobody.
TEST_F(AgentTest, AllSlotsTakenThenOneMoreIsRefused) {
  StartAgent();  // 250 slots, one kept for operators
  std::vector<cvtest::RawClient> clients;
  for (int i = 0; i < 249; ++i) {
    clients.emplace_back(agent_.port());
    ASSERT_EQ(clients.back().Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u)) << i;
  }
  cvtest::RawClient user(agent_.port());
  EXPECT_EQ(user.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(kCvErrNoFreeSlot))
      << "the reserve is not a user's";
  EXPECT_THAT(agent_.Log(), ::testing::HasSubstr("the free connection slots are kept for operators"));

  std::uint32_t h = 0;
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &h, nullptr), kCvOk) << "an operator takes the reserve";
  handles_.push_back(h);
  std::uint16_t inUse = 0;
  EXPECT_EQ(CvGetServerInformation(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &inUse), kCvOk);
  EXPECT_EQ(inUse, 250);
  cvtest::RawClient another(agent_.port());
  EXPECT_EQ(another.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvErrNoFreeSlot))
      << "the 251st login";

  clients.erase(clients.begin() + 9);  // frees slot 10 once the agent sees the close
  std::optional<std::uint32_t> code;
  for (int i = 0; i < 100 && code != std::optional<std::uint32_t>(0u); ++i) {
    std::this_thread::sleep_for(20ms);
    cvtest::RawClient next(agent_.port());
    code = next.Login("GUEST", "guest-secret");
    if (code == std::optional<std::uint32_t>(0u)) clients.push_back(std::move(next));
  }
  ASSERT_EQ(code, std::optional<std::uint32_t>(0u)) << "a freed slot is taken again";
  char objectName[kCvObjectNameSize] = {};
  EXPECT_EQ(CvGetConnectionInformation(h, 10, objectName, nullptr, nullptr, nullptr), kCvOk);
  EXPECT_STREQ(objectName, "GUEST") << "the freed slot, taken again";
}

TEST_F(AgentTest, BadFramesAndIdleConnectionsAreClosed) {
  agent_.serverExtra = "idle_timeout_ms = 300\n";
  StartAgent();
  {
    cvtest::RawClient c(agent_.port());
    EXPECT_TRUE(c.SendBytes({0x01, 0x00, 0x01, 0x00}));  // 65537 bytes announced
    EXPECT_TRUE(c.ClosedByPeer(2s)) << "oversized frame";
  }
  {
    cvtest::RawClient c(agent_.port());
    cvwire::Writer w(cvwire::Type(cvwire::Msg::Hello), 1);
    w.U32(1).U16(50);  // a string longer than the frame
    EXPECT_TRUE(c.SendBytes(w.Frame()));
    EXPECT_TRUE(c.ClosedByPeer(2s)) << "malformed fields";
  }
  {
    cvtest::RawClient c(agent_.port());
    cvwire::Writer w(cvwire::Type(cvwire::Msg::ServerInfo), 1);
    EXPECT_TRUE(c.SendBytes(w.Frame()));
    EXPECT_TRUE(c.ClosedByPeer(2s)) << "a request before the login";
  }
  {
    cvtest::RawClient c(agent_.port());
    ASSERT_EQ(c.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));
    cvwire::Writer w(0x0401, 77);  // a directory request this agent does not serve
    EXPECT_TRUE(c.SendBytes(w.Frame()));
    auto reply = c.Receive();
    ASSERT_TRUE(reply);
    cvwire::Reader r(*reply);
    EXPECT_EQ(r.type(), 0x8401);
    EXPECT_EQ(r.requestId(), 77u);
    EXPECT_EQ(r.U32(), kCvErrInvalidArgument);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.ClosedByPeer(3s)) << "idle past the timeout";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  }
}

TEST(ClientLocal, LocaleTablesAndServicesNotYetServed) {
  CvLocaleInfo info{};
  ASSERT_EQ(CvGetLocaleInfo(&info), kCvOk);
  EXPECT_EQ(CvLoadCharTables(info.country, info.codePage), kCvOk);
  EXPECT_EQ(CvLoadCharTables(info.country, info.codePage), kCvOk);
  EXPECT_EQ(CvFreeCharTables(), kCvOk);
  EXPECT_EQ(CvFreeCharTables(), kCvOk);
  EXPECT_NE(CvFreeCharTables(), kCvOk) << "more frees than loads";
  EXPECT_EQ(CvClientStartup(nullptr, nullptr), kCvOk);
  // Contexts are made without a directory; requests fail without a tree.
  ::setenv("CORVANE_CLIENT", "/nonexistent/client.ini", 1);
  const std::uint32_t ctx = CvNewDirContext();
  ASSERT_NE(ctx, 0u);
  char dn[kCvDirNameSize];
  CvObjectInfo objectInfo{};
  EXPECT_EQ(CvReadObjectInfo(ctx, "SRV1.SALES.ACME", dn, &objectInfo), kCvErrDirPrimaryConnection);
  EXPECT_EQ(CvFreeContext(ctx), kCvOk);
  std::uint32_t service = 0;
  EXPECT_EQ(CvGetServiceInfoByName(0, "X", &service, nullptr, nullptr, nullptr, nullptr), kCvErrInvalidConnection);
}

}  // namespace
