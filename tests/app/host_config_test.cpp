#include "app/host_config.hpp"

#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "session/crypto.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;
using ::testing::HasSubstr;

constexpr const char* kSecret = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

unsigned permissions(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

bool isLowerHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(DataDirectory, ResolutionOrder) {
  const struct {
    const char* label;
    bool override;
    const char* environment;
    std::vector<const char*> existing;
    const char* expected;  // relative to the temporary root
  } cases[] = {
      {"nothing exists", false, nullptr, {}, "home/.nimbrel"},
      {"only the older name", false, nullptr, {"home/.vantaframe"}, "home/.vantaframe"},
      {"both names", false, nullptr, {"home/.vantaframe", "home/.nimbrel"}, "home/.nimbrel"},
      {"empty environment ignored", false, "", {"home/.vantaframe"}, "home/.vantaframe"},
      {"environment wins over home", false, "env", {"home/.nimbrel"}, "env"},
      {"override wins over all", true, "env", {"home/.nimbrel"}, "override"},
  };
  for (const auto& c : cases) {
    TempDir root;
    for (const char* dir : c.existing) fs::create_directories(root / dir);
    const std::string environment =
        c.environment && *c.environment ? (root / c.environment).string() : "";
    const auto override = c.override ? std::optional<fs::path>(root / "override") : std::nullopt;
    EXPECT_EQ(resolveDataDirectory(override, c.environment ? environment.c_str() : nullptr,
                                   root / "home"),
              root / c.expected)
        << c.label;
  }
  // A plain file of the current name counts as present too.
  TempDir root;
  writeFile(root / "home/.nimbrel", "");
  fs::create_directories(root / "home/.vantaframe");
  EXPECT_EQ(resolveDataDirectory(std::nullopt, nullptr, root / "home"), root / "home/.nimbrel");
}

TEST(HostConfigStore, FirstLoadCreatesAndSavesANewIdentity) {
  TempDir root;
  const fs::path dir = root / ".nimbrel";
  const HostConfig created = loadConfig(dir);
  EXPECT_EQ(created.hostID.size(), 16u);
  EXPECT_TRUE(isLowerHex(created.hostID));
  EXPECT_EQ(created.secret.size(), 64u);
  EXPECT_TRUE(isLowerHex(created.secret));
  EXPECT_EQ(created.port, 7300);
  EXPECT_TRUE(created.cloud);
  EXPECT_EQ(created.api, kDefaultApiBase);
  EXPECT_FALSE(created.name.empty());
  EXPECT_FALSE(created.enrolled());
  EXPECT_EQ(permissions(dir / "config.json"), 0600u);
  EXPECT_EQ(loadConfig(dir), created);
  EXPECT_NE(newIdentity().secret, created.secret);
}

TEST(HostConfigStore, FileFormIsIndentedSortedWithEscapedSlashes) {
  HostConfig config;
  config.hostID = "0123456789abcdef";
  config.secret = kSecret;
  config.name = "Zoë's \"desk\"";
  config.port = 7300;
  config.api = "https://api.nimbrel.invalid/v1";
  config.cloud = false;
  config.cloudID = "c/1";
  config.hostToken = "tok";
  config.allowedOrigins = {"https://desk.example.org"};
  EXPECT_EQ(encodeConfig(config),
            "{\n"
            "  \"allowed_origins\" : [\n"
            "    \"https:\\/\\/desk.example.org\"\n"
            "  ],\n"
            "  \"api\" : \"https:\\/\\/api.nimbrel.invalid\\/v1\",\n"
            "  \"cloud\" : false,\n"
            "  \"cloud_id\" : \"c\\/1\",\n"
            "  \"host_id\" : \"0123456789abcdef\",\n"
            "  \"host_token\" : \"tok\",\n"
            "  \"name\" : \"Zoë's \\\"desk\\\"\",\n"
            "  \"port\" : 7300,\n"
            "  \"secret\" : \"" + std::string(kSecret) + "\"\n"
            "}");

  TempDir root;
  saveConfig(config, root.path());
  EXPECT_EQ(permissions(root / "config.json"), 0600u);
  EXPECT_EQ(loadConfig(root.path()), config);
}

TEST(HostConfigStore, UsableFilesLoadWithoutBeingRewritten) {
  const std::string minimal =
      std::string("{\"host_id\":\"feedfacecafebeef\",\"secret\":\"") + kSecret + "\"}";
  const struct {
    const char* label;
    std::string file;
    std::int64_t port;
    bool cloud;
  } cases[] = {
      {"only host_id and secret", minimal, 7300, true},
      {"upper-case secret",
       "{\"host_id\":\"feedfacecafebeef\",\"secret\":\"" +
           std::string("00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF") + "\"}",
       7300, true},
      {"origins that are not texts are left out",
       std::string("{\"host_id\":\"feedfacecafebeef\",\"secret\":\"") + kSecret +
           "\",\"allowed_origins\":[\"https://a.example\",7]}",
       7300, true},
      {"nulls count as absent, unknown keys ignored",
       std::string("{\"host_id\":\"feedfacecafebeef\",\"secret\":\"") + kSecret +
           "\",\"port\":null,\"cloud\":null,\"extra\":[1,2]}",
       7300, true},
      {"any whitespace, plain slash, integral port with a fraction",
       std::string("\n\t{ \"api\" : \"https://x.invalid\", \"port\": 8000.0, \"cloud\":false,\r\n"
                   "\"host_id\":\"feedfacecafebeef\",\"secret\":\"") + kSecret + "\"}",
       8000, false},
  };
  for (const auto& c : cases) {
    TempDir root;
    writeFile(root / "config.json", c.file);
    test::LogCapture log;
    const HostConfig config = loadConfig(root.path());
    EXPECT_EQ(config.hostID, "feedfacecafebeef") << c.label;
    EXPECT_EQ(config.port, c.port) << c.label;
    EXPECT_EQ(config.cloud, c.cloud) << c.label;
    EXPECT_EQ(config.cloudID, "") << c.label;
    EXPECT_EQ(config.hostToken, "") << c.label;
    EXPECT_EQ(readFile(root / "config.json"), c.file) << c.label;
    EXPECT_FALSE(fs::exists(root / "config.json.bad")) << c.label;
    EXPECT_TRUE(log.lines().empty()) << c.label;
  }
}

TEST(HostConfigStore, UnusableFileIsKeptAsBadAndReplacedByANewIdentity) {
  const std::string secret62(kSecret, 62);
  const struct {
    const char* label;
    std::string file;
    const char* reason;
  } cases[] = {
      {"62-character secret", "{\"host_id\":\"a\",\"secret\":\"" + secret62 + "\"}", "secret"},
      {"non-hex secret",
       "{\"secret\":\"zz112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\"}",
       "secret"},
      {"port as a string",
       std::string("{\"secret\":\"") + kSecret + "\",\"port\":\"7300\"}", "\"port\""},
      {"fractional port", std::string("{\"secret\":\"") + kSecret + "\",\"port\":7300.5}",
       "\"port\""},
      {"cloud as a number", std::string("{\"secret\":\"") + kSecret + "\",\"cloud\":1}",
       "\"cloud\""},
      {"truncated JSON", std::string("{\"secret\":\"") + kSecret, "not JSON"},
      {"not an object", "[1,2,3]", "not a JSON object"},
      {"empty file", "", "not JSON"},
  };
  for (const auto& c : cases) {
    TempDir root;
    writeFile(root / "config.json", c.file);
    test::LogCapture log;
    const HostConfig fresh = loadConfig(root.path());
    EXPECT_EQ(fresh.secret.size(), 64u) << c.label;
    EXPECT_NE(fresh.hostID, "feedfacecafebeef") << c.label;
    EXPECT_EQ(readFile(root / "config.json.bad"), c.file) << c.label;
    EXPECT_EQ(loadConfig(root.path()), fresh) << c.label;  // the new identity was saved
    EXPECT_EQ(permissions(root / "config.json"), 0600u) << c.label;
    ASSERT_EQ(log.lines().size(), 1u) << c.label;
    EXPECT_THAT(log.lines()[0], HasSubstr(c.reason)) << c.label;
    EXPECT_THAT(log.lines()[0], HasSubstr("config.json.bad")) << c.label;
  }
}

TEST(HostConfigStore, UnreadableFileIsKeptToo) {
  TempDir root;
  fs::create_directories(root / "config.json/inside");  // a directory cannot be read as a file
  test::LogCapture log;
  const HostConfig fresh = loadConfig(root.path());
  EXPECT_TRUE(fs::is_directory(root / "config.json.bad/inside"));
  EXPECT_EQ(loadConfig(root.path()), fresh);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_THAT(log.lines()[0], HasSubstr("unreadable"));
}

TEST(HostConfigStore, DamagedFileThatCannotBeKeptIsLeftAlone) {
  TempDir root;
  writeFile(root / "config.json", "{damaged");
  writeFile(root / "config.json.bad/occupied", "x");  // rename onto a full directory fails
  test::LogCapture log;
  const HostConfig fresh = loadConfig(root.path());
  EXPECT_EQ(fresh.secret.size(), 64u);
  EXPECT_EQ(readFile(root / "config.json"), "{damaged");
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_THAT(log.lines()[0], HasSubstr("not saved"));
}

TEST(HostConfigStore, FailedSaveIsLogged) {
  TempDir root;
  writeFile(root / "blocker", "a file where the data directory should be");
  test::LogCapture log;
  HostConfig config = newIdentity();
  saveConfig(config, root / "blocker/.nimbrel");
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_THAT(log.lines()[0], HasSubstr("Couldn't save the configuration"));
  // and Load in an unwritable place still returns a usable identity
  const HostConfig loaded = loadConfig(root / "blocker/.nimbrel");
  EXPECT_EQ(loaded.secret.size(), 64u);
}

TEST(HostConfigStore, SaveLeavesNoTemporaryFilesBehind) {
  TempDir root;
  HostConfig config = newIdentity();
  for (int i = 0; i < 3; ++i) {
    config.port = 7300 + i;
    saveConfig(config, root.path());
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(root.path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"config.json"});
  EXPECT_EQ(loadConfig(root.path()).port, 7302);
}

}  // namespace
}  // namespace nimbrel
