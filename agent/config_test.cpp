#include "agent/config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace agent {
namespace {

namespace fs = std::filesystem;

TEST(ConfigText, ReadsKeysCommentsAndOriginsAndReportsBadLines) {
  AgentConfig config;
  std::vector<std::string> problems;
  ParseConfigText(
      "# settings\n"
      "scanner-backend = libfprint   # the USB scanners\n"
      "\n"
      "virtual-scanners=3\r\n"
      "allow-origin = https://App.example.com/\n"
      "allow-origin = https://app.example.com\n"
      "trust-browsers = yes\n"
      "virtual-scanners = 9\n"
      "scanner-backend = magic\n"
      "colour = blue\n"
      "just words\n",
      "test.conf", config, problems);
  EXPECT_EQ(config.scannerBackend, "libfprint");
  EXPECT_EQ(config.virtualScanners, 3);
  EXPECT_TRUE(config.trustBrowsers);
  EXPECT_EQ(config.allowedOrigins, std::vector<std::string>{"https://app.example.com"});
  ASSERT_EQ(problems.size(), 4U);
  EXPECT_EQ(problems[0].rfind("test.conf, line 8: ", 0), 0U) << problems[0];
  EXPECT_NE(problems[2].find("'colour'"), std::string::npos);
}

TEST(ConfigText, OriginsFileHasOneOriginALine) {
  AgentConfig config;
  std::vector<std::string> problems;
  ParseOriginsText(
      "# our applications\n"
      "https://app.example.com\n"
      "  http://localhost:9000   # development\n"
      "app.example.com\n",
      "allowed-origins", config, problems);
  EXPECT_EQ(config.allowedOrigins,
            (std::vector<std::string>{"https://app.example.com", "http://localhost:9000"}));
  ASSERT_EQ(problems.size(), 1U);
  EXPECT_EQ(problems[0].rfind("allowed-origins, line 4: \"app.example.com\" is not an origin", 0),
            0U)
      << problems[0];
}

class ConfigFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/webagent-config-XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ / "system" / "webagent");
    fs::create_directories(root_ / "user" / "webagent");
    setenv("XDG_CONFIG_DIRS", (root_ / "system").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ / "user").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_DIRS");
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
  }
  void Write(const fs::path& relative, const std::string& text) {
    std::ofstream(root_ / relative) << text;
  }
  fs::path root_;
};

TEST_F(ConfigFiles, UserOverridesSystemOriginsAddUpAndCommandLineComesLast) {
  Write("system/webagent/webagent.conf",
        "scanner-backend = libfprint\nvirtual-scanners = 0\nallow-origin = https://a.example\n");
  Write("system/webagent/allowed-origins", "https://b.example\n");
  Write("user/webagent/webagent.conf", "virtual-scanners = 2\n");
  Write("user/webagent/allowed-origins", "https://c.example\nhttps://a.example\n");
  CommandLine line;
  line.allowOrigins = {"https://d.example"};
  std::vector<std::string> problems;
  auto config = LoadConfig(line, problems);
  ASSERT_TRUE(config.has_value());
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(config->scannerBackend, "libfprint");
  EXPECT_EQ(config->virtualScanners, 2);
  EXPECT_EQ(config->allowedOrigins,
            (std::vector<std::string>{"https://a.example", "https://b.example", "https://c.example",
                                      "https://d.example"}));
}

TEST_F(ConfigFiles, ConfigOptionReplacesTheUsualFilesAndMustExist) {
  Write("user/webagent/allowed-origins", "https://c.example\n");
  Write("other.conf", "allow-origin = https://e.example\n");
  CommandLine line;
  line.configFile = (root_ / "other.conf").string();
  std::vector<std::string> problems;
  auto config = LoadConfig(line, problems);
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->allowedOrigins, std::vector<std::string>{"https://e.example"});

  line.configFile = (root_ / "missing.conf").string();
  EXPECT_FALSE(LoadConfig(line, problems).has_value());
  EXPECT_NE(problems.back().find("missing.conf"), std::string::npos);
}

TEST_F(ConfigFiles, EnvironmentWinsOverTheFiles) {
  setenv("WEBAGENT_VIRTUAL_SCANNERS", "5", 1);
  unsetenv("WEBAGENT_SCANNER_BACKEND");
  AgentConfig config;
  config.virtualScanners = 2;
  config.scannerBackend = "virtual";
  ExportDeviceSettings(config);
  EXPECT_STREQ(getenv("WEBAGENT_VIRTUAL_SCANNERS"), "5");
  EXPECT_STREQ(getenv("WEBAGENT_SCANNER_BACKEND"), "virtual");
  unsetenv("WEBAGENT_VIRTUAL_SCANNERS");
  unsetenv("WEBAGENT_SCANNER_BACKEND");
}

}  // namespace
}  // namespace agent
