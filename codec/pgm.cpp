#include "codec/pgm.h"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

namespace codec {
namespace {

// Numbers are read with saturation at this value, so a header of endless digits can neither
// overflow nor pass as a small number.
constexpr int64_t kSaturated = 1'000'000'000;
constexpr int64_t kMaxval16 = 65535;

bool IsSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

std::nullopt_t Fail(std::string* error, std::string text) {
  if (error != nullptr) {
    *error = std::move(text);
  }
  return std::nullopt;
}

// What a header number was, for a message: its value, or "more than 9 digits" when it saturated.
std::string Shown(int64_t value) {
  return value >= kSaturated ? std::string("of more than 9 digits") : std::to_string(value);
}

class HeaderReader {
 public:
  explicit HeaderReader(std::span<const uint8_t> file) : file_(file) {}

  size_t at() const { return at_; }

  // Skips white space and comments, then reads one decimal number into *value. Returns an empty
  // text, or what is wrong with the field called `name`.
  std::string Number(const char* name, int64_t* value) {
    while (at_ < file_.size()) {
      if (file_[at_] == '#') {
        while (at_ < file_.size() && file_[at_] != '\n' && file_[at_] != '\r') {
          ++at_;
        }
      } else if (IsSpace(file_[at_])) {
        ++at_;
      } else {
        break;
      }
    }
    if (at_ >= file_.size()) {
      return std::string("PGM header ends before its ") + name;
    }
    if (!IsDigit(file_[at_])) {
      return std::string("malformed PGM header: the ") + name + " is not a decimal number";
    }
    int64_t v = 0;
    for (; at_ < file_.size() && IsDigit(file_[at_]); ++at_) {
      v = std::min(kSaturated, v * 10 + (file_[at_] - '0'));
    }
    *value = v;
    return {};
  }

 private:
  std::span<const uint8_t> file_;
  size_t at_ = 2;  // after the magic number
};

}  // namespace

std::optional<PgmImage> DecodePgm(std::span<const uint8_t> file, std::string* error) {
  if (file.size() < 2 || file[0] != 'P') {
    return Fail(error, "not a PGM file: it does not start with \"P5\"");
  }
  if (file[1] != '5') {
    const bool plain = file[1] == '2';
    return Fail(error, plain ? std::string("plain (text) PGM \"P2\" is not supported, only binary "
                                           "PGM \"P5\"")
                             : std::string("not a binary PGM: it does not start with \"P5\""));
  }
  if (file.size() > 2 && !IsSpace(file[2]) && file[2] != '#') {
    return Fail(error, "malformed PGM header: no white space after \"P5\"");
  }

  HeaderReader header(file);
  int64_t width = 0, height = 0, maxval = 0;
  for (auto [name, value] :
       {std::pair{"width", &width}, std::pair{"height", &height}, std::pair{"maxval", &maxval}}) {
    if (std::string problem = header.Number(name, value); !problem.empty()) {
      return Fail(error, std::move(problem));
    }
  }
  const std::string sideRange = " is out of range (1 to " + std::to_string(kPgmMaxSide) + ")";
  if (width < 1 || width > kPgmMaxSide) {
    return Fail(error, "PGM width " + Shown(width) + sideRange);
  }
  if (height < 1 || height > kPgmMaxSide) {
    return Fail(error, "PGM height " + Shown(height) + sideRange);
  }
  if (maxval < 1 || maxval > kMaxval16) {
    return Fail(error, "PGM maxval " + Shown(maxval) + " is out of range (1 to 65535)");
  }
  if (maxval > 255) {
    return Fail(error, "16-bit PGM (maxval " + std::to_string(maxval) +
                           ") is not supported, only 8-bit (maxval up to 255)");
  }

  // Exactly one white-space byte separates maxval from the raster, whose first byte may itself
  // look like white space.
  size_t at = header.at();
  if (at >= file.size()) {
    return Fail(error, "PGM ends in its header: nothing follows the maxval");
  }
  if (!IsSpace(file[at])) {
    return Fail(error, "malformed PGM header: the maxval is not followed by white space");
  }
  ++at;

  // Both sides are at most kPgmMaxSide, so the product is small; the raster must be in the file
  // before anything is allocated for it.
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  const size_t available = file.size() - at;
  if (available < count) {
    return Fail(error, "PGM raster is truncated: " + std::to_string(available) + " of " +
                           std::to_string(count) + " bytes (" + std::to_string(width) + " x " +
                           std::to_string(height) + ")");
  }

  PgmImage image;
  image.width = static_cast<int32_t>(width);
  image.height = static_cast<int32_t>(height);
  try {
    image.pixels.assign(file.begin() + static_cast<ptrdiff_t>(at),
                        file.begin() + static_cast<ptrdiff_t>(at + count));
  } catch (const std::bad_alloc&) {
    return Fail(error, "not enough memory for the PGM raster");
  }
  if (maxval != 255) {
    for (uint8_t& p : image.pixels) {
      p = static_cast<uint8_t>(std::min<int64_t>(255, p * int64_t{255} / maxval));
    }
  }
  return image;
}

}  // namespace codec
