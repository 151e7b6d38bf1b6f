// client.ini's [Trees]: LDAP URLs with the base entry of each tree.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include "corvane/client/config.h"
#include "support/temp_dir.h"

namespace {

struct UrlCase {
  const char* url;
  bool ok;
  const char* uri;
  const char* base;
};

TEST(TreeUrl, ParsesLdapUrlsWithTheirBase) {
  const UrlCase cases[] = {
      {"ldap://127.0.0.1:3890/dc=corvane,dc=test", true, "ldap://127.0.0.1:3890", "dc=corvane,dc=test"},
      {"ldaps://ldap.example.com/o=ACME", true, "ldaps://ldap.example.com", "o=ACME"},
      {"ldap://host:389/ou=Sales%20Office,o=ACME", true, "ldap://host:389", "ou=Sales Office,o=ACME"},
      {"ldap://host:389/o=ACME?cn?sub", true, "ldap://host:389", "o=ACME"},
      {"ldap://host:389", true, "ldap://host:389", ""},
      {"ldap://[::1]:389/o=X", true, "ldap://[::1]:389", "o=X"},
      {"ldap:///o=ACME", false, "", ""},
      {"http://host/o=ACME", false, "", ""},
      {"SRV1", false, "", ""},
      {"ldap://user@host/o=X", false, "", ""},
      {"ldap://host/o=%4", false, "", ""},
      {"ldap://host/o=%zz", false, "", ""},
      {"ldap://host/o=%00", false, "", ""},
  };
  for (const auto& c : cases) {
    std::string uri, base;
    EXPECT_EQ(cvclient::ParseTreeUrl(c.url, uri, base), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(uri, c.uri) << c.url;
    EXPECT_EQ(base, c.base) << c.url;
  }
}

TEST(TreeUrl, ConfigurationKeepsTheUsableTreesInFileOrder) {
  testsupport::TempDir dir;
  const std::string ini = dir / "client.ini";
  std::ofstream(ini) << "[Trees]\nacme=ldap://127.0.0.1:3890/dc=corvane,dc=test\nBROKEN=SRV1\n"
                        "OTHER=ldap://h:1/o=x\n[Login]\nTree=ACME\nUser=JSMITH.SALES.ACME\n";
  ::setenv("CORVANE_CLIENT", ini.c_str(), 1);
  const auto c = cvclient::LoadClientConfig();
  ASSERT_EQ(c.trees.size(), 2u);
  EXPECT_EQ(c.trees[0].name, "ACME");
  EXPECT_EQ(c.trees[1].name, "OTHER");
  ASSERT_NE(c.FindTree("Acme"), nullptr);
  EXPECT_EQ(c.FindTree("acme")->base, "dc=corvane,dc=test");
  EXPECT_EQ(c.FindTree("BROKEN"), nullptr);
  EXPECT_EQ(c.tree, "ACME");
  EXPECT_EQ(c.user, "JSMITH.SALES.ACME");
}

}  // namespace

namespace {

struct ReplicaCase {
  const char* value;
  bool ok;
  std::vector<std::string> uris;
  const char* base;
};

TEST(TreeUrl, ReplicasAreListedInOrderWithOneBase) {
  const ReplicaCase cases[] = {
      {"ldap://a:389/o=ACME", true, {"ldap://a:389"}, "o=ACME"},
      {"ldap://a:389/o=ACME ldaps://b:636/o=ACME", true, {"ldap://a:389", "ldaps://b:636"}, "o=ACME"},
      {"  ldap://a/o=X,c=US ldap://b/o=X,c=US \t ldap://c/o=X,c=US ", true, {"ldap://a", "ldap://b", "ldap://c"},
       "o=X,c=US"},
      {"ldap://a/o=ACME ldap://b/o=OTHER", false, {}, ""},
      {"ldap://a/o=ACME SRV1", false, {}, ""},
      {"ldap://a/o=ACME ldap:///o=ACME", false, {}, ""},
      {"", false, {}, ""},
      {" \t ", false, {}, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> uris;
    std::string base;
    EXPECT_EQ(cvclient::ParseTreeUrls(c.value, uris, base), c.ok) << c.value;
    if (!c.ok) continue;
    EXPECT_EQ(uris, c.uris) << c.value;
    EXPECT_EQ(base, c.base) << c.value;
  }
  // More replicas than anyone runs is a mistake, not a list to try for minutes.
  std::string many;
  for (int i = 0; i < 17; ++i) many += "ldap://h" + std::to_string(i) + "/o=X ";
  std::vector<std::string> uris;
  std::string base;
  EXPECT_FALSE(cvclient::ParseTreeUrls(many, uris, base));
}

TEST(TreeUrl, DirectoryTlsSettingsAreRead) {
  testsupport::TempDir dir;
  const std::string ini = dir / "client.ini";
  std::ofstream(ini) << "[Trees]\nACME=ldap://a:389/o=ACME ldap://b:389/o=ACME\n"
                        "[Directory]\nStartTLS=yes\nCAFile=/etc/corvane/ldap-ca.pem\n";
  ::setenv("CORVANE_CLIENT", ini.c_str(), 1);
  const auto c = cvclient::LoadClientConfig();
  ASSERT_EQ(c.trees.size(), 1u);
  EXPECT_EQ(c.trees[0].uris, (std::vector<std::string>{"ldap://a:389", "ldap://b:389"}));
  EXPECT_TRUE(c.directoryStartTls);
  EXPECT_EQ(c.directoryCaFile, "/etc/corvane/ldap-ca.pem");

  std::ofstream(ini, std::ios::trunc) << "[Trees]\nACME=ldap://a:389/o=ACME\n";
  const auto plain = cvclient::LoadClientConfig();
  EXPECT_FALSE(plain.directoryStartTls);
  EXPECT_TRUE(plain.directoryCaFile.empty());
}

}  // namespace
