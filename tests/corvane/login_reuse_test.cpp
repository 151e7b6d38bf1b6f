// Later connections of one process to a server: the library keeps the login's
// salted password and what it read of client.ini, the password file and the
// known-servers file, and must still follow every change of them and of the
// server. A real cvserverd on 127.0.0.1 and the real client library.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/cvfailure.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"

namespace {

std::string FailureText() {
  char text[2048] = {};
  CvGetFailureText(text, sizeof text);
  return text;
}

// Opens a connection to SRV1 and releases it again: the next one logs in anew.
std::uint32_t ConnectOnce() {
  std::uint32_t h = 0;
  const std::uint32_t code = CvGetConnectionHandle("SRV1", 0, &h, nullptr);
  if (code == kCvOk) {
    EXPECT_EQ(CvReleaseConnection(h), kCvOk);
  }
  return code;
}

void Rewrite(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::trunc) << text;  // keeps the file's mode
}

TEST(LoginReuse, LaterLoginsFollowThePasswordFileAndTheServersVerifier) {
  cvtest::AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.Log();
  agent.WriteClientIni("ADMIN");
  const auto pw = agent.dir() / "pw-ADMIN";
  EXPECT_EQ(ConnectOnce(), kCvOk) << FailureText();
  EXPECT_EQ(ConnectOnce(), kCvOk) << FailureText();
  // A wrong password of the same length, written right after the last read.
  Rewrite(pw, "admin-secreT\n");
  EXPECT_EQ(ConnectOnce(), kCvErrLoginRefused);
  Rewrite(pw, "admin-secret\n");
  EXPECT_EQ(ConnectOnce(), kCvOk) << FailureText();

  // The agent again with a new salt for the same password, then with a new
  // password: a key kept from before would be refused.
  agent.Stop();
  ASSERT_TRUE(agent.Start()) << agent.Log();
  agent.WriteClientIni("ADMIN");
  EXPECT_EQ(ConnectOnce(), kCvOk) << FailureText() << agent.Log();
  agent.Stop();
  agent.users[0].password = "changed-secret";
  ASSERT_TRUE(agent.Start()) << agent.Log();
  agent.WriteClientIni("ADMIN");
  EXPECT_EQ(ConnectOnce(), kCvOk) << FailureText() << agent.Log();
  Rewrite(pw, "admin-secret\n");
  EXPECT_EQ(ConnectOnce(), kCvErrLoginRefused);
}

// client.ini rewritten in place is read again: SRV1 moved to another agent,
// whose certificate the known-servers file does not hold.
TEST(LoginReuse, AChangedClientIniIsReadAgain) {
  cvtest::AgentProcess first, second;
  ASSERT_TRUE(first.Start()) << first.Log();
  ASSERT_TRUE(second.Start()) << second.Log();
  first.WriteClientIni("ADMIN");
  EXPECT_EQ(ConnectOnce(), kCvOk) << FailureText();
  const auto ini = first.dir() / "client.ini";
  std::ifstream in(ini);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string from = "127.0.0.1:" + std::to_string(first.port());
  const auto at = text.find(from);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, from.size(), "127.0.0.1:" + std::to_string(second.port()));
  Rewrite(ini, text);
  EXPECT_EQ(ConnectOnce(), kCvErrNoAnswer);
  EXPECT_NE(FailureText().find("has changed"), std::string::npos) << FailureText();
}

// Once the known-servers file has stood unchanged for a while, the library
// trusts a server it knows without reading the file again; another
// certificate under the same name is still refused.
TEST(LoginReuse, AKnownServerStaysKnownAndAnImpostorStaysRefused) {
  cvtest::AgentProcess agent, impostor;
  ASSERT_TRUE(agent.Start()) << agent.Log();
  agent.WriteClientIni("ADMIN");
  EXPECT_EQ(ConnectOnce(), kCvOk) << FailureText();  // recorded
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // the file settles
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ConnectOnce(), kCvOk) << FailureText();
  // The impostor takes the agent's port (the same name and address).
  const std::uint16_t port = agent.port();
  agent.Stop();
  impostor.listenPort = port;
  ASSERT_TRUE(impostor.Start()) << impostor.Log();
  EXPECT_EQ(ConnectOnce(), kCvErrNoAnswer);
  EXPECT_NE(FailureText().find("has changed"), std::string::npos) << FailureText();
}

}  // namespace
