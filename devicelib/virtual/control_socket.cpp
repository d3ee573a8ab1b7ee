#include "devicelib/virtual/control_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace devicelib::virt {
namespace {

constexpr size_t kMaxRequest = 1024;

bool MakeAddress(const std::string& path, sockaddr_un* address, std::string* error) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address->sun_path)) {
    *error = "socket path is empty or too long: " + path;
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void SetTimeouts(int fd, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string ControlSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') {
    return std::string(runtime) + "/webagent-virtual-scanner.sock";
  }
  return "/tmp/webagent-virtual-scanner-" + std::to_string(getuid()) + ".sock";
}

ControlServer::ControlServer(Handler handler) : handler_(std::move(handler)) {}

ControlServer::~ControlServer() {
  Stop();
}

bool ControlServer::Start(const std::string& path, std::string* error) {
  Stop();
  sockaddr_un address{};
  if (!MakeAddress(path, &address, error)) {
    return false;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket";
      return false;
    }
    // A socket file: live if someone accepts on it, else left over by a crashed agent.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live =
        probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (probe >= 0) {
      close(probe);
    }
    if (live) {
      *error = "another agent already serves " + path;
      return false;
    }
    unlink(path.c_str());
  }
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    *error = Errno("socket");
    return false;
  }
  // Nobody can connect before listen(), so tightening the mode after bind() leaves no window.
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    *error = Errno(("bind " + path).c_str());
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  if (chmod(path.c_str(), 0600) != 0 || lstat(path.c_str(), &st) != 0 ||
      listen(listenFd_, 8) != 0 || pipe2(wakeFds_, O_CLOEXEC) != 0) {
    *error = Errno(("prepare " + path).c_str());
    close(listenFd_);
    listenFd_ = -1;
    unlink(path.c_str());
    return false;
  }
  inode_ = st.st_ino;
  device_ = st.st_dev;
  path_ = path;
  thread_ = std::thread(&ControlServer::Serve, this);
  return true;
}

void ControlServer::Stop() {
  if (thread_.joinable()) {
    const char wake = 1;
    while (write(wakeFds_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int* fd : {&listenFd_, &wakeFds_[0], &wakeFds_[1]}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
  if (!path_.empty()) {
    // Remove the file only if it is still the one we bound (a newer agent may own the path).
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && st.st_ino == inode_ && st.st_dev == device_) {
      unlink(path_.c_str());
    }
    path_.clear();
  }
}

void ControlServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (fds[1].revents != 0) {
      return;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      continue;
    }
    const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      continue;
    }
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == getuid()) {
      Answer(client);
    }
    close(client);
  }
}

void ControlServer::Answer(int client) {
  // A client that stalls must not hold up the server for long.
  SetTimeouts(client, 2);
  std::string request;
  char buffer[256];
  while (request.find('\n') == std::string::npos && request.size() < kMaxRequest) {
    const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    request.append(buffer, static_cast<size_t>(n));
  }
  const size_t end = request.find('\n');
  if (end == std::string::npos) {
    WriteAll(client, "error\nrequest not terminated by a newline or too long\n");
    return;
  }
  request.resize(end);
  WriteAll(client, handler_(request));
}

bool SendControlRequest(const std::string& path, const std::string& request, std::string* answer,
                        std::string* error) {
  sockaddr_un address{};
  if (!MakeAddress(path, &address, error)) {
    return false;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = Errno("socket");
    return false;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    *error = "no running agent: cannot connect to " + path + " (" + std::strerror(errno) + ")";
    close(fd);
    return false;
  }
  SetTimeouts(fd, 30);
  if (!WriteAll(fd, request + "\n")) {
    *error = Errno("send");
    close(fd);
    return false;
  }
  answer->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      *error = Errno("receive");
      close(fd);
      return false;
    }
    if (n == 0) {
      break;
    }
    answer->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (answer->empty()) {
    *error = "the agent closed the connection without an answer";
    return false;
  }
  return true;
}

}  // namespace devicelib::virt
