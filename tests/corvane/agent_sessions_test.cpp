// Many clients at once, each sending several requests before it reads the
// replies: every reply must come whole, in order, on its own connection,
// whatever the agent reads for the other sessions meanwhile. A real
// cvserverd on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/protocol.h"

namespace {

TEST(AgentSessions, PipelinedRequestsOfManyClientsAreEachAnsweredInOrder) {
  cvtest::AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.Log();
  constexpr int kClients = 16;
  constexpr int kRounds = 40;
  constexpr int kPipelined = 3;
  std::atomic<int> answered{0};
  std::vector<std::string> failures(kClients);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      cvtest::RawClient client(agent.port());
      if (!client.connected() || client.Login("ADMIN", "admin-secret") != std::optional<std::uint32_t>(0u)) {
        failures[c] = "no login";
        return;
      }
      for (int round = 0; round < kRounds; ++round) {
        std::vector<std::uint32_t> ids;
        // Separate writes: separate TLS records, which the agent reads one
        // at a time while the others wait in the socket.
        for (int i = 0; i < kPipelined; ++i) {
          ids.push_back(client.NextId());
          cvwire::Writer w(cvwire::Type(cvwire::Msg::ServerInfo), ids.back());
          if (!client.SendBytes(w.Frame())) {
            failures[c] = "send failed in round " + std::to_string(round);
            return;
          }
        }
        for (std::uint32_t id : ids) {
          const auto reply = client.Receive();
          if (!reply) {
            failures[c] = "no reply in round " + std::to_string(round);
            return;
          }
          cvwire::Reader r(*reply);
          if (r.requestId() != id || r.type() != (cvwire::Type(cvwire::Msg::ServerInfo) | cvwire::kReplyBit) ||
              r.U32() != 0) {
            failures[c] = "wrong reply in round " + std::to_string(round);
            return;
          }
          ++answered;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(failures[c], "") << "client " << c;
  EXPECT_EQ(answered.load(), kClients * kRounds * kPipelined);
  EXPECT_EQ(agent.Log().find("malformed"), std::string::npos) << agent.Log();
}

}  // namespace
