#include "devicelib/virtual/control_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "devicelib/status.h"
#include "devicelib/virtual/virtual_scanner.h"

namespace devicelib::virt {
namespace {

// Points XDG_RUNTIME_DIR at a private temporary folder for the test's lifetime.
class ControlSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vs_ctl_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old != nullptr) {
      saved = old;
      hadSaved = true;
    }
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    path = dir + "/webagent-virtual-scanner.sock";
  }
  void TearDown() override {
    if (hadSaved) {
      setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    std::filesystem::remove_all(dir);
  }
  std::unique_ptr<VirtualScannerLib> StartBackend() {
    VirtualScannerOptions options;
    options.types = {kTypeTessaroFlat};
    return std::make_unique<VirtualScannerLib>(options);
  }
  std::string Ask(const std::string& request) {
    std::string answer, error;
    EXPECT_TRUE(SendControlRequest(path, request, &answer, &error)) << error;
    return answer;
  }

  std::string dir, path, saved;
  bool hadSaved = false;
};

TEST_F(ControlSocketTest, ServesTheUserOnlyAndChangesDevices) {
  auto lib = StartBackend();
  ASSERT_EQ(lib->ControlPath(), path);
  EXPECT_EQ(ControlSocketPath(), path);
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::string list = Ask("list");
  EXPECT_EQ(list.rfind("ok\n", 0), 0u) << list;
  EXPECT_NE(list.find("VS-0001-"), std::string::npos) << list;
  EXPECT_NE(list.find("1005 Tessaro Flat"), std::string::npos) << list;
  EXPECT_NE(list.find("finger 1"), std::string::npos) << list;

  EXPECT_EQ(Ask("place 0 17 35"), "ok\n");
  auto devices = lib->ListDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_TRUE(devices[0].fingerOn);
  EXPECT_EQ(devices[0].finger, 17u);
  EXPECT_EQ(devices[0].placementQuality, 35);
  EXPECT_EQ(Ask("lift 0"), "ok\n");
  EXPECT_FALSE(lib->ListDevices()[0].fingerOn);

  EXPECT_EQ(Ask("plug 1001"), "ok\nplugged device 1\n");
  EXPECT_EQ(Ask("plug"), "ok\nplugged device 2\n");
  devices = lib->ListDevices();
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[1].type, kTypeKq10);
  EXPECT_EQ(devices[2].type, kDefaultType);
  EXPECT_EQ(Ask("unplug 1"), "ok\n");
  EXPECT_EQ(lib->ListDevices().size(), 2u);

  for (const char* bad : {"place 9 1 90", "lift 5", "unplug 5", "place 0 1 101", "place 0 -1 50",
                          "plug 0", "plug x", "dance", "place 0", ""}) {
    EXPECT_EQ(Ask(bad).rfind("error\n", 0), 0u) << bad;
  }
  EXPECT_NE(Ask("lift 5").find("no device 5"), std::string::npos);
}

TEST_F(ControlSocketTest, StaleSocketIsReplacedAndFileRemovedOnDestruction) {
  {
    // What a crashed agent leaves: a socket file nobody listens on.
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(fd);
    ASSERT_TRUE(std::filesystem::exists(path));
  }
  auto lib = StartBackend();
  ASSERT_EQ(lib->ControlPath(), path);
  EXPECT_EQ(Ask("lift 0"), "ok\n");

  // A second backend finds the socket live and does without one, leaving the first in peace.
  auto second = StartBackend();
  EXPECT_EQ(second->ControlPath(), "");
  second.reset();
  EXPECT_EQ(Ask("place 0 2 90"), "ok\n");

  lib.reset();
  EXPECT_FALSE(std::filesystem::exists(path));
  std::string answer, error;
  EXPECT_FALSE(SendControlRequest(path, "list", &answer, &error));
  EXPECT_EQ(error.rfind("no running agent", 0), 0u) << error;
}

#ifdef VIRTUAL_SCANNER_COMMAND
// Runs the command with the test's environment; its exit status and combined output.
int RunCommand(const std::string& arguments, std::string* output) {
  const std::string command = std::string(VIRTUAL_SCANNER_COMMAND) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return -1;
  }
  output->clear();
  std::array<char, 512> buffer{};
  size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    output->append(buffer.data(), n);
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ControlSocketTest, CommandLine) {
  std::string out;
  EXPECT_EQ(RunCommand("list", &out), 1);
  EXPECT_NE(out.find("no running agent"), std::string::npos) << out;

  auto lib = StartBackend();
  EXPECT_EQ(RunCommand("--help", &out), 0);
  EXPECT_NE(out.find("place DEVICE FINGER"), std::string::npos);
  EXPECT_EQ(RunCommand("list", &out), 0);
  EXPECT_NE(out.find("Tessaro Flat"), std::string::npos) << out;
  EXPECT_EQ(RunCommand("place 0 12 --quality 40", &out), 0) << out;
  EXPECT_EQ(lib->ListDevices()[0].finger, 12u);
  EXPECT_EQ(lib->ListDevices()[0].placementQuality, 40);
  EXPECT_EQ(RunCommand("place 0 13", &out), 0) << out;
  EXPECT_EQ(lib->ListDevices()[0].placementQuality, kDefaultPlacementQuality);
  EXPECT_EQ(RunCommand("plug --type=1002", &out), 0) << out;
  EXPECT_EQ(lib->ListDevices().at(1).type, kTypeKq20);
  EXPECT_EQ(RunCommand("unplug 1", &out), 0) << out;
  EXPECT_EQ(RunCommand("lift 0", &out), 0) << out;

  EXPECT_EQ(RunCommand("lift 3", &out), 1);
  EXPECT_NE(out.find("no device 3"), std::string::npos) << out;
  for (const char* bad :
       {"", "jump", "place 0", "place x 1", "place 0 1 --quality 200", "plug --type 0",
        "plug --type x", "lift 0 --quality 5", "list extra", "--bogus"}) {
    EXPECT_EQ(RunCommand(bad, &out), 2) << bad << ": " << out;
  }
}
#endif

}  // namespace
}  // namespace devicelib::virt
