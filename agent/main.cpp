// The agent process: one instance per user session, the server, the banner, and the wait for
// Shift+Esc, a stop signal or the "close" command.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "agent/startup.h"
#include "agent/web_agent.h"
#include "database/template_database.h"
#include "devicelib/backend.h"
#include "http/server.h"
#include "platform/platform.h"

namespace {

constexpr char kInstanceName[] = "{40857CF6-8F7E-4F49-98AB-AE989777E8A8}";

// Fixed ports and workers; the page's folder and the TLS material come from the start plan.
// Workers: the preview streams at their cap, ten connections that send nothing (each holds a
// worker until the request time-out), and still room for the API calls.
http::ServerSettings ServerSettingsFor(const agent::ServerFiles& files) {
  return {
      .listeningPorts = "127.0.0.1:8084,127.0.0.1:8083s",
      .workerThreads = "24",
      .documentRoot = files.documentRoot,
      .certificateFile = files.certificateFile,
      .privateKeyFile = files.privateKeyFile,
      .requestTimeoutMs = "5000",
      .maxPreviewStreams = 8,
  };
}

// Test knobs: WEBAGENT_SESSION_LIFETIME_MS shortens the binding of a page to a scanner so that
// expiry can be exercised in a test run (unset, bindings last the usual 301 seconds);
// WEBAGENT_DATABASE_LIMIT (1 to 10,000) lowers the template database's limit so that a test can
// fill the store (unset or out of range, the limit is 10,000 users).
agent::WebAgentOptions OptionsFromEnvironment(agent::WebAgentOptions options) {
  if (const char* text = std::getenv("WEBAGENT_SESSION_LIFETIME_MS")) {
    const long long ms = std::atoll(text);
    if (ms > 0) {
      options.sessionLifetime = std::chrono::milliseconds(ms);
    }
  }
  if (const char* text = std::getenv("WEBAGENT_DATABASE_LIMIT")) {
    if (const std::optional<uint32_t> limit = database::ParseUserLimit(text)) {
      options.databaseLimit = *limit;
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  platform::LimitAllocatorArenas();  // one heap for all worker threads: see platform.h
  // Command line, configuration files, the page's folder and the TLS material.
  agent::StartPlan plan = agent::PrepareStart(argc, argv);
  if (plan.exitStatus) {
    return *plan.exitStatus;
  }

  platform::SingleInstanceLock instance;
  if (!instance.Acquire(kInstanceName)) {
    std::fprintf(stderr,
                 "Another instance of the Web Agent is running... Please terminate the other "
                 "process to launch properly\n");
    return -1;
  }
  platform::InstallStopSignals();

  auto scannerLib = devicelib::CreateScannerLib();
  auto matcherLib = devicelib::CreateMatcherLib();
  if (scannerLib == nullptr || matcherLib == nullptr) {
    std::printf("Web-Agent server failed to start\n");
    return -2;
  }
  auto webAgent = std::make_unique<agent::WebAgent>(std::move(scannerLib), std::move(matcherLib),
                                                    OptionsFromEnvironment(plan.options));
  // The sites that may use the agent besides its own page; everything else is refused.
  auto server = std::make_unique<http::Server>(*webAgent, ServerSettingsFor(plan.files),
                                               http::RequestPolicy(plan.options.allowedOrigins));
  if (!server->Start()) {
    server.reset();
    webAgent.reset();
    return -2;
  }

  std::printf("Tessaro Web Agent is running now......\n");
  std::printf(">> Press 'Shift+Esc' to exit Web Agent\n");
  const std::string openLine = http::OpenInBrowserLine(server->ListeningPorts());
  if (!openLine.empty()) {
    std::printf("%s\n", openLine.c_str());
  }
  std::fflush(stdout);

  std::thread exitKey(platform::WatchExitKey, std::ref(webAgent->running));
  while (webAgent->running.load()) {
    if (platform::StopRequestedBySignal()) {
      webAgent->running.store(false);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // The watcher sees the cleared flag within 10 ms; it must be gone before the agent is.
  exitKey.join();

  // The server first, so that no request can reach a destroyed agent.
  server->Stop();
  server.reset();
  webAgent.reset();
  return 0;
}
