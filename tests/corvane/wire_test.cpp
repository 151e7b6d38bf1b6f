// The agent protocol codec and frame parser, the login proof, and the
// agent's connection table and parameter store.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "corvane/client/ini.h"
#include "corvane/client/trust.h"
#include "corvane/server/connections.h"
#include "corvane/server/parameters.h"
#include "corvane/wire/auth.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/frame.h"
#include "corvane/wire/scram.h"

namespace {

using cvwire::FrameParser;

std::vector<std::uint8_t> Frame(std::uint16_t type, std::uint32_t id, const std::string& text) {
  cvwire::Writer w(type, id);
  w.Str(text);
  return w.Frame();
}

TEST(WireCodec, FieldsRoundTrip) {
  cvwire::Writer w(0x0101, 0xA1B2C3D4);
  const std::vector<std::uint8_t> blob{1, 2, 3};
  w.U8(0xFE).U16(0xBEEF).U32(0xDEADBEEF).Str("hello").Blob(blob).Str("");
  const auto& f = w.Frame();
  ASSERT_EQ(f.size(), 4u + w.PayloadSize());
  EXPECT_EQ(f[0] | (f[1] << 8), static_cast<int>(w.PayloadSize()));
  cvwire::Reader r(std::span<const std::uint8_t>(f).subspan(4));
  EXPECT_EQ(r.type(), 0x0101);
  EXPECT_EQ(r.requestId(), 0xA1B2C3D4u);
  EXPECT_EQ(r.U8(), 0xFE);
  EXPECT_EQ(r.U16(), 0xBEEF);
  EXPECT_EQ(r.U32(), 0xDEADBEEFu);
  EXPECT_EQ(r.Str(), "hello");
  EXPECT_EQ(r.Blob(), blob);
  EXPECT_EQ(r.Str(), "");
  EXPECT_TRUE(r.Done());
}

TEST(WireCodec, LittleEndianLayout) {
  cvwire::Writer w(0x0201, 0x04030201);
  w.U32(0x0A0B0C0D);
  const auto& f = w.Frame();
  const std::vector<std::uint8_t> want{10, 0, 0, 0, 0x01, 0x02, 0x01, 0x02, 0x03, 0x04, 0x0D, 0x0C, 0x0B, 0x0A};
  EXPECT_EQ(f, want);
}

TEST(WireCodec, ShortFieldsFailWithoutReadingPastTheEnd) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> payload;
  } cases[] = {
      {"string length past end", {1, 0, 0, 0, 0, 0, 5, 0, 'a', 'b'}},
      {"u32 cut", {1, 0, 0, 0, 0, 0, 1, 2}},
      {"blob length past end", {1, 0, 0, 0, 0, 0, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    cvwire::Reader r(c.payload);
    r.Str();
    r.U32();
    EXPECT_FALSE(r.ok()) << c.what;
    EXPECT_FALSE(r.Done()) << c.what;
  }
  const std::vector<std::uint8_t> trailing{1, 0, 0, 0, 0, 0, 7};
  cvwire::Reader r(trailing);
  EXPECT_TRUE(r.ok());
  EXPECT_FALSE(r.Done()) << "left-over bytes are not a complete message";
}

TEST(WireFrame, WholeFramesComeOutWhateverTheChunking) {
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < 5; ++i) {
    const auto f = Frame(0x0203, static_cast<std::uint32_t>(i), std::string(static_cast<std::size_t>(i * 37), 'x'));
    stream.insert(stream.end(), f.begin(), f.end());
  }
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{7}, stream.size()}) {
    FrameParser p;
    for (std::size_t pos = 0; pos < stream.size(); pos += chunk) {
      ASSERT_EQ(p.Feed(std::span(stream).subspan(pos, std::min(chunk, stream.size() - pos))),
                FrameParser::Status::Ok);
    }
    std::vector<std::uint8_t> payload;
    for (std::uint32_t i = 0; i < 5; ++i) {
      ASSERT_TRUE(p.Next(payload)) << "chunk " << chunk;
      cvwire::Reader r(payload);
      EXPECT_EQ(r.requestId(), i);
      EXPECT_EQ(r.Str().size(), i * 37);
      EXPECT_TRUE(r.Done());
    }
    EXPECT_FALSE(p.Next(payload));
  }
}

