// The control channel of the virtual scanners: a Unix stream socket through which the
// `virtual-scanner` command changes the state of the devices in the running agent (place or
// lift a finger, plug or unplug a device).
//
// Protocol: the client sends one line of words ("place 0 3 90\n"); the server answers with a
// first line "ok" or "error", then text (the listing, or the error message), and closes.
// Only processes of the same user can connect: the socket file is mode 0600 and the server
// checks the peer's user id.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace devicelib::virt {

// $XDG_RUNTIME_DIR/webagent-virtual-scanner.sock, or /tmp/webagent-virtual-scanner-UID.sock
// when XDG_RUNTIME_DIR is unset or empty (/tmp is shared, hence the user id in the name).
std::string ControlSocketPath();

class ControlServer {
 public:
  // Maps a request line (without its newline) to the whole answer text.
  using Handler = std::function<std::string(const std::string& request)>;

  explicit ControlServer(Handler handler);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds `path` and starts the serving thread. A socket file left by a crashed process is
  // replaced; a live one (another agent) or a non-socket file at the path is an error.
  bool Start(const std::string& path, std::string* error);
  // Stops the thread and removes the socket file (if it is still ours). Idempotent.
  void Stop();
  const std::string& path() const { return path_; }

 private:
  void Serve();
  void Answer(int client);

  Handler handler_;
  std::string path_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  unsigned long long inode_ = 0;
  unsigned long long device_ = 0;
  std::thread thread_;
};

// Sends one request and reads the whole answer. False with *error set when no server answers
// (connection refused, no socket file) or the exchange fails.
bool SendControlRequest(const std::string& path, const std::string& request, std::string* answer,
                        std::string* error);

}  // namespace devicelib::virt
