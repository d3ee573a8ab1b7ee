#include "service/image_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace service {
namespace {

using namespace std::chrono_literals;

ImageBytes Image(uint8_t value) {
  return std::make_shared<const std::vector<uint8_t>>(4, value);
}

// Long enough that a test waiting this long has certainly hung rather than been slow.
constexpr auto kHang = std::chrono::milliseconds(std::chrono::minutes(5));

TEST(ImageSlot, AWaiterWakesForTheNextImageAndNotBefore) {
  ImageSlot slot;
  EXPECT_EQ(slot.Current(), nullptr);
  const ImageBytes first = Image(1);
  slot.Store(first);
  // Nothing new since `first`: the wait runs out and gives the same block back.
  EXPECT_EQ(slot.WaitForChange(first, 0ms), first);
  // Something else than what the caller showed: returned at once.
  EXPECT_EQ(slot.WaitForChange(nullptr, kHang), first);

  const ImageBytes second = Image(2);
  std::thread capture([&] { slot.Store(second); });
  // Wakes when the capture stores its image; were the wake-up lost, this would hang.
  EXPECT_EQ(slot.WaitForChange(first, kHang), second);
  capture.join();

  // An image that goes away is a change too.
  std::thread release([&] { slot.Store(nullptr); });
  EXPECT_EQ(slot.WaitForChange(second, kHang), nullptr);
  release.join();
}

// A source that does not signal: the default looks again until something changes.
class PolledSource : public ImageSource {
 public:
  ImageBytes CurrentImage() override {
    std::lock_guard<std::mutex> hold(lock);
    return image;
  }
  std::string Base64Text() override { return {}; }
  void Set(ImageBytes next) {
    std::lock_guard<std::mutex> hold(lock);
    image = std::move(next);
  }

 private:
  std::mutex lock;
  ImageBytes image;
};

TEST(ImageSource, DefaultWaitLooksUntilTheImageChangesOrTimeIsUp) {
  PolledSource source;
  const ImageBytes first = Image(1);
  source.Set(first);
  EXPECT_EQ(source.WaitForChange(first, 0ms), first);
  EXPECT_EQ(source.WaitForChange(nullptr, kHang), first);
  const ImageBytes second = Image(2);
  std::thread capture([&] { source.Set(second); });
  EXPECT_EQ(source.WaitForChange(first, kHang), second);
  capture.join();
}

}  // namespace
}  // namespace service