TEST(WireFrame, BadLengthsFailFromTheLengthAlone) {
  struct Case {
    std::uint32_t length;
    bool ok;
  } cases[] = {{0, false}, {5, false}, {6, true}, {65536, true}, {65537, false}, {0xFFFFFFFF, false}};
  for (const auto& c : cases) {
    FrameParser p;
    const std::uint8_t len[4] = {static_cast<std::uint8_t>(c.length), static_cast<std::uint8_t>(c.length >> 8),
                                 static_cast<std::uint8_t>(c.length >> 16), static_cast<std::uint8_t>(c.length >> 24)};
    EXPECT_EQ(p.Feed(len) == FrameParser::Status::Ok, c.ok) << c.length;
    if (!c.ok) {
      EXPECT_TRUE(p.failed());
      const std::uint8_t more[1] = {0};
      EXPECT_EQ(p.Feed(more), FrameParser::Status::Error) << "stays failed";
    }
  }
}

TEST(WireAuth, EarlierHashFormatStillParses) {
  const auto h = cvwire::HashPassword("s3cret", cvwire::kMinIterations);
  const std::string text = cvwire::FormatPasswordHash(h);
  EXPECT_TRUE(text.starts_with("pbkdf2-sha256$1000$"));
  const auto back = cvwire::ParsePasswordHash(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->key, h.key);
  EXPECT_EQ(back->salt, h.salt);
  EXPECT_EQ(cvwire::DeriveKey("s3cret", h.salt, h.iterations), h.key);
  for (const char* bad : {"", "pbkdf2-sha256$1000$zz$00", "pbkdf2-sha256$10$0011$" , "sha1$1000$00$00",
                          "pbkdf2-sha256$1000$0011$0011"}) {
    EXPECT_FALSE(cvwire::ParsePasswordHash(bad)) << bad;
  }
}

namespace scram = cvwire::scram;

std::vector<std::uint8_t> B64(const std::string& s) { return *scram::FromBase64(s, 256); }

