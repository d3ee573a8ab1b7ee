// What the image endpoints read from a scanner: its current image and its last Base64 text.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace service {

using ImageBytes = std::shared_ptr<const std::vector<uint8_t>>;

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // The current image as a complete BMP file, or null when there is none. Images are never
  // changed in place, so a reader may send the bytes it got without holding any lock.
  virtual ImageBytes CurrentImage() = 0;
  // The last exported Base64 text (empty when there is none).
  virtual std::string Base64Text() = 0;
  // Waits until the current image is another block than `shown` (a new image, or none any
  // more), but at most `atMost`, and returns the current image. A source that stores its images
  // in an ImageSlot answers as soon as one is stored; this default looks every 10 ms.
  virtual ImageBytes WaitForChange(const ImageBytes& shown, std::chrono::milliseconds atMost);
};

// The current image of a source, with a wake-up for those who wait for the next one: a live
// preview then sends each image as it comes instead of looking for one over and over.
class ImageSlot {
 public:
  // Replaces the current image (null: none) and wakes every waiter.
  void Store(ImageBytes image);
  ImageBytes Current() const;
  // As ImageSource::WaitForChange.
  ImageBytes WaitForChange(const ImageBytes& shown, std::chrono::milliseconds atMost) const;

 private:
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  ImageBytes image_;
};

}  // namespace service
