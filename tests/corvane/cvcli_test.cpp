// cvcli, the real program, against a real cvserverd on 127.0.0.1: what each
// command prints, and a failure's exit status, code and message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "corvane/client/cvdefs.h"
#include "corvane/client/cverrors.h"
#include "support/run.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::Quote;

class CvcliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    agent_.extra =
        "[[parameter]]\nname = \"Maximum Packet Receive Buffers\"\ntype = \"number\"\nvalue = 500\n"
        "[[parameter]]\nname = \"Server Banner\"\ntype = \"text\"\nvalue = \"Hello\"\n";
    agent_.WriteFile("SYS/SYSTEM/TESTMOD.qrx",
                     "exec = [\"" CVTESTMODULE_PATH "\", \"--pidfile\", \"{volume}/TESTMOD.pid\"]\n"
                     "ready = { alive_ms = 100 }\nstop_timeout_ms = 2000\n"
                     "[commands]\n\"testmod shutdown\" = \"unload\"\n");
    agent_.WriteFile("SYS/SYSTEM/BROKEN.qrx",
                     "exec = [\"" CVTESTMODULE_PATH "\"]\nready = { alive_ms = 100 }\n"
                     "preflight = [\"" CVTESTMODULE_PATH "\", \"--print\", "
                     "\"AH00526: Syntax error on line 22 of httpd.conf:\", \"--print\", "
                     "\"Invalid command 'Listn', perhaps misspelled\", \"--exit\", \"1\"]\n");
    agent_.WriteFile("SYS/SYSTEM/GOOD.qbt", "REM start the test module\nLOAD TESTMOD\n");
    ASSERT_TRUE(agent_.Start()) << agent_.Log();
    agent_.WriteClientIni("ADMIN");
    // The first contact records the server in known_servers and says so on
    // standard error; the tests below compare whole outputs.
    const auto first = Cli("SRV1 info");
    ASSERT_EQ(first.status, 0) << first.output;
    ASSERT_THAT(first.output, HasSubstr("corvane client: first contact with server SRV1"));
  }

  // cvcli with args (quoted by the caller where needed); output holds
  // standard output and standard error.
  testsupport::RunResult Cli(const std::string& args) { return testsupport::RunShell(Quote(CVCLI_PATH) + " " + args); }

  pid_t ModulePid() {
    std::ifstream in(agent_.volume() / "TESTMOD.pid");
    pid_t pid = 0;
    in >> pid;
    return pid;
  }

  // A raw request with a u32 field; the reply's code, or nothing.
  static std::optional<std::uint32_t> RawCode(cvtest::RawClient& c, cvwire::Msg m, std::uint32_t field) {
    cvwire::Writer w(cvwire::Type(m), c.NextId());
    w.U32(field);
    if (!c.SendBytes(w.Frame())) return std::nullopt;
    const auto reply = c.Receive();
    if (!reply) return std::nullopt;
    cvwire::Reader r(*reply);
    return r.U32();
  }

  cvtest::AgentProcess agent_;
};

TEST_F(CvcliTest, CommandsPrintTheirResults) {
  enum class Module { Any, Running, Stopped };
  struct Step {
    std::string args;
    std::string output;
    Module module = Module::Any;
  };
  const std::vector<Step> steps = {
      {"SRV1 info",
       "name: SRV1\nversion: 6.5.2\ndescription: Web server of the sales office\ncompany: Corvane Software\n"
       "connections: 1 of 250\n"},
      {"SRV1 params", "Maximum Packet Receive Buffers = 500\nServer Banner = \"Hello\"\n"},
      {"SRV1 param 'server banner'", "Server Banner = \"Hello\"\n"},
      {"SRV1 param 'Maximum Packet Receive Buffers' 800", "Maximum Packet Receive Buffers = 800\n"},
      {"SRV1 param 'Server Banner' 'Welcome here'", "Server Banner = \"Welcome here\"\n"},
      {"SRV1 param 'Server Banner' 42", "Server Banner = \"42\"\n"},  // a text parameter keeps digits as text
      {"SRV1 params", "Maximum Packet Receive Buffers = 800\nServer Banner = \"42\"\n"},
      {"SRV1 load testmod", "loaded\n", Module::Running},
      {"SRV1 unload TESTMOD", "unloaded\n", Module::Stopped},
      {"SRV1 load TESTMOD", "loaded\n", Module::Running},
      {"SRV1 unload testmod shutdown", "unloaded\n", Module::Stopped},
      {"SRV1 run good", "done\n", Module::Running},
      {"SRV1 unload testmod", "unloaded\n", Module::Stopped},
      {"SRV1 messages", ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args);
    const auto result = Cli(step.args);
    EXPECT_EQ(result.status, 0) << result.output << agent_.Log();
    EXPECT_EQ(result.output, step.output);
    if (step.module == Module::Any) continue;
    const pid_t pid = ModulePid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid, 0) == 0, step.module == Module::Running);
  }
}

