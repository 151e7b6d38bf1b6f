#include "corvane/server/modules/supervisor.h"

#include "corvane/client/cverrors.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "corvane/server/modules/commandfile.h"
#include "corvane/server/modules/faillog.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const std::string kProgram = CVTESTMODULE_PATH;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t length = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool PortOpen(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return open;
}

// A process is gone when it no longer exists or is a zombie left to init.
bool ProcessGone(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() &&
         (text[close + 2] == 'Z' || text[close + 2] == 'X');
}

bool EventuallyGone(pid_t pid) {
  const auto start = Clock::now();
  while (MsSince(start) < 2000) {
    if (ProcessGone(pid)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const auto& item : items) out += (out.size() > 1 ? ", " : "") + Quote(item);
  return out + "]";
}

// The test program with arguments, as a TOML array.
std::string Exec(std::vector<std::string> args) {
  args.insert(args.begin(), kProgram);
  return "exec = " + Array(args) + "\n";
}

std::string TcpReady(std::uint16_t port, int timeoutMs) {
  return "ready = { tcp = \"127.0.0.1:" + std::to_string(port) + "\", timeout_ms = " + std::to_string(timeoutMs) +
         " }\n";
}

std::string AliveReady(int ms) { return "ready = { alive_ms = " + std::to_string(ms) + " }\n"; }

class ModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/cvmodulesXXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    volume_ = templ;
    fs::create_directories(volume_ / "SYSTEM");
    fs::create_directories(volume_ / "ETC");
    previousLogger_ = spdlog::default_logger();
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log_);
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));
    cvserver::SupervisorConfig config;
    config.volume = volume_;
    config.searchPath = {"SYSTEM", "ETC"};
    config.defaultReadyTimeout = 1000ms;
    config.defaultStopTimeout = 1000ms;
    supervisor_ = std::make_unique<cvserver::ModuleSupervisor>(config);
  }
  void TearDown() override {
    supervisor_.reset();
    spdlog::set_default_logger(previousLogger_);
    std::error_code ec;
    fs::remove_all(volume_, ec);
  }

  void Write(const std::string& relative, const std::string& text) {
    std::ofstream out(volume_ / relative, std::ios::trunc | std::ios::binary);
    out << text;
  }
  std::string Read(const std::string& relative) {
    std::ifstream in(volume_ / relative);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string V(const std::string& relative) { return (volume_ / relative).string(); }
  // Waits briefly for the program to write its pid file.
  pid_t Pid(const std::string& relative) {
    const auto start = Clock::now();
    while (MsSince(start) < 2000) {
      const std::string text = Read(relative);
      if (!text.empty()) return static_cast<pid_t>(std::stol(text));
      std::this_thread::sleep_for(5ms);
    }
    ADD_FAILURE() << "no pid in " << relative;
    return -1;
  }
  std::string Log() { return log_.str(); }

  // A module that listens on a fresh port; returns the port.
  std::uint16_t WriteListener(const std::string& name, const std::string& extra = "") {
    const auto port = FreePort();
    Write("SYSTEM/" + name + ".qrx",
          Exec({"--listen", std::to_string(port), "--pidfile", "{volume}/" + name + ".pid"}) + TcpReady(port, 3000) +
              "stop_timeout_ms = 2000\n" + extra);
    return port;
  }

  fs::path volume_;
  std::ostringstream log_;
  std::shared_ptr<spdlog::logger> previousLogger_;
  std::unique_ptr<cvserver::ModuleSupervisor> supervisor_;
};

