#include "engine/extractor.h"

namespace engine {

Extraction Extract(const GreyImage& image) {
  Extraction out;
  out.features.width = static_cast<uint16_t>(image.width > 0 ? image.width : 0);
  out.features.height = static_cast<uint16_t>(image.height > 0 ? image.height : 0);
  return out;
}

}  // namespace engine
