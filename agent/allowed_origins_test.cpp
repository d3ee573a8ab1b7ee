#include "agent/allowed_origins.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace agent {
namespace {

using Strings = std::vector<std::string>;

TEST(ParseAllowedOrigins, OneOriginALineWithCommentsAndBlanks) {
  Strings problems;
  const Strings origins = ParseAllowedOrigins(
      "# sites of the clinic\n"
      "https://app.example.com\n"
      "\n"
      "   HTTP://Intranet.Example:8080/   # the old front desk\r\n"
      "\t\n"
      "*\n"
      "https://app.example.com/login\n"
      "null\n"
      "http://localhost:9000",  // no line end at the end of the file
      problems);
  EXPECT_EQ(origins, (Strings{"https://app.example.com", "http://intranet.example:8080",
                              "http://localhost:9000"}));
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_TRUE(problems[0].starts_with("line 6: \"*\" is not an origin")) << problems[0];
  EXPECT_TRUE(problems[1].starts_with("line 7: ")) << problems[1];
  EXPECT_TRUE(problems[2].starts_with("line 8: ")) << problems[2];

  problems.clear();
  EXPECT_EQ(ParseAllowedOrigins("", problems), Strings{});
  EXPECT_EQ(ParseAllowedOrigins("#only a comment\n\n", problems), Strings{});
  EXPECT_TRUE(problems.empty());
}

TEST(AllowedOriginsFromArguments, RepeatableInBothSpellingsOtherArgumentsLeftAlone) {
  const char* argv[] = {"webagent",
                        "--allow-origin",
                        "https://App.Example.com:443",
                        "--verbose",
                        "--allow-origin=http://127.0.0.1:9000",
                        "--allow-origins=http://ignored.example",
                        "--allow-origin=not-an-origin",
                        "--allow-origin"};
  Strings problems;
  const Strings origins = AllowedOriginsFromArguments(8, argv, problems);
  EXPECT_EQ(origins, (Strings{"https://app.example.com", "http://127.0.0.1:9000"}));
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find("not-an-origin"), std::string::npos) << problems[0];
  EXPECT_NE(problems[1].find("needs an origin"), std::string::npos) << problems[1];

  // The value of the option is never taken for an option itself.
  const char* value[] = {"webagent", "--allow-origin", "--allow-origin=http://a.example"};
  problems.clear();
  EXPECT_EQ(AllowedOriginsFromArguments(3, value, problems), Strings{});
  EXPECT_EQ(problems.size(), 1u);
}

TEST(AllowedOriginsFilePath, XdgConfigHomeWhenAbsoluteElseHome) {
  EXPECT_EQ(AllowedOriginsFilePath("/cfg", "/home/u"), "/cfg/webagent/allowed-origins");
  EXPECT_EQ(AllowedOriginsFilePath("relative", "/home/u"),
            "/home/u/.config/webagent/allowed-origins");
  EXPECT_EQ(AllowedOriginsFilePath("", "/home/u"), "/home/u/.config/webagent/allowed-origins");
  EXPECT_EQ(AllowedOriginsFilePath(nullptr, "/home/u"), "/home/u/.config/webagent/allowed-origins");
  EXPECT_EQ(AllowedOriginsFilePath(nullptr, nullptr), "");
  EXPECT_EQ(AllowedOriginsFilePath(nullptr, ""), "");
}

}  // namespace
}  // namespace agent
