#include "agent/command_line.h"

#include <gtest/gtest.h>

#include "agent/origin.h"
#include "http/request_policy.h"

namespace agent {
namespace {

using Action = CommandLine::Action;

TEST(CommandLine, RunsWithNoArgumentsAndTakesRepeatedOriginsInBothSpellings) {
  auto none = ParseCommandLine({});
  ASSERT_TRUE(none.ok);
  EXPECT_EQ(none.commandLine.action, Action::kRun);

  auto parsed = ParseCommandLine({"--allow-origin", "HTTPS://App.Example.com:443/",
                                  "--allow-origin=http://localhost:9000", "--config=/tmp/x.conf"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.commandLine.allowOrigins,
            (std::vector<std::string>{"https://app.example.com", "http://localhost:9000"}));
  EXPECT_EQ(parsed.commandLine.configFile, "/tmp/x.conf");
}

TEST(CommandLine, RefusesWhatItDoesNotKnowWithAReason) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--verbose"},
                                             {"-x"},
                                             {"start"},
                                             {"--allow-origin"},
                                             {"--config"},
                                             {"--allow-origin", "evil.example"},
                                             {"--allow-origin", "https://a.example/path"},
                                             {"trust", "untrust"}}) {
    auto parsed = ParseCommandLine(args);
    EXPECT_FALSE(parsed.ok) << args.front();
    EXPECT_FALSE(parsed.error.empty());
  }
  EXPECT_NE(ParseCommandLine({"--bogus"}).error.find("'--bogus'"), std::string::npos);
}

TEST(CommandLine, HelpVersionAndCommands) {
  EXPECT_EQ(ParseCommandLine({"--bogus", "--help"}).ok, false);  // left to right
  EXPECT_EQ(ParseCommandLine({"--help", "--bogus"}).commandLine.action, Action::kHelp);
  EXPECT_EQ(ParseCommandLine({"-h"}).commandLine.action, Action::kHelp);
  EXPECT_EQ(ParseCommandLine({"--version"}).commandLine.action, Action::kVersion);
  EXPECT_EQ(ParseCommandLine({"trust"}).commandLine.action, Action::kTrust);
  EXPECT_EQ(ParseCommandLine({"untrust"}).commandLine.action, Action::kUntrust);
  EXPECT_NE(UsageText().find("--allow-origin URL"), std::string::npos);
  EXPECT_EQ(VersionText().rfind("webagent ", 0), 0U);
}

TEST(Origin, NormalisedTheWayBrowsersSendThem) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://app.example.com", "https://app.example.com"},
      {"HTTPS://APP.Example.COM/", "https://app.example.com"},
      {"https://app.example.com:443", "https://app.example.com"},
      {"http://app.example.com:80", "http://app.example.com"},
      {"http://app.example.com:443", "http://app.example.com:443"},
      {"https://example.com.:08443", "https://example.com.:8443"},
      {"http://127.0.0.1:9000", "http://127.0.0.1:9000"},
      {"http://[0:0::1]:9000", "http://[::1]:9000"},
      {"https://xn--bcher-kva.example", "https://xn--bcher-kva.example"},
  };
  for (const auto& [in, out] : cases) {
    std::string why;
    auto origin = NormaliseOrigin(in, &why);
    ASSERT_TRUE(origin.has_value()) << in << ": " << why;
    EXPECT_EQ(*origin, out) << in;
    // The request policy compares these with the Origin header as browsers send it: the
    // configured form must be exactly what it makes of that header, or the site stays refused.
    EXPECT_EQ(http::NormaliseOrigin(out), out) << in;
    EXPECT_TRUE(http::RequestPolicy({*origin}).IsAllowedOrigin(out)) << in;
  }
}

TEST(Origin, RefusesAnythingThatIsNotAnOrigin) {
  for (const char* bad : {"",
                          "*",
                          "null",
                          "app.example.com",
                          "ftp://app.example.com",
                          "file:///etc/passwd",
                          "https://",
                          "https://app.example.com/path",
                          "https://app.example.com?x=1",
                          "https://app.example.com#x",
                          "https://user@app.example.com",
                          "https://a.example:0",
                          "https://a.example:65536",
                          "https://a.example:80x",
                          "https://a.example:",
                          "https://-a.b",
                          "https://a..b",
                          "https://a_b.example",
                          "https://bücher.example",
                          "http://::1",
                          "http://[::1",
                          "http://[::g]",
                          "http://127.1",
                          "http://127.0.0.1.",
                          "http://300.1.1.1",
                          "https://app.example.com\nhttps://evil.example"}) {
    std::string why;
    EXPECT_FALSE(NormaliseOrigin(bad, &why).has_value()) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

}  // namespace
}  // namespace agent
