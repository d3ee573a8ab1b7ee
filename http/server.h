// The embedded HTTP/HTTPS server: its Civetweb context, the folder it serves pages from, the
// client it is pinned to, who may use it (the request policy), and the agent its requests go to.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "http/agent_port.h"
#include "http/request_policy.h"

struct mg_context;

namespace http {

struct ServerSettings {
  std::string listeningPorts;
  std::string workerThreads;
  std::string documentRoot;
  std::string certificateFile;  // PEM certificate chain of the HTTPS port
  std::string privateKeyFile;   // its PEM private key
  // How long a client may take to send its request head; an idle or trickling connection
  // gives its worker back after this.
  std::string requestTimeoutMs = "30000";
  // Live previews served at once; each holds a worker for as long as it runs, so this stays
  // well below the worker count and API calls always find a free worker.
  int maxPreviewStreams = 1;
};

// Counts the open preview streams against their cap.
class StreamSlots {
 public:
  explicit StreamSlots(int limit) : limit_(limit) {}
  // Takes a slot; false when all are in use.
  bool TryTake();
  void Give() { used_.fetch_sub(1); }

 private:
  const int limit_;
  std::atomic<int> used_{0};
};

// Only the first client address is served by the API; pinning is one atomic compare-and-set,
// so that two simultaneous first requests from different addresses cannot both pass.
class ClientPin {
 public:
  // Pins `address` when no client is pinned yet. True when `address` is the pinned client.
  bool Pin(uint32_t address);
  // The pinned address in host byte order; 0 until the first request.
  uint32_t Pinned() const { return address_.load(); }

 private:
  std::atomic<uint32_t> address_{0};
};

// A port the server listens on.
struct ListeningPort {
  int port = 0;
  bool tls = false;
};

// The line that tells the user where the agent's page is: the HTTPS address first, the plain
// one in parentheses; only the ports given. Empty when there are none.
// "Open https://127.0.0.1:8083/ in your browser (or http://127.0.0.1:8084/)"
std::string OpenInBrowserLine(const std::vector<ListeningPort>& ports);

class Server {
 public:
  // `policy`: the sites allowed besides the agent's own page; by default only the agent's own
  // page and local programs are served.
  Server(AgentPort& agent, ServerSettings settings, RequestPolicy policy = RequestPolicy());
  ~Server();  // stops the server if it runs
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts listening. Prints "Web-Agent server Started" or "Web-Agent server failed to start"
  // and returns whether it runs. When the certificate or key cannot be used, says which file
  // and why on standard error and serves the plain HTTP ports alone.
  bool Start();
  // Stops the server if it runs; every worker has finished when this returns.
  void Stop();
  // The ports the running server listens on (none when it does not run).
  std::vector<ListeningPort> ListeningPorts() const;

  AgentPort& Agent() { return agent_; }
  const std::string& DocumentRoot() const { return settings_.documentRoot; }
  ClientPin& Client() { return client_; }
  StreamSlots& PreviewStreams() { return previewStreams_; }
  // Fixed for the server's lifetime, so the workers read it without a lock.
  const RequestPolicy& Policy() const { return policy_; }

 private:
  static int InitTls(void* sslContext, void* server);

  AgentPort& agent_;
  const ServerSettings settings_;
  const RequestPolicy policy_;
  ClientPin client_;
  StreamSlots previewStreams_;
  mg_context* context_ = nullptr;
};

}  // namespace http