// RFC 7677's example exchange (user "user", password "pencil").
TEST(Scram, ComputesTheRfc7677Example) {
  const std::string clientFirstBare = "n=user,r=rOprNGfwEbeRWgbNEkqO";
  const std::string serverFirst =
      "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
  const std::string clientFinal =
      "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
  const auto first = scram::ParseClientFirst("n,," + clientFirstBare);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->user, "user");
  EXPECT_EQ(first->gs2Header, "n,,");
  const auto sf = scram::ParseServerFirst(serverFirst);
  ASSERT_TRUE(sf);
  EXPECT_EQ(sf->iterations, 4096u);
  const auto cf = scram::ParseClientFinal(clientFinal);
  ASSERT_TRUE(cf);
  EXPECT_EQ(cf->binding, std::vector<std::uint8_t>({'n', ',', ','}));
  EXPECT_EQ(cf->withoutProof, clientFinal.substr(0, clientFinal.find(",p=")));

  const auto v = scram::VerifierFromSaltedPassword(cvwire::DeriveKey("pencil", sf->salt, 4096), sf->salt, 4096);
  const std::string auth = clientFirstBare + "," + serverFirst + "," + cf->withoutProof;
  // ClientKey = proof XOR HMAC(StoredKey, auth), and H(ClientKey) = StoredKey.
  auto clientKey = cf->proof;
  const auto signature = scram::Hmac(v.storedKey, auth);
  for (std::size_t i = 0; i < clientKey.size(); ++i) clientKey[i] ^= signature[i];
  EXPECT_EQ(scram::Sha256(clientKey), v.storedKey);
  EXPECT_EQ(scram::Hmac(v.serverKey, auth), B64("6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));
  EXPECT_EQ(scram::ParseServerFinal("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="),
            B64("6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));
}

// Both sides of a login, and the ways it must fail.
TEST(Scram, ExchangeAcceptsOnlyTheRightPasswordOnTheSameChannel) {
  const auto verifier = scram::MakeVerifier("pencil", cvwire::kMinIterations);
  const auto binding = cvwire::RandomBytes(scram::kBindingSize);
  struct Case {
    const char* what;
    std::string password;
    bool knownUser;
    bool otherChannel;
    bool accepted;
  } cases[] = {
      {"right password", "pencil", true, false, true},
      {"wrong password", "pencil2", true, false, false},
      {"unknown user", "pencil", false, false, false},
      {"relayed to another TLS session", "pencil", true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scram::ClientExchange client("jsmith", c.password, c.otherChannel ? cvwire::RandomBytes(32) : binding);
    auto first = scram::ParseClientFirst(client.First());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->user, "jsmith");
    scram::ServerExchange server(*first, verifier, c.knownUser);
    const auto final = client.Final(server.First());
    ASSERT_TRUE(final);
    std::string serverFinal;
    const auto result = server.Finish(*final, binding, serverFinal);
    EXPECT_EQ(result == scram::ServerExchange::Result::Accepted, c.accepted);
    if (c.accepted) {
      EXPECT_TRUE(client.VerifyServer(serverFinal));
      EXPECT_FALSE(client.VerifyServer("v=" + scram::Base64(cvwire::RandomBytes(32)))) << "another signature";
    }
  }
}

TEST(Scram, ClientRefusesChallengesItMustNotAnswer) {
  scram::ClientExchange client("u", "p", cvwire::RandomBytes(32));
  const auto first = scram::ParseClientFirst(client.First());
  ASSERT_TRUE(first);
  const std::string salt = scram::Base64(cvwire::RandomBytes(16));
  for (const std::string& bad : {
           "r=" + first->nonce + ",s=" + salt + ",i=4096",                 // nonce not extended
           "r=other" + first->nonce + "x,s=" + salt + ",i=4096",          // not this client's nonce
           "r=" + first->nonce + "x,s=" + salt + ",i=999",                // too few iterations
           "r=" + first->nonce + "x,s=" + salt + ",i=4000000000",         // too many
           "r=" + first->nonce + "x,s=!!!!,i=4096",                       // bad salt
           "r=" + first->nonce + "x,i=4096,s=" + salt,                    // attributes out of order
           std::string(2000, 'r'),
       }) {
    EXPECT_FALSE(client.Final(bad)) << bad;
  }
}

TEST(Scram, ParsersRejectMalformedMessages) {
  for (const char* bad : {"", "n,,", "n,,n=,r=abc", "n,,r=abc,n=user", "x,,n=user,r=abc", "n,,n=us=3Xer,r=abc",
                          "n,,n=user,r=a,b", "n,a,n=user,r=abc", "n,,n=user,r=ab\x01c", "n,,n=user"}) {
    EXPECT_FALSE(scram::ParseClientFirst(bad)) << bad;
  }
  const auto escaped = scram::ParseClientFirst("p=tls-exporter,,n=a=2Cb=3Dc,r=xyz");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->user, "a,b=c");
  EXPECT_EQ(scram::FormatClientFirst("a,b=c", "xyz"), "p=tls-exporter,,n=a=2Cb=3Dc,r=xyz");
  for (const char* bad : {"", "c=biws,r=abc", "c=biws,p=AAAA", "c=bi!s,r=abc,p=" "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=",
                          "c=biws,r=abc,p=AAAA"}) {
    EXPECT_FALSE(scram::ParseClientFinal(bad)) << bad;
  }
  for (const char* bad : {"", "e=invalid-proof", "v=AAAA", "v="}) EXPECT_FALSE(scram::ParseServerFinal(bad)) << bad;
}

TEST(Scram, Base64IsStrict) {
  struct Case {
    std::string text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"", std::string()},          {"Zg==", std::string("f")},    {"Zm8=", std::string("fo")},
      {"Zm9v", std::string("foo")}, {"Zm9vYg==", std::string("foob")}, {"Zg=", std::nullopt},
      {"Zh==", std::nullopt},       {"Z===", std::nullopt},        {"Zg==Zg==", std::nullopt},
      {"Zm9*", std::nullopt},       {"=Zm9", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = scram::FromBase64(c.text, 64);
    ASSERT_EQ(got.has_value(), c.bytes.has_value()) << c.text;
    if (got) {
      EXPECT_EQ(std::string(got->begin(), got->end()), *c.bytes) << c.text;
      EXPECT_EQ(scram::Base64(*got), c.text);
    }
  }
  EXPECT_FALSE(scram::FromBase64("Zm9vYmFy", 5)) << "longer than allowed";
}

TEST(Scram, VerifierFormRoundTripsAndTheEarlierFormConverts) {
  const auto v = scram::MakeVerifier("s3cret", cvwire::kMinIterations);
  const std::string text = scram::FormatVerifier(v);
  EXPECT_TRUE(text.starts_with("SCRAM-SHA-256$1000:"));
  EXPECT_EQ(text.find("s3cret"), std::string::npos);
  const auto back = scram::ParseVerifier(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->salt, v.salt);
  EXPECT_EQ(back->storedKey, v.storedKey);
  EXPECT_EQ(back->serverKey, v.serverKey);
  // The earlier form's key is the salted password: the same verifier.
  const auto old = cvwire::HashPassword("s3cret", cvwire::kMinIterations);
  const auto converted = scram::VerifierFromSaltedPassword(old.key, old.salt, old.iterations);
  EXPECT_EQ(converted.storedKey,
            scram::VerifierFromSaltedPassword(cvwire::DeriveKey("s3cret", old.salt, 1000), old.salt, 1000).storedKey);
  for (const std::string& bad : {std::string(""), text.substr(0, text.size() - 4), "SCRAM-SHA-256$999" + text.substr(18),
                                "SCRAM-SHA-1$" + text.substr(14), text + "$x", std::string("SCRAM-SHA-256$1000:$:")}) {
    EXPECT_FALSE(scram::ParseVerifier(bad)) << bad;
  }
}

TEST(KnownServers, ParseAndDecide) {
  const auto list = cvclient::ParseKnownServers(
      "# comment\nsrv1 10.0.0.1:5240 ab:cd\n\n  SRV2\t10.0.0.2:1 EF:01 extra\nSRV3 only-two\r\nSRV4 h:2 AA:BB\r\n" +
      std::string(2000, 'x') + "\n");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "SRV1");
  EXPECT_EQ(list[0].fingerprint, "AB:CD");
  EXPECT_EQ(list[1].name, "SRV4");
  EXPECT_EQ(list[1].address, "h:2");

  const auto dir = std::filesystem::temp_directory_path() / ("known-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "known_servers").string();
  using V = cvclient::TrustCheck::Verdict;
  struct Step {
    const char* what;
    std::string name, fingerprint;
    bool ca, strict;
    V verdict;
  } steps[] = {
      {"strict, never met", "SRV1", "AA:01", false, true, V::Unknown},
      {"first contact", "srv1", "AA:01", false, false, V::Recorded},
      {"met again", "SRV1", "AA:01", false, true, V::Known},
      {"another certificate", "SRV1", "BB:02", false, false, V::Changed},
      {"another certificate, CA-signed", "SRV1", "BB:02", true, true, V::CaSigned},
      {"a second server", "SRV2", "CC:03", false, false, V::Recorded},
  };
  for (const auto& s : steps) {
    const auto check = cvclient::CheckServerIdentity(file, s.name, "127.0.0.1:1", s.fingerprint, s.ca, s.strict);
    EXPECT_EQ(check.verdict, s.verdict) << s.what << ": " << check.message;
  }
  const auto changed = cvclient::CheckServerIdentity(file, "SRV1", "127.0.0.1:1", "BB:02", false, false);
  EXPECT_NE(changed.message.find("AA:01"), std::string::npos);
  EXPECT_NE(changed.message.find("BB:02"), std::string::npos);
  EXPECT_NE(changed.message.find(file), std::string::npos);
  EXPECT_EQ(cvclient::ParseKnownServers([&] {
              std::ifstream in(file);
              return std::string(std::istreambuf_iterator<char>(in), {});
            }()).size(),
            2u);
  std::filesystem::remove_all(dir);
}

TEST(ConnectionTable, LowestFreeSlotAndCapacity) {
  cvserver::ConnectionTable t(3, 2);
  EXPECT_EQ(t.Take("A", 1, false, {}), 1u);
  EXPECT_EQ(t.Take("B", 2, false, {}), 2u);
  EXPECT_EQ(t.Take("C", 3, false, {}), 3u);
  EXPECT_EQ(t.Take("D", 4, false, {}), 0u) << "full";
  t.Free(2);
  EXPECT_EQ(t.Get(2), nullptr);
  EXPECT_EQ(t.inUse(), 2u);
  EXPECT_EQ(t.Take("E", 5, false, {}), 2u) << "lowest free slot";
  ASSERT_NE(t.Get(2), nullptr);
  EXPECT_EQ(t.Get(2)->user, "E");
  EXPECT_EQ(t.peak(), 3u);
  EXPECT_EQ(t.Get(0), nullptr);
  EXPECT_EQ(t.Get(4), nullptr);
}

TEST(ConnectionTable, MessageQueuesAreBounded) {
  cvserver::ConnectionTable t(2, 2);
  t.Take("A", 1, false, {});
  EXPECT_EQ(t.Queue(1, "one"), 0u);
  EXPECT_EQ(t.Queue(1, "two"), 0u);
  EXPECT_EQ(t.Queue(1, "three"), 0x89FCu);
  EXPECT_EQ(t.Queue(2, "x"), 0x89FDu) << "free slot";
  EXPECT_EQ(t.TakeMessages(1), (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(t.TakeMessages(1).empty());
  EXPECT_EQ(t.Queue(1, "again"), 0u);
  // Taken or freed, a queue keeps no memory (every slot has one).
  EXPECT_EQ(t.TakeMessages(1), (std::vector<std::string>{"again"}));
  EXPECT_EQ(t.Get(1)->messages.capacity(), 0u);
  EXPECT_EQ(t.Queue(1, "left"), 0u);
  t.Free(1);
  EXPECT_EQ(t.Take("B", 2, false, {}), 1u);
  EXPECT_TRUE(t.TakeMessages(1).empty()) << "a new holder does not get the last one's messages";
  EXPECT_EQ(t.Get(1)->messages.capacity(), 0u);
}

TEST(PeerAddress, RecordsOfIpv4AndIpv6Peers) {
  using Bytes = std::array<std::uint8_t, 12>;
  const auto v4 = cvserver::Ipv4PeerAddress({192, 168, 0, 10}, 0x1F90);
  EXPECT_EQ(v4.type, 11);
  EXPECT_EQ(v4.bytes, (Bytes{192, 168, 0, 10, 0x1F, 0x90}));
  const auto loopback = cvserver::Ipv6PeerAddress({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 4000);
  EXPECT_EQ(loopback.type, 23);
  EXPECT_EQ(loopback.bytes, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})) << "no port";
  const auto global = cvserver::Ipv6PeerAddress(
      {0x20, 0x01, 0x0d, 0xb8, 0xaa, 0xaa, 0xbb, 0xbb, 1, 2, 3, 4, 5, 6, 7, 8}, 4000);
  EXPECT_EQ(global.bytes, (Bytes{0xaa, 0xaa, 0xbb, 0xbb, 1, 2, 3, 4, 5, 6, 7, 8})) << "the low 96 bits";
  const auto mapped =
      cvserver::Ipv6PeerAddress({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1}, 0x0102);
  EXPECT_EQ(mapped.type, 11) << "an IPv4-mapped peer is an IPv4 peer";
  EXPECT_EQ(mapped.bytes, (Bytes{127, 0, 0, 1, 1, 2}));
}

class ParameterStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() / ("cvparams-" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(path_);
  }
  void TearDown() override {
    for (const char* s : {"", "-wal", "-shm"}) std::filesystem::remove(path_.string() + s);
  }
  std::vector<cvserver::ParameterConfig> configured_{{"Maximum Packet Receive Buffers", false, "", 500},
                                                     {"Server Banner", true, "Hello", 0}};
  std::filesystem::path path_;
};

TEST_F(ParameterStoreTest, TypesAreCheckedAndValuesSurviveReopening) {
  std::string error;
  {
    cvserver::ParameterStore s;
    ASSERT_TRUE(s.Open(path_.string(), configured_, error)) << error;
    struct Case {
      const char* name;
      bool text;
      const char* textValue;
      std::int32_t number;
      std::uint32_t code;
    } cases[] = {
        {"maximum packet receive buffers", false, "", 800, 0},
        {"Maximum Packet Receive Buffers", true, "100", 0, 140},
        {"server banner", true, "Welcome", 0, 0},
        {"Server Banner", false, "", 5, 140},
        {"No Such Thing", true, "x", 0, 191},
        {"No Such Thing", false, "", 1, 191},
    };
    for (const auto& c : cases) {
      const auto code = c.text ? s.SetText(c.name, c.textValue) : s.SetNumber(c.name, c.number);
      EXPECT_EQ(code, c.code) << c.name;
    }
    EXPECT_EQ(s.SetFromCommand("Maximum Packet Receive Buffers", "abc"), 140u);
    EXPECT_EQ(s.SetFromCommand("Maximum Packet Receive Buffers", "0x10"), 0u);
    EXPECT_EQ(s.entries()[0].number, 16);
    EXPECT_EQ(s.SetText("Server Banner", std::string(300, 'x')), 0x88FBu);
  }
  cvserver::ParameterStore again;
  ASSERT_TRUE(again.Open(path_.string(), configured_, error)) << error;
  EXPECT_EQ(again.entries()[0].number, 16);
  EXPECT_EQ(again.entries()[1].text, "Welcome");
}

TEST(ClientIni, SectionsKeysAndBounds) {
  cvclient::IniFile ini;
  ASSERT_TRUE(ini.Parse("; comment\n[Servers]\n SRV1 = 127.0.0.1:5240 \nsrv2=h:1\n[login]\nUser=ADMIN\n"
                        "[SERVERS]\nSRV1=other:1\n"));
  EXPECT_EQ(ini.Get("servers", "srv1").value_or(""), "other:1") << "a repeated key replaces the value in place";
  ASSERT_EQ(ini.Section("Servers").size(), 2u);
  EXPECT_EQ(ini.Section("Servers")[0].first, "SRV1");
  EXPECT_EQ(ini.Get("Login", "user").value_or(""), "ADMIN");
  EXPECT_FALSE(ini.Get("Login", "Missing"));
  std::size_t line = 0;
  EXPECT_FALSE(ini.Parse("[ok]\n[broken\n", &line));
  EXPECT_EQ(line, 2u);
  EXPECT_FALSE(ini.Parse("a=" + std::string(cvclient::kMaxIniLine + 1, 'x')));
}

}  // namespace