TEST_F(CvcliTest, ConnectionsSendAndClear) {
  cvtest::RawClient guest(agent_.port());
  ASSERT_EQ(guest.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u));  // slot 1
  auto lines = [](const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  };
  auto slotLine = [](int slot, const std::string& user) {
    return std::regex("    " + std::to_string(slot) + "  " + user +
                      " +[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  127\\.0\\.0\\.1");
  };

  auto result = Cli("SRV1 connections");
  EXPECT_EQ(result.status, 0) << result.output;
  auto seen = lines(result.output);
  ASSERT_EQ(seen.size(), 2u) << result.output;
  EXPECT_TRUE(std::regex_match(seen[0], slotLine(1, "GUEST"))) << seen[0];
  EXPECT_TRUE(std::regex_match(seen[1], slotLine(2, "ADMIN"))) << seen[1] << " (cvcli's own connection)";

  result = Cli("SRV1 send 1 hello  there");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output, "sent\n");
  cvwire::Writer read(cvwire::Type(cvwire::Msg::ReadMessages), guest.NextId());
  ASSERT_TRUE(guest.SendBytes(read.Frame()));
  const auto reply = guest.Receive();
  ASSERT_TRUE(reply);
  cvwire::Reader r(*reply);
  EXPECT_EQ(r.U32(), kCvOk);
  EXPECT_EQ(r.U16(), 1);
  EXPECT_EQ(r.Str(), "hello there") << "the words after CONN, joined by single blanks";

  result = Cli("SRV1 clear 1");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output, "cleared\n");
  EXPECT_TRUE(guest.ClosedByPeer(2s));

  result = Cli("SRV1 connections");
  EXPECT_EQ(result.status, 0) << result.output;
  seen = lines(result.output);
  ASSERT_EQ(seen.size(), 1u) << result.output;
  EXPECT_TRUE(std::regex_match(seen[0], slotLine(1, "ADMIN"))) << seen[0] << " (the freed slot taken again)";
}

// A message reaches cvcli only while it runs: it is sent once cvcli holds its
// slot, and "messages --wait" prints it.
TEST_F(CvcliTest, MessagesWaitsForOneSentWhileItRuns) {
  cvtest::RawClient admin(agent_.port());
  ASSERT_EQ(admin.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));  // slot 1
  std::atomic<bool> finished{false};
  testsupport::RunResult result;
  std::thread cli([&] {
    result = Cli("SRV1 messages --wait 20000");
    finished = true;
  });
  std::optional<std::uint32_t> slot2;
  for (int i = 0; i < 1000 && slot2 != kCvOk && !finished; ++i) {
    std::this_thread::sleep_for(10ms);
    slot2 = RawCode(admin, cvwire::Msg::ConnectionInfo, 2);
  }
  cvwire::Writer send(cvwire::Type(cvwire::Msg::Broadcast), admin.NextId());
  send.Str("backup at noon").U16(1).U16(2);
  const bool sent = admin.SendBytes(send.Frame());
  const auto reply = admin.Receive();
  cli.join();
  EXPECT_EQ(slot2, std::optional<std::uint32_t>(kCvOk)) << "cvcli logged in on slot 2";
  ASSERT_TRUE(sent && reply);
  cvwire::Reader r(*reply);
  EXPECT_EQ(r.U32(), kCvOk);
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output, "backup at noon\n");
}