TEST_F(ModulesTest, TcpReadinessWaitsForTheListenerThenUnloadByNameStopsIt) {
  const auto port = FreePort();
  Write("SYSTEM/WEB.qrx", "description = \"Test web\"\n" +
                              Exec({"--listen-after", "150", "--listen", std::to_string(port), "--pidfile",
                                    "{volume}/web.pid"}) +
                              TcpReady(port, 3000) + "stop_timeout_ms = 2000\n");
  const auto start = Clock::now();
  ASSERT_EQ(supervisor_->Load("web"), 0u) << Log();
  EXPECT_GE(MsSince(start), 150);
  EXPECT_TRUE(PortOpen(port));
  EXPECT_THAT(supervisor_->Loaded(), ElementsAre("WEB"));
  const pid_t pid = Pid("web.pid");
  EXPECT_FALSE(ProcessGone(pid));

  EXPECT_EQ(supervisor_->Unload("WEB"), 0u);
  EXPECT_TRUE(ProcessGone(pid));
  EXPECT_FALSE(PortOpen(port));
  EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
  EXPECT_EQ(supervisor_->Unload("WEB"), kCvErrModuleFailed);
}

TEST_F(ModulesTest, TcpReadinessTimesOutWhenNothingListens) {
  const auto port = FreePort();
  Write("SYSTEM/MUTE.qrx", Exec({"--pidfile", "{volume}/mute.pid"}) + TcpReady(port, 200));
  const auto start = Clock::now();
  EXPECT_EQ(supervisor_->Load("MUTE"), kCvErrModuleFailed);
  EXPECT_GE(MsSince(start), 200);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_TRUE(ProcessGone(Pid("mute.pid")));
  EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
  EXPECT_THAT(Log(), HasSubstr("within 200 ms"));
}

TEST_F(ModulesTest, AliveReadinessWaitsThatLong) {
  Write("SYSTEM/SLEEPER.qrx", Exec({"--pidfile", "{volume}/s.pid"}) + AliveReady(120));
  const auto start = Clock::now();
  ASSERT_EQ(supervisor_->Load("sleeper"), 0u) << Log();
  EXPECT_GE(MsSince(start), 120);
  EXPECT_FALSE(ProcessGone(Pid("s.pid")));
  EXPECT_THAT(supervisor_->Loaded(), ElementsAre("SLEEPER"));
}

