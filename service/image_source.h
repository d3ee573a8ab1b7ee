// What the image endpoints read from a scanner: its current image and its last Base64 text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace service {

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // The current image as a complete BMP file, or null when there is none. Images are never
  // changed in place, so a reader may send the bytes it got without holding any lock.
  virtual std::shared_ptr<const std::vector<uint8_t>> CurrentImage() = 0;
  // The last exported Base64 text (empty when there is none).
  virtual std::string Base64Text() = 0;
};

}  // namespace service
