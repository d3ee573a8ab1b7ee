// What the image endpoints read from a scanner: its current image and its last Base64 text.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
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
  // more), but at most `atMost`, and returns the current image. A source that can signal a new
  // image answers as soon as one is stored; this default looks every 10 ms.
  virtual ImageBytes WaitForChange(const ImageBytes& shown, std::chrono::milliseconds atMost);
};

}  // namespace service
