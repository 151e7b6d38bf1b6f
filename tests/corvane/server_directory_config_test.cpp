// cvserverd's [directory] section: replicas in either form, TLS settings,
// the directory workers, and the mistakes the agent refuses to start with.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "corvane/server/config.h"
#include "support/temp_dir.h"

namespace {

struct Case {
  const char* what;
  std::string directory;  // the [directory] lines besides base, tree and server
  bool ok;
  std::vector<std::string> uris;
};

TEST(DirectoryConfig, ReplicasTlsAndWorkersAreReadAndMistakesRefused) {
  testsupport::TempDir dir;
  const std::string ca = dir / "ca.pem";
  std::ofstream(ca) << "not checked here\n";
  const Case cases[] = {
      {"one URI", "uri = \"ldap://a:389\"", true, {"ldap://a:389"}},
      {"blank-separated", "uri = \"ldap://a:389  ldaps://b:636\"", true, {"ldap://a:389", "ldaps://b:636"}},
      {"an array", "uri = [\"ldaps://a:636\", \"ldaps://b:636\"]", true, {"ldaps://a:636", "ldaps://b:636"}},
      {"TLS settings", "uri = \"ldap://a\"\nstart_tls = true\nca_file = \"" + ca + "\"\nworkers = 8", true, {"ldap://a"}},
      {"no URI", "", false, {}},
      {"another scheme", "uri = \"http://a\"", false, {}},
      {"a URI with a base", "uri = \"ldap://a/dc=x\"", false, {}},
      {"one bad URI of two", "uri = [\"ldap://a\", \"a:389\"]", false, {}},
      {"an unreadable CA file", "uri = \"ldaps://a\"\nca_file = \"" + (dir / "none.pem") + "\"", false, {}},
      {"no workers", "uri = \"ldap://a\"\nworkers = 0", false, {}},
      {"too many workers", "uri = \"ldap://a\"\nworkers = 65", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir / "cvserverd.toml";
    std::ofstream(path, std::ios::trunc) << "[server]\nname = \"SRV1\"\nstate = \"" << (dir / "state.db") << "\"\n"
                                         << "[directory]\n" << c.directory
                                         << "\nbase = \"dc=x\"\ntree = \"ACME\"\nserver = \"SRV1.ACME\"\n";
    std::string error;
    const auto config = cvserver::LoadConfig(path, error);
    ASSERT_EQ(config.has_value(), c.ok) << error;
    if (!c.ok) {
      EXPECT_NE(error.find("[directory]"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(config->directory.uris, c.uris);
  }
  const std::string path = dir / "cvserverd.toml";
  std::ofstream(path, std::ios::trunc) << "[server]\nname = \"SRV1\"\nstate = \"" << (dir / "state.db")
                                       << "\"\n[directory]\nuri = \"ldap://a\"\nstart_tls = true\nca_file = \"" << ca
                                       << "\"\nworkers = 8\nbase = \"dc=x\"\ntree = \"acme\"\nserver = \"SRV1.ACME\"\n";
  std::string error;
  const auto config = cvserver::LoadConfig(path, error);
  ASSERT_TRUE(config) << error;
  EXPECT_TRUE(config->directory.startTls);
  EXPECT_EQ(config->directory.caFile, ca);
  EXPECT_EQ(config->directory.workers, 8u);
  EXPECT_EQ(config->directory.tree, "ACME");
}

}  // namespace
