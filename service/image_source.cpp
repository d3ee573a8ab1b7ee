#include "service/image_source.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace service {

ImageBytes ImageSource::WaitForChange(const ImageBytes& shown, std::chrono::milliseconds atMost) {
  // A live preview brings a few dozen images a second at most; looking every 10 ms keeps it
  // smooth.
  constexpr std::chrono::milliseconds kLook(10);
  const auto deadline = std::chrono::steady_clock::now() + atMost;
  for (;;) {
    ImageBytes image = CurrentImage();
    const auto now = std::chrono::steady_clock::now();
    if (image != shown || now >= deadline) {
      return image;
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(kLook, deadline - now));
  }
}

}  // namespace service
