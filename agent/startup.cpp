#include "agent/startup.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/browser_trust.h"
#include "agent/command_line.h"
#include "agent/config.h"
#include "agent/local_authority.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace agent {

namespace {

LocalTlsFiles UserTlsFiles() {
  const auto data = platform::DataHome();
  return LocalTlsFilesIn(data.empty() ? data : data / "webagent");
}

int RunTrustCommand(CommandLine::Action action) {
  if (action == CommandLine::Action::kUntrust) {
    return UntrustAuthority(platform::HomeDirectory(), std::cout, std::cerr);
  }
  const LocalTlsFiles files = UserTlsFiles();
  std::string error;
  if (!EnsureLocalTlsFiles(files, &error)) {
    std::cerr << "webagent: " << error << "\n";
    return 1;
  }
  return TrustAuthority(files.authorityCertificate, platform::HomeDirectory(), std::cout,
                        std::cerr);
}

}  // namespace

StartPlan PrepareStart(int argc, char** argv) {
  StartPlan plan;
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CommandLineResult parsed = ParseCommandLine(arguments);
  if (!parsed.ok) {
    std::cerr << "webagent: " << parsed.error << "\nTry 'webagent --help' for more information.\n";
    plan.exitStatus = kUsageError;
    return plan;
  }
  const CommandLine& commandLine = parsed.commandLine;
  switch (commandLine.action) {
    case CommandLine::Action::kHelp:
      std::cout << UsageText();
      plan.exitStatus = 0;
      return plan;
    case CommandLine::Action::kVersion:
      std::cout << VersionText() << "\n";
      plan.exitStatus = 0;
      return plan;
    case CommandLine::Action::kTrust:
    case CommandLine::Action::kUntrust:
      plan.exitStatus = RunTrustCommand(commandLine.action);
      return plan;
    case CommandLine::Action::kRun:
      break;
  }

  std::vector<std::string> problems;
  std::optional<AgentConfig> config = LoadConfig(commandLine, problems);
  for (const auto& problem : problems) {
    std::cerr << "webagent: " << problem << "\n";
  }
  if (!config) {
    plan.exitStatus = kUsageError;
    return plan;
  }
  ExportDeviceSettings(*config);
  for (const auto& origin : config->allowedOrigins) {
    std::cerr << "webagent: pages of " << origin << " may use the agent\n";
  }
  plan.options.allowedOrigins = config->allowedOrigins;

  const platform::AgentLayout layout =
      platform::ResolveAgentLayout(platform::ExecutableDirectory());
  plan.files.documentRoot = layout.documentRoot.string();
  plan.files.certificateFile = layout.certificateFile.string();
  plan.files.privateKeyFile = layout.privateKeyFile.string();
  if (layout.installed) {
    const LocalTlsFiles files = LocalTlsFilesIn(layout.dataDir);
    std::string error;
    // Without usable TLS files only the HTTPS port stays closed (the server says so); the
    // plain port still serves.
    const bool tlsReady = EnsureLocalTlsFiles(files, &error);
    if (!tlsReady) {
      std::cerr << "webagent: " << error << "\n";
    }
    if (!platform::EnterInstalledWorkingDir(layout, &error)) {
      std::cerr << "webagent: " << error << "\n";
      std::printf("Web-Agent server failed to start\n");
      plan.exitStatus = -2;
      return plan;
    }
    if (tlsReady && config->trustBrowsers) {
      std::ostringstream quiet;
      TrustAuthority(files.authorityCertificate, platform::HomeDirectory(), quiet, std::cerr);
    }
  }
  return plan;
}

}  // namespace agent
