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
