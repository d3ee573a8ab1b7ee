#include "http/router.h"

#include <gtest/gtest.h>

#include "http/server.h"

#include <thread>
#include <vector>

namespace http {
namespace {

TEST(OpenInBrowserLine, NamesOnlyThePortsServedHttpsFirst) {
  EXPECT_EQ(OpenInBrowserLine({{8084, false}, {8083, true}}),
            "Open https://127.0.0.1:8083/ in your browser (or http://127.0.0.1:8084/)");
  // A certificate that cannot be used leaves the plain port alone.
  EXPECT_EQ(OpenInBrowserLine({{8084, false}}), "Open http://127.0.0.1:8084/ in your browser");
  EXPECT_EQ(OpenInBrowserLine({{8083, true}}), "Open https://127.0.0.1:8083/ in your browser");
  EXPECT_EQ(OpenInBrowserLine({}), "");
}

TEST(FormatSessionId, NoZeroPaddingMonthFromZeroSignedAddress) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;  // March
  t.tm_mday = 5;
  t.tm_hour = 9;
  t.tm_min = 7;
  t.tm_sec = 3;
  EXPECT_EQ(FormatSessionId(t, 0x7F000001u), "202625973_2130706433");
  // An address above 2^31 shows as a negative number.
  EXPECT_EQ(FormatSessionId(t, 0xC0A80001u), "202625973_-1062731775");
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 59;
  EXPECT_EQ(FormatSessionId(t, 1), "20261131235959_1");
}

TEST(ParseIpv4, HostByteOrder) {
  EXPECT_EQ(ParseIpv4("127.0.0.1"), 0x7F000001u);
  EXPECT_EQ(ParseIpv4("127.0.0.2"), 0x7F000002u);
  EXPECT_EQ(ParseIpv4("::1"), 0u);
  EXPECT_EQ(ParseIpv4(nullptr), 0u);
  EXPECT_EQ(ParseIpv4("not an address"), 0u);
}

TEST(ClientPin, FirstAddressWinsEvenUnderRace) {
  for (int round = 0; round < 50; ++round) {
    ClientPin pin;
    std::vector<std::thread> threads;
    std::vector<int> accepted(8, 0);
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&, i] { accepted[i] = pin.Pin(0x7F000001u + i) ? 1 : 0; });
    }
    for (auto& thread : threads) {
      thread.join();
    }
    int total = 0;
    for (int value : accepted) {
      total += value;
    }
    EXPECT_EQ(total, 1) << "exactly one of the simultaneous first clients is pinned";
    const uint32_t pinned = pin.Pinned();
    EXPECT_TRUE(pin.Pin(pinned));
    EXPECT_FALSE(pin.Pin(pinned + 100));
  }
}

}  // namespace
}  // namespace http
