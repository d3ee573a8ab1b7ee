#include "session/session_id.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace session {
namespace {

using std::nullopt;

constexpr const char* kId = "2026118739_2130706433_0123456789abcdef0123456789abcdef";
constexpr const char* kOtherId = "2026118740_-16777343_fedcba9876543210fedcba9876543210";

TEST(SessionIdForm, OnlyTheAgentsOwnShape) {
  EXPECT_TRUE(IsSessionIdForm(kId));
  EXPECT_TRUE(IsSessionIdForm(kOtherId));  // addresses above 127.255.255.255 print negative
  EXPECT_FALSE(IsSessionIdForm(""));
  EXPECT_FALSE(IsSessionIdForm("2026118739_2130706433"));  // the old form without a secret
  EXPECT_FALSE(IsSessionIdForm("2026118739_2130706433_0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_FALSE(IsSessionIdForm("2026118739_2130706433_0123456789abcdef0123456789abcde"));
  EXPECT_FALSE(IsSessionIdForm("2026118739_2130706433_0123456789abcdef0123456789abcdef0"));
  EXPECT_FALSE(IsSessionIdForm("_2130706433_0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(IsSessionIdForm("2026118739__0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(IsSessionIdForm("2026118739_--1_0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(IsSessionIdForm("x2026118739_1_0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(IsSessionIdForm(" 2026118739_1_0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(IsSessionIdForm("dark"));
}

TEST(SessionIdOf, CookieItemsNamedOrNamelessAmongOthers) {
  const std::string id = kId;
  struct Case {
    std::string cookie;
    std::string expected;
  };
  const Case cases[] = {
      {id, id},                   // document.cookie = id
      {"theme=dark; " + id, id},  // an unrelated cookie beside it
      {id + "; theme=dark", id},
      {"sessionId=" + id, id},                          // a named item
      {"theme=dark;sessionId=" + id + ";lang=de", id},  // no blank after ";"
      {"a=1; b=2; c=3; wa=\"" + id + "\"", id},         // quoted value
      {"  " + id + "  ", id},                           // blanks around
      {id + "; " + std::string(kOtherId), id},          // the first one wins
      {"x=2026118739_1_0123; y=" + std::string(kOtherId), kOtherId},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SessionIdOf({.cookie = c.cookie}), c.expected) << c.cookie;
  }
}

TEST(SessionIdOf, WholeCookieTextWhenNoItemHasTheForm) {
  // Pages that set a cookie text of their own keep being told apart by it.
  EXPECT_EQ(SessionIdOf({.cookie = "sessionId=aaaa"}), "sessionId=aaaa");
  EXPECT_EQ(SessionIdOf({.cookie = "theme=dark; user=1"}), "theme=dark; user=1");
  EXPECT_EQ(SessionIdOf({.cookie = ""}), "");  // an empty Cookie header is still a cookie
}

TEST(SessionIdOf, HeaderThenQueryThenCookie) {
  const std::string cookie = std::string("theme=dark; ") + kOtherId;
  // The header beats both others, the query beats the cookie.
  EXPECT_EQ(SessionIdOf({.header = kId, .query = "q", .cookie = cookie}), kId);
  EXPECT_EQ(SessionIdOf({.header = kId, .cookie = cookie}), kId);
  EXPECT_EQ(SessionIdOf({.query = kId, .cookie = cookie}), kId);
  EXPECT_EQ(SessionIdOf({.query = kId}), kId);
  // An empty header or query variable names nothing and the next source is looked at.
  EXPECT_EQ(SessionIdOf({.header = "", .query = kId}), kId);
  EXPECT_EQ(SessionIdOf({.header = "  ", .query = "", .cookie = cookie}), kOtherId);
  // Any header text is taken as sent (blanks trimmed): the registry tells pages apart by it.
  EXPECT_EQ(SessionIdOf({.header = " page-made id "}), "page-made id");
}

TEST(SessionIdOf, NoneWithoutAnySource) {
  EXPECT_EQ(SessionIdOf({}), nullopt);
  EXPECT_EQ(SessionIdOf({.header = "", .query = ""}), nullopt);
}

}  // namespace
}  // namespace session
