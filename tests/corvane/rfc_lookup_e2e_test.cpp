// End to end: how a lookup of the call service follows the modules the
// agent has loaded, and how the client library keeps its answer until the
// agent says the modules changed.
#include <signal.h>

#include "rfc_harness.h"

namespace {

using namespace rfctest;

TEST_F(RfcTest, LookupFollowsTheModule) {
  WriteService();
  Start();
  const std::uint32_t h = Connect();
  std::uint32_t id = 77;
  EXPECT_NE(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk)
      << "no service before the module is loaded";
  EXPECT_EQ(id, 0u);
  ASSERT_EQ(CvLoadModule(h, "RFC "), kCvOk) << agent_.Log();
  std::uint8_t major = 0, minor = 0, state = 0;
  std::uint8_t area[kCvServiceInfoSize] = {};
  ASSERT_EQ(CvGetServiceInfoByName(h, kService, &id, &major, &minor, &state, area), kCvOk);
  EXPECT_NE(id, 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(area), "RFC");
  EXPECT_NE(CvGetServiceInfoByName(h, "Some Other Service", &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
  ASSERT_EQ(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
  EXPECT_EQ(Call(h, id, Record("ECHO").Int(1))["P1"].value, "1");

  ASSERT_EQ(CvUnloadModule(h, "RFC"), kCvOk);
  EXPECT_NE(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
  std::uint32_t code = 0;
  Request(h, 1, Record("ECHO").Int(1).bytes(), &code);
  EXPECT_EQ(code, kCvErrQrxConnection) << "a request to a service that is gone";

  ASSERT_EQ(CvLoadModule(h, "RFC "), kCvOk) << "loaded again";
  ASSERT_EQ(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
  EXPECT_EQ(Call(h, id, Record("ECHO").Int(2))["P1"].value, "2");
  EXPECT_FALSE(std::filesystem::exists(agent_.dir() / "run" / "RFC.sock.tmp"));
}

// A lookup is answered from the connection's record until the agent says
// the modules changed: a load, an unload from another connection, a module
// that died.
TEST_F(RfcTest, LookupIsKeptUntilTheAgentSaysTheModulesChanged) {
  WriteService();
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n");
  Start("ADMIN", 1500);
  const std::uint32_t h = Connect();
  const std::uint32_t first = Lookup(h);
  ASSERT_NE(first, 0u);
  // Kept: answered while the agent cannot answer anything.
  ASSERT_EQ(::kill(agent_.pid(), SIGSTOP), 0);
  std::uint32_t id = 0;
  const std::uint32_t kept = CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr);
  ::kill(agent_.pid(), SIGCONT);
  ASSERT_EQ(kept, kCvOk);
  EXPECT_EQ(id, first);

  const auto operatorSends = [&](cvwire::Msg m, const std::string& text) {
    cvtest::RawClient admin(agent_.port());
    EXPECT_EQ(admin.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));
    cvwire::Writer w(cvwire::Type(m), admin.NextId());
    w.Str(text);
    EXPECT_TRUE(admin.SendBytes(w.Frame()));
    const auto reply = admin.Receive();
    ASSERT_TRUE(reply);
    cvwire::Reader r(*reply);
    EXPECT_EQ(r.U32(), kCvOk) << agent_.Log();
  };
  // Unloaded by another connection: gone at once for this one.
  operatorSends(cvwire::Msg::UnloadModule, "RFC");
  EXPECT_NE(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
  // Loaded again: found, under its new id.
  operatorSends(cvwire::Msg::LoadModule, "RFC ");
  ASSERT_EQ(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
  EXPECT_NE(id, first);
  EXPECT_EQ(Call(h, id, Record("ECHO").Int(3))["P1"].value, "3");

  // A module that dies is noticed by the agent's poll, which tells the
  // watching connections.
  CvModuleStatus status{};
  ASSERT_EQ(CvGetModuleStatus(h, "RFC", &status), kCvOk);
  ASSERT_NE(status.processId, 0u);
  ASSERT_EQ(CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr), kCvOk);
  ASSERT_EQ(::kill(static_cast<pid_t>(status.processId), SIGKILL), 0);
  std::uint32_t code = kCvOk;
  for (int i = 0; i < 100 && code == kCvOk; ++i) {
    std::this_thread::sleep_for(50ms);
    code = CvGetServiceInfoByName(h, kService, &id, nullptr, nullptr, nullptr, nullptr);
  }
  EXPECT_NE(code, kCvOk) << "the lookup still finds a module that died";
}

// The agent's side: a watched lookup is answered as a lookup, and then one
// notice, request id 0, follows the next change; a plain lookup gets none.
TEST_F(RfcTest, AWatchedLookupGetsOneNoticeOfTheNextChange) {
  WriteService();
  agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n");
  Start();
  Lookup(Connect());  // the start-up file has loaded it
  cvtest::RawClient watcher(agent_.port()), plain(agent_.port()), admin(agent_.port());
  for (auto* c : {&watcher, &plain, &admin}) ASSERT_EQ(c->Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));
  const auto lookup = [](cvtest::RawClient& c, cvwire::Msg m) {
    cvwire::Writer w(cvwire::Type(m), c.NextId());
    w.Str(kService);
    EXPECT_TRUE(c.SendBytes(w.Frame()));
    const auto reply = c.Receive();
    ASSERT_TRUE(reply);
    cvwire::Reader r(*reply);
    EXPECT_EQ(r.type(), cvwire::ReplyType(m));
    EXPECT_EQ(r.U32(), kCvOk);
    EXPECT_NE(r.U32(), 0u);
  };
  lookup(watcher, cvwire::Msg::ServiceLookupWatched);
  lookup(plain, cvwire::Msg::ServiceLookup);
  for (const char* step : {"UNLOAD RFC", "LOAD RFC "}) {
    SCOPED_TRACE(step);
    const bool unload = step[0] == 'U';
    cvwire::Writer w(cvwire::Type(unload ? cvwire::Msg::UnloadModule : cvwire::Msg::LoadModule), admin.NextId());
    w.Str(unload ? "RFC" : "RFC ");
    ASSERT_TRUE(admin.SendBytes(w.Frame()));
    ASSERT_TRUE(admin.Receive());
  }
  // One notice for the two changes: the watch ends with it.
  const auto notice = watcher.Receive(std::chrono::seconds(2));
  ASSERT_TRUE(notice);
  cvwire::Reader r(*notice);
  EXPECT_EQ(r.type(), cvwire::Type(cvwire::Msg::ServicesChanged));
  EXPECT_EQ(r.requestId(), 0u);
  EXPECT_FALSE(watcher.Receive(std::chrono::milliseconds(300)));
  EXPECT_FALSE(plain.Receive(std::chrono::milliseconds(300)));
}

}  // namespace
