#include "platform/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

namespace platform {
namespace {

namespace fs = std::filesystem;

class Paths : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/webagent-paths-XXXXXX";
    root_ = mkdtemp(pattern);
    cwd_ = fs::current_path();
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
                             "XDG_RUNTIME_DIR", "XDG_CONFIG_DIRS"}) {
      if (const char* value = getenv(name)) {
        saved_.emplace_back(name, value);
      }
      unsetenv(name);
    }
    setenv("HOME", (root_ / "home").c_str(), 1);
  }
  void TearDown() override {
    fs::current_path(cwd_);
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
                             "XDG_RUNTIME_DIR", "XDG_CONFIG_DIRS"}) {
      unsetenv(name);
    }
    for (const auto& [name, value] : saved_) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    fs::remove_all(root_);
  }
  // A prefix as the package installs it: bin/ and share/webagent/html/ with a page.
  fs::path MakePrefix() {
    const fs::path prefix = root_ / "usr";
    fs::create_directories(prefix / "bin");
    fs::create_directories(prefix / "share/webagent/html/js");
    std::ofstream(prefix / "share/webagent/html/index.html") << "<html></html>";
    std::ofstream(prefix / "share/webagent/html/js/webagent.js") << "export {};";
    return prefix;
  }
  fs::path root_;
  fs::path cwd_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(Paths, XdgFoldersFollowTheVariablesAndIgnoreRelativeOnes) {
  EXPECT_EQ(DataHome(), root_ / "home/.local/share");
  EXPECT_EQ(ConfigHome(), root_ / "home/.config");
  EXPECT_EQ(ConfigDirs(), std::vector<fs::path>{"/etc/xdg"});
  setenv("XDG_DATA_HOME", "relative/data", 1);
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  setenv("XDG_CONFIG_DIRS", "/a:relative::/b", 1);
  EXPECT_EQ(DataHome(), root_ / "home/.local/share");
  EXPECT_EQ(ConfigHome(), fs::path("/cfg"));
  EXPECT_EQ(ConfigDirs(), (std::vector<fs::path>{"/a", "/b"}));
}

TEST_F(Paths, BuildFolderKeepsCertBesideTheExecutableAndHtmlInTheWorkingDirectory) {
  const AgentLayout layout = ResolveAgentLayout((root_ / "build/bin").string());
  EXPECT_FALSE(layout.installed);
  EXPECT_EQ(layout.documentRoot, fs::path("./html"));
  EXPECT_EQ(layout.certificateFile, root_ / "build/bin/cert/localhost_cert.crt");
  EXPECT_EQ(layout.privateKeyFile, root_ / "build/bin/cert/localhost_cert.key");
  EXPECT_EQ(ResolveAgentLayout("").certificateFile, fs::path("cert/localhost_cert.crt"));
}

TEST_F(Paths, InstalledAgentWorksInAPrivateFolderThatShowsTheInstalledPage) {
  const fs::path prefix = MakePrefix();
  setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
  fs::create_directories(root_ / "run");
  const AgentLayout layout = ResolveAgentLayout((prefix / "bin").string());
  ASSERT_TRUE(layout.installed);
  EXPECT_EQ(layout.pageDir, prefix / "share/webagent/html");
  EXPECT_EQ(layout.certificateFile, root_ / "home/.local/share/webagent/localhost_cert.crt");
  EXPECT_EQ(layout.workingDir, root_ / "run/webagent");

  // A link left by an older version of the page that leads nowhere now.
  fs::create_directories(layout.workingDir / "html");
  fs::create_symlink(prefix / "share/webagent/html/old.html", layout.workingDir / "html/old.html");

  std::string error;
  ASSERT_TRUE(EnterInstalledWorkingDir(layout, &error)) << error;
  EXPECT_TRUE(fs::equivalent(fs::current_path(), layout.workingDir));
  EXPECT_TRUE(fs::is_regular_file("html/index.html"));
  EXPECT_TRUE(fs::is_regular_file("html/js/webagent.js"));
  EXPECT_FALSE(fs::exists(fs::symlink_status("html/old.html")));
  EXPECT_TRUE(fs::is_directory("html/img"));
  std::ofstream("html/img/convertedCaptureImage.bmp") << "BM";  // exports are written here
  EXPECT_FALSE(fs::exists(prefix / "share/webagent/html/img"));
  struct stat info {};
  ASSERT_EQ(stat(layout.workingDir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700U);

  // A second start (or an upgrade) finds its own folder and refreshes it.
  fs::current_path(cwd_);
  ASSERT_TRUE(EnterInstalledWorkingDir(layout, &error)) << error;
  EXPECT_TRUE(fs::exists("html/img/convertedCaptureImage.bmp"));
}

TEST_F(Paths, WithoutARuntimeFolderTheCacheFolderIsUsed) {
  const fs::path prefix = MakePrefix();
  EXPECT_EQ(ResolveAgentLayout((prefix / "bin").string()).workingDir,
            root_ / "home/.cache/webagent");
}

}  // namespace
}  // namespace platform