// A server whose certificate no longer matches its record: refused, and
// cvcli says which server, both fingerprints and which file to edit.
TEST_F(CvcliTest, AChangedServerIdentityIsExplained) {
  const std::string wrong = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
  std::ofstream(agent_.knownServers(), std::ios::trunc) << "SRV1 127.0.0.1:1 " << wrong << "\n";
  const auto result = Cli("SRV1 info");
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.output, HasSubstr("cvcli: SRV1: 34821 (0x8805) Attempt to receive from the selected transport failed.\n"));
  EXPECT_THAT(result.output, HasSubstr("the identity of server SRV1 (127.0.0.1:" + std::to_string(agent_.port()) +
                                       ") has changed"));
  EXPECT_THAT(result.output, HasSubstr(wrong));
  EXPECT_THAT(result.output, HasSubstr(agent_.Fingerprint()));
  EXPECT_THAT(result.output, HasSubstr("delete the line of SRV1 from " + agent_.knownServers().string()));
  EXPECT_EQ(agent_.Log().find("logged in"), agent_.Log().rfind("logged in")) << "only SetUp's run logged in";
}

TEST_F(CvcliTest, FailuresExitWithTheCodeAndTheControlsMessage) {
  struct Case {
    std::string user;
    std::string args;
    int status;
    std::string output;  // all of it; for status 2 its beginning
  };
  const std::vector<Case> cases = {
      {"ADMIN", "SRV1 load NOSUCH", 1,
       "cvcli: load: 514 (0x202) Unable to load or unload specified module\n"
       "cvcli: reason: no NOSUCH.qrx in the search path\n"},
      {"ADMIN", "SRV1 load broken", 1,
       "cvcli: load: 514 (0x202) Unable to load or unload specified module\n"
       "cvcli: reason: preflight failed (exit 1)\n"
       "cvcli: output: AH00526: Syntax error on line 22 of httpd.conf:\n"
       "cvcli: output: Invalid command 'Listn', perhaps misspelled\n"},
      {"ADMIN", "SRV1 unload TESTMOD", 1, "cvcli: unload: 514 (0x202) Unable to load or unload specified module\n"},
      {"ADMIN", "SRV1 run MISSING", 1, "cvcli: run: 519 (0x207) Unable to execute QBT file\n"},
      {"ADMIN", "SRV1 run ../SYSTEM/GOOD", 1, "cvcli: run: 35219 (0x8993) Invalid filename\n"},
      {"ADMIN", "SRV1 param Nope", 1, "cvcli: Nope: 191 (0xBF) Invalid set command name\n"},
      {"ADMIN", "SRV1 param 'Maximum Packet Receive Buffers' many", 1,
       "cvcli: param: 140 (0x8C) Invalid type flag set\n"},
      {"ADMIN", "SRV1 send 99 hello", 1, "cvcli: send: 35325 (0x89FD) Bad station  number.\n"},
      {"ADMIN", "SRV1 clear 99", 1, "cvcli: clear: 35325 (0x89FD) Bad station  number.\n"},
      {"ADMIN", "NOSUCH info", 1, "cvcli: NOSUCH: 34831 (0x880F) No licensed connection to the server\n"},
      {"GUEST", "SRV1 load TESTMOD", 1, "cvcli: load: 35270 (0x89C6) The user does have console privileges.\n"},
      {"GUEST", "SRV1 param 'Server Banner' x", 1,
       "cvcli: param: 35270 (0x89C6) The user does have console privileges.\n"},
      {"NOBODY", "SRV1 info", 1, "cvcli: SRV1: 35327 (0x89FF) Failure\n"},
      {"ADMIN", "SRV1 bogus", 2, "usage: cvcli SERVER "},
      {"ADMIN", "SRV1", 2, "usage: cvcli SERVER "},
      {"ADMIN", "SRV1 send one hello", 2, "usage: cvcli SERVER "},
      {"ADMIN", "SRV1 messages --wait soon", 2, "usage: cvcli SERVER "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user + ": " + c.args);
    agent_.WriteClientIni(c.user);
    const auto result = Cli(c.args);
    EXPECT_EQ(result.status, c.status) << result.output;
    if (c.status == 2) {
      EXPECT_THAT(result.output, StartsWith(c.output));
    } else {
      EXPECT_EQ(result.output, c.output);
    }
  }
  EXPECT_EQ(ModulePid(), 0) << "nothing was loaded";

  const auto help = Cli("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.output, StartsWith("usage: cvcli SERVER "));
  EXPECT_THAT(help.output, HasSubstr("Broadcast messages queue per connection"));
}

}  // namespace