TEST_F(ModulesTest, ProgramExitingEarlyFailsAndLeavesNoProcess) {
  struct Case {
    const char* name;
    std::string ready;
  };
  const std::vector<Case> cases = {{"ALIVE", AliveReady(500)}, {"TCP", TcpReady(FreePort(), 2000)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string n = c.name;
    Write("SYSTEM/" + n + ".qrx", Exec({"--pidfile", "{volume}/" + n + ".pid", "--child-pidfile",
                                        "{volume}/" + n + ".child", "--print", "starting " + n, "--print-err",
                                        "cannot bind", "--exit-after", "50", "3"}) +
                                      c.ready);
    const auto start = Clock::now();
    EXPECT_EQ(supervisor_->Load(n), kCvErrModuleFailed);
    EXPECT_LT(MsSince(start), 450);  // noticed the exit, did not wait out the check
    EXPECT_TRUE(ProcessGone(Pid(n + ".pid")));
    // The rest of the process group went with it.
    EXPECT_TRUE(EventuallyGone(Pid(n + ".child")));
    EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
    EXPECT_THAT(Log(), HasSubstr("exit 3"));
    EXPECT_THAT(Log(), HasSubstr("starting " + n));
    EXPECT_THAT(Log(), HasSubstr("cannot bind"));
  }
}

TEST_F(ModulesTest, LogKeepsTheLastTwentyLinesOfOutput) {
  std::vector<std::string> args;
  for (int i = 0; i < 30; ++i) {
    args.push_back("--print");
    args.push_back("out-" + std::string(i < 10 ? "0" : "") + std::to_string(i));
  }
  args.insert(args.end(), {"--exit", "4"});
  Write("SYSTEM/CHATTY.qrx", Exec(args) + AliveReady(500));
  EXPECT_EQ(supervisor_->Load("chatty"), kCvErrModuleFailed);
  EXPECT_THAT(Log(), HasSubstr("exit 4"));
  EXPECT_THAT(Log(), HasSubstr("out-29"));
  EXPECT_THAT(Log(), HasSubstr("out-10"));
  EXPECT_THAT(Log(), Not(HasSubstr("out-09")));
}

TEST_F(ModulesTest, FailingPreflightStartsNothing) {
  struct Case {
    const char* name;
    std::string preflight;
  };
  const std::vector<Case> cases = {
      {"nonzero exit", Array({kProgram, "--exit", "2"})},
      {"not runnable", Array({V("SYSTEM/no-such-program")})},
      {"hangs", Array({kProgram})},  // runs until killed: bounded by the ready timeout
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(volume_ / "pf.pid");
    Write("SYSTEM/PF.qrx", Exec({"--pidfile", "{volume}/pf.pid"}) + "preflight = " + c.preflight + "\n" +
                               "ready = { alive_ms = 10, timeout_ms = 300 }\n");
    const auto start = Clock::now();
    EXPECT_EQ(supervisor_->Load("PF"), kCvErrModuleFailed);
    EXPECT_LT(MsSince(start), 2000);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(fs::exists(volume_ / "pf.pid"));
    EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
  }
}

TEST_F(ModulesTest, PassingPreflightRunsWithExpandedArguments) {
  Write("SYSTEM/PF.qrx", Exec({"--pidfile", "{volume}/pf.pid"}) + "preflight = " +
                             Array({kProgram, "--argv-file", "{volume}/pre.txt", "{args}", "--exit", "0"}) + "\n" +
                             AliveReady(20));
  ASSERT_EQ(supervisor_->Load("pf -t conf"), 0u) << Log();
  EXPECT_EQ(Read("pre.txt"), "--argv-file\n" + V("pre.txt") + "\n-t\nconf\n--exit\n0\n");
  EXPECT_FALSE(ProcessGone(Pid("pf.pid")));
}

TEST_F(ModulesTest, ArgumentsAndEnvironmentExpand) {
  Write("SYSTEM/ARGS.qrx",
        Exec({"--argv-file", "{volume}/argv.txt", "{args}", "--env-file", "MODULE_LOG", "{volume}/env.txt", "--x={args}"}) +
            "env = { MODULE_LOG = \"{volume}/LOG\" }\n" + AliveReady(100));
  ASSERT_EQ(supervisor_->Load("args  one\ttwo   three "), 0u) << Log();
  EXPECT_EQ(Read("argv.txt"),
            "--argv-file\n" + V("argv.txt") + "\none\ntwo\nthree\n--env-file\nMODULE_LOG\n" + V("env.txt") +
                "\n--x=one two three\n");
  EXPECT_EQ(Read("env.txt"), V("LOG"));
  ASSERT_EQ(supervisor_->Unload("args"), 0u);

  // Without arguments {args} adds no argv entry at all.
  ASSERT_EQ(supervisor_->Load("args"), 0u) << Log();
  EXPECT_EQ(Read("argv.txt"), "--argv-file\n" + V("argv.txt") + "\n--env-file\nMODULE_LOG\n" + V("env.txt") + "\n--x=\n");
}

TEST_F(ModulesTest, AlreadyLoadedModuleIsNotStartedTwice) {
  const auto port = WriteListener("WEB");
  ASSERT_EQ(supervisor_->Load("WEB"), 0u) << Log();
  const pid_t pid = Pid("WEB.pid");
  fs::remove(volume_ / "WEB.pid");
  EXPECT_EQ(supervisor_->Load("web.qrx"), kCvErrModuleFailed);
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(fs::exists(volume_ / "WEB.pid"));  // no second program ran
  EXPECT_FALSE(ProcessGone(pid));
  EXPECT_TRUE(PortOpen(port));
  EXPECT_THAT(supervisor_->Loaded(), ElementsAre("WEB"));
}

TEST_F(ModulesTest, UnloadByConsoleCommand) {
  const auto port = WriteListener("APACHE2", "[commands]\n\"apache2 shutdown\" = \"unload\"\n");
  ASSERT_EQ(supervisor_->Load("apache2"), 0u) << Log();
  const pid_t pid = Pid("APACHE2.pid");
  EXPECT_EQ(supervisor_->Unload("apache2 restart"), kCvErrModuleFailed);
  // The module name unloads it too; load it again for the command.
  EXPECT_EQ(supervisor_->Unload("apache2"), 0u);
  ASSERT_EQ(supervisor_->Load("apache2"), 0u) << Log();
  const pid_t second = Pid("APACHE2.pid");
  EXPECT_TRUE(ProcessGone(pid));
  EXPECT_EQ(supervisor_->Unload("  APACHE2   Shutdown "), 0u);
  EXPECT_TRUE(ProcessGone(second));
  EXPECT_FALSE(PortOpen(port));
  EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
  // Once unloaded the command means nothing.
  EXPECT_EQ(supervisor_->Unload("apache2 shutdown"), kCvErrModuleFailed);
}

TEST_F(ModulesTest, ModuleKilledFromOutsideIsSeenUnloaded) {
  for (const bool viaPoll : {false, true}) {
    SCOPED_TRACE(viaPoll ? "Poll" : "Loaded");
    WriteListener("VICTIM");
    ASSERT_EQ(supervisor_->Load("victim"), 0u) << Log();
    const pid_t pid = Pid("VICTIM.pid");
    fs::remove(volume_ / "VICTIM.pid");
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    const auto start = Clock::now();
    std::vector<std::string> loaded{"VICTIM"};
    while (!loaded.empty() && MsSince(start) < 2000) {
      std::this_thread::sleep_for(10ms);
      if (viaPoll) supervisor_->Poll();
      loaded = supervisor_->Loaded();
    }
    EXPECT_THAT(loaded, IsEmpty());
    EXPECT_TRUE(ProcessGone(pid));  // reaped, not a zombie of ours
    EXPECT_THAT(Log(), HasSubstr("signal 9"));
    EXPECT_EQ(supervisor_->Unload("victim"), kCvErrModuleFailed);
  }
}

TEST_F(ModulesTest, ProgramIgnoringSigtermIsKilledAfterStopTimeout) {
  Write("SYSTEM/STUBBORN.qrx",
        Exec({"--ignore-term", "--pidfile", "{volume}/st.pid"}) + AliveReady(50) + "stop_timeout_ms = 300\n");
  ASSERT_EQ(supervisor_->Load("stubborn"), 0u) << Log();
  const pid_t pid = Pid("st.pid");
  const auto start = Clock::now();
  EXPECT_EQ(supervisor_->Unload("stubborn"), 0u);
  EXPECT_GE(MsSince(start), 300);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_TRUE(ProcessGone(pid));
  EXPECT_THAT(Log(), HasSubstr("signal 9"));
}

TEST_F(ModulesTest, UnloadKillsTheWholeProcessGroup) {
  Write("SYSTEM/FAMILY.qrx",
        Exec({"--pidfile", "{volume}/f.pid", "--child-pidfile", "{volume}/f.child"}) + AliveReady(50));
  ASSERT_EQ(supervisor_->Load("family"), 0u) << Log();
  const pid_t child = Pid("f.child");
  EXPECT_FALSE(ProcessGone(child));
  EXPECT_EQ(supervisor_->Unload("family"), 0u);
  EXPECT_TRUE(ProcessGone(Pid("f.pid")));
  EXPECT_TRUE(EventuallyGone(child));  // it ignores SIGTERM, so only a group SIGKILL ends it
}

TEST_F(ModulesTest, DestructorAndStopAllStopEveryModule) {
  Write("SYSTEM/A.qrx", Exec({"--ignore-term", "--pidfile", "{volume}/a.pid"}) + AliveReady(20) +
                            "stop_timeout_ms = 300\n");
  Write("SYSTEM/B.qrx", Exec({"--ignore-term", "--pidfile", "{volume}/b.pid"}) + AliveReady(20) +
                            "stop_timeout_ms = 300\n");
  ASSERT_EQ(supervisor_->Load("a"), 0u) << Log();
  ASSERT_EQ(supervisor_->Load("b"), 0u) << Log();
  const pid_t a = Pid("a.pid");
  const pid_t b = Pid("b.pid");
  const auto start = Clock::now();
  supervisor_->StopAll();
  EXPECT_GE(MsSince(start), 300);
  EXPECT_TRUE(ProcessGone(a));
  EXPECT_TRUE(ProcessGone(b));
  EXPECT_THAT(supervisor_->Loaded(), IsEmpty());

  fs::remove(volume_ / "a.pid");
  ASSERT_EQ(supervisor_->Load("A"), 0u) << Log();
  const pid_t again = Pid("a.pid");
  supervisor_.reset();
  EXPECT_TRUE(ProcessGone(again));
}

TEST_F(ModulesTest, CancelEndsAWaitingLoadAndRefusesLaterOnes) {
  struct Case {
    const char* name;
    std::string manifest;  // its program or preflight writes {volume}/slow.pid, then waits
  };
  const std::vector<Case> cases = {
      {"tcp readiness", Exec({"--pidfile", "{volume}/slow.pid"}) + TcpReady(FreePort(), 30000)},
      {"alive readiness", Exec({"--pidfile", "{volume}/slow.pid"}) + AliveReady(30000)},
      {"preflight", "preflight = " + Array({kProgram, "--pidfile", "{volume}/slow.pid"}) + "\n" + Exec({}) +
                        "ready = { alive_ms = 20, timeout_ms = 30000 }\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cvserver::SupervisorConfig config;
    config.volume = volume_;
    config.searchPath = {"SYSTEM"};
    supervisor_ = std::make_unique<cvserver::ModuleSupervisor>(config);
    log_.str("");
    Write("SYSTEM/KEPT.qrx", Exec({}) + AliveReady(20));
    Write("SYSTEM/SLOW.qrx", c.manifest);
    Write("SYSTEM/SLOW.qbt", "LOAD slow\n");
    fs::remove(volume_ / "slow.pid");
    ASSERT_EQ(supervisor_->Load("kept"), 0u) << Log();

    std::uint32_t rc = 0;
    std::thread load([&] { rc = supervisor_->Load("slow"); });
    const pid_t pid = Pid("slow.pid");  // started: the load now waits
    supervisor_->Cancel();
    load.join();
    EXPECT_EQ(rc, kCvErrModuleFailed);
    EXPECT_THAT(Log(), HasSubstr("the agent is stopping")) << "ended by the cancel, not by its 30 s timeout";
    EXPECT_TRUE(EventuallyGone(pid));

    EXPECT_EQ(supervisor_->Load("slow"), kCvErrModuleFailed);
    EXPECT_EQ(supervisor_->RunCommandFile("slow", nullptr), kCvErrCommandFileFailed);
    EXPECT_THAT(supervisor_->Loaded(), ElementsAre("KEPT"));
    EXPECT_EQ(supervisor_->Unload("kept"), 0u) << "unloading still works";
    EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
  }
}

TEST_F(ModulesTest, NamesMatchWithoutRegardToCase) {
  Write("SYSTEM/MixedCase.QRX", Exec({"--pidfile", "{volume}/m.pid"}) + AliveReady(20));
  ASSERT_EQ(supervisor_->Load("mIXEDcASE.qrx"), 0u) << Log();
  EXPECT_THAT(supervisor_->Loaded(), ElementsAre("MIXEDCASE"));
  EXPECT_EQ(supervisor_->Unload("mixedcase.QRX"), 0u);
  EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
}

TEST_F(ModulesTest, UnknownModuleFails) {
  EXPECT_EQ(supervisor_->Load("nosuch"), kCvErrModuleFailed);
  EXPECT_EQ(supervisor_->Unload("nosuch"), kCvErrModuleFailed);
  // A manifest outside the search path is not found.
  Write("OUTSIDE.qrx", Exec({}) + AliveReady(20));
  EXPECT_EQ(supervisor_->Load("outside"), kCvErrModuleFailed);
}

TEST_F(ModulesTest, UnsafeNamesNeverReachTheFileSystem) {
  // Bait one level up and inside a subfolder: a path trick would find these.
  Write("X.qrx", Exec({"--pidfile", "{volume}/bait.pid"}) + AliveReady(20));
  Write("X.qbt", "LOAD x\n");
  fs::create_directories(volume_ / "SYSTEM" / "a");
  Write("SYSTEM/a/b.qrx", Exec({"--pidfile", "{volume}/bait.pid"}) + AliveReady(20));
  const std::vector<std::string> names = {"../x", "..", "a/b", "a\\b", std::string("\x01"), "", "   ",
                                          std::string("x\0y", 3), "SYS:x", "x\x7f", "/etc/passwd"};
  int calls = 0;
  for (const auto& name : names) {
    SCOPED_TRACE(testing::PrintToString(name));
    EXPECT_FALSE(cvserver::IsSafeFileName(name));
    EXPECT_EQ(supervisor_->Load(name), kCvErrInvalidFileName);
    EXPECT_EQ(supervisor_->Unload(name), kCvErrInvalidFileName);
    EXPECT_EQ(supervisor_->RunCommandFile(name, [&](const std::string&, const std::string&) {
      ++calls;
      return 0u;
    }),
              kCvErrInvalidFileName);
  }
  EXPECT_EQ(supervisor_->Load("SYSTEM/a/b"), kCvErrInvalidFileName);
  EXPECT_FALSE(fs::exists(volume_ / "bait.pid"));
  EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
  EXPECT_EQ(calls, 0);
}

TEST(IsSafeFileName, AcceptsPlainNames) {
  for (const char* name : {"apache2", "APACHE2.QRX", "my module", "a.b", "x-y_z", "\xc3\xa9t\xc3\xa9"}) {
    EXPECT_TRUE(cvserver::IsSafeFileName(name)) << name;
  }
  EXPECT_FALSE(cvserver::IsSafeFileName(std::string(256, 'a')));
  EXPECT_TRUE(cvserver::IsSafeFileName(std::string(255, 'a')));
}

TEST_F(ModulesTest, MalformedManifestsFailWithoutStartingAnything) {
  const std::string run = Exec({"--pidfile", "{volume}/bad.pid"});
  struct Case {
    const char* name;
    std::string text;
    const char* logged;
  };
  const std::vector<Case> cases = {
      {"broken TOML", "exec = [\"a\",\n" + AliveReady(20), "line"},
      {"garbage", std::string("\x01\x02\xff\xfe = = ["), "BAD"},
      {"no exec", AliveReady(20), "exec is missing"},
      {"empty exec", "exec = []\n" + AliveReady(20), "exec"},
      {"exec not strings", "exec = [1, 2]\n" + AliveReady(20), "exec"},
      {"exec a string", "exec = \"/bin/true\"\n" + AliveReady(20), "exec"},
      {"no ready", run, "ready is missing"},
      {"both checks", run + "ready = { alive_ms = 5, tcp = \"127.0.0.1:1\" }\n", "exactly one"},
      {"no port", run + "ready = { tcp = \"127.0.0.1\" }\n", "ready.tcp"},
      {"port zero", run + "ready = { tcp = \"127.0.0.1:0\" }\n", "ready.tcp"},
      {"host name", run + "ready = { tcp = \"localhost:80\" }\n", "ready.tcp"},
      {"negative timeout", run + "ready = { tcp = \"127.0.0.1:80\", timeout_ms = -1 }\n", "timeout_ms"},
      {"huge timeout", run + AliveReady(20) + "stop_timeout_ms = 99999999999\n", "stop_timeout_ms"},
      {"timeout string", run + AliveReady(20) + "stop_timeout_ms = \"10\"\n", "stop_timeout_ms"},
      {"unknown key", run + AliveReady(20) + "restart = true\n", "unknown key restart"},
      {"unknown action", run + AliveReady(20) + "[commands]\n\"bad stop\" = \"reload\"\n", "unload"},
      {"env not strings", run + AliveReady(20) + "env = { A = 1 }\n", "env"},
      {"too large", run + AliveReady(20) + "# " + std::string(1 << 20, 'x') + "\n", "larger than"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.str("");
    Write("SYSTEM/BAD.qrx", c.text);
    EXPECT_EQ(supervisor_->Load("bad"), kCvErrModuleFailed);
    EXPECT_THAT(Log(), HasSubstr(c.logged));
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(fs::exists(volume_ / "bad.pid"));
  EXPECT_THAT(supervisor_->Loaded(), IsEmpty());
}

TEST_F(ModulesTest, CommandFileRunsEveryLineInOrder) {
  Write("SYSTEM/ONE.qrx", Exec({"--pidfile", "{volume}/one.pid"}) + AliveReady(20) +
                              "[commands]\n\"one shutdown\" = \"unload\"\n");
  Write("SYSTEM/TWO.qrx", Exec({"--argv-file", "{volume}/two.txt", "{args}"}) + AliveReady(20));
  Write("SYSTEM/THREE.qrx", Exec({}) + AliveReady(20));
  Write("ETC/Start.QBT",
        "# comment\r\n"
        "; another comment\n"
        "REM remark\n"
        "rem\n"
        "   \n"
        "\n"
        "\tload one\n"
        "SET Maximum Things = 12\n"
        "set  name=  a value  \n"
        "ONE   SHUTDOWN\n"
        "LOAD two alpha beta\r\n"
        "Load three\n"
        "unload THREE\n");
  std::vector<std::pair<std::string, std::string>> sets;
  const auto rc = supervisor_->RunCommandFile("start", [&](const std::string& n, const std::string& v) {
    sets.emplace_back(n, v);
    return 0u;
  });
  ASSERT_EQ(rc, 0u) << Log();
  EXPECT_THAT(sets, ElementsAre(std::pair<std::string, std::string>{"Maximum Things", "12"},
                                std::pair<std::string, std::string>{"name", "a value"}));
  EXPECT_THAT(supervisor_->Loaded(), ElementsAre("TWO"));
  EXPECT_TRUE(ProcessGone(Pid("one.pid")));  // unloaded by its console command
  EXPECT_EQ(Read("two.txt"), "--argv-file\n" + V("two.txt") + "\nalpha\nbeta\n");
  EXPECT_EQ(supervisor_->RunCommandFile("START.qbt", nullptr), kCvErrCommandFileFailed);  // SET needs a callback
}

TEST_F(ModulesTest, CommandFileStopsAtTheFirstFailingLine) {
  Write("SYSTEM/ONE.qrx", Exec({}) + AliveReady(20));
  Write("SYSTEM/TWO.qrx", Exec({}) + AliveReady(20));
  struct Case {
    const char* name;
    std::string failing;
  };
  const std::vector<Case> cases = {
      {"unknown module", "LOAD missing"},
      {"unknown command", "FROBNICATE now"},
      {"REM glued to text", "REMARK this"},
      {"SET refused", "SET Unknown Parameter = 1"},
      {"SET without =", "SET Something"},
      {"LOAD alone", "LOAD"},
      {"bad name", "LOAD ../one"},
      {"unload not loaded", "UNLOAD two"},
      {"control character", std::string("LOAD one\x01")},
      {"line too long", "REM " + std::string(5000, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    supervisor_->StopAll();
    Write("SYSTEM/FAIL.qbt", "LOAD one\n" + c.failing + "\nLOAD two\n");
    int calls = 0;
    EXPECT_EQ(supervisor_->RunCommandFile("fail", [&](const std::string&, const std::string&) {
      ++calls;
      return 191u;
    }),
              kCvErrCommandFileFailed);
    EXPECT_THAT(supervisor_->Loaded(), ElementsAre("ONE"));  // line 1 ran, line 3 did not
    EXPECT_EQ(calls, c.name == std::string("SET refused") ? 1 : 0);
  }
  EXPECT_EQ(supervisor_->RunCommandFile("nosuch", nullptr), kCvErrCommandFileFailed);
}

TEST(CommandLineParse, Kinds) {
  using cvserver::modules::LineKind;
  struct Case {
    std::string line;
    LineKind kind;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"", LineKind::kSkip, ""},
      {"  \t ", LineKind::kSkip, ""},
      {"# x", LineKind::kSkip, ""},
      {"  ; x", LineKind::kSkip, ""},
      {"REM", LineKind::kSkip, ""},
      {"Rem\tx", LineKind::kSkip, ""},
      {"REMOVE x", LineKind::kConsole, "REMOVE x"},
      {"LOAD apache2 -x  y", LineKind::kLoad, "apache2 -x  y"},
      {"loader x", LineKind::kConsole, "loader x"},
      {"UNLOAD  apache2 ", LineKind::kUnload, "apache2"},
      {"apache2   shutdown\r", LineKind::kConsole, "apache2 shutdown"},
      {"LOAD", LineKind::kInvalid, ""},
      {"UNLOAD ", LineKind::kInvalid, ""},
      {"SET = 3", LineKind::kInvalid, ""},
      {"SET x", LineKind::kInvalid, ""},
      {std::string("LOAD a\0b", 8), LineKind::kInvalid, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.line));
    const auto parsed = cvserver::modules::ParseCommandLine(c.line);
    EXPECT_EQ(parsed.kind, c.kind);
    EXPECT_EQ(parsed.text, c.text);
  }
  const auto set = cvserver::modules::ParseCommandLine("set A  B = x = y ");
  EXPECT_EQ(set.kind, LineKind::kSet);
  EXPECT_EQ(set.name, "A  B");
  EXPECT_EQ(set.value, "x = y");
}

// What a client reads of a failed load keeps the lines that name the cause,
// which are rarely the last.
TEST(FailureSummaryTest, KeepsTheNewestOutputLinesThatFit) {
  const std::vector<std::string> apache = {
      "AH00526: Syntax error on line 22 of /srv/corvane/SYS/APACHE/conf/httpd.conf:",
      "Invalid command 'Listn', perhaps misspelled or defined by a module not included in the server configuration"};
  const std::vector<std::string> bind = {
      "(13)Permission denied: AH00072: make_sock: could not bind to address 0.0.0.0:80",
      "no listening sockets available, shutting down", "", "AH00015: Unable to open logs"};
  struct Case {
    const char* what;
    std::string reason;
    std::vector<std::string> output;
    std::size_t limit;
    std::string expected;
  };
  const Case cases[] = {
      {"no output", "no WEB.qrx in the search path", {}, 100, "no WEB.qrx in the search path"},
      {"a syntax error: both lines", "preflight failed (exit 1)", apache, 2000,
       "preflight failed (exit 1)\n" + apache[0] + "\n" + apache[1]},
      {"a port it may not bind: the cause and the closing words, blank lines left out", "exited before 10000 ms", bind,
       2000, "exited before 10000 ms\n" + bind[0] + "\n" + bind[1] + "\n" + bind[3]},
      {"too little room: the newest lines that fit", "failed", bind, 6 + 1 + bind[1].size() + 1 + bind[3].size(),
       "failed\n" + bind[1] + "\n" + bind[3]},
      {"no room for any line", "failed", apache, 10, "failed"},
      {"a reason longer than the limit is cut", std::string(50, 'r'), apache, 20, std::string(20, 'r')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string summary = cvserver::modules::FailureSummary(c.reason, c.output, c.limit);
    EXPECT_EQ(summary, c.expected);
    EXPECT_LE(summary.size(), c.limit);
  }
}

}  // namespace
