// The 64-subband decomposition of a WSQ image.
//
// The image is split into four quadrants; the lower-right one (high-pass in both directions)
// carries almost nothing of a 500 ppi fingerprint and is dropped. The upper-right and lower-left
// quadrants are split once more (subbands 52..59). The upper-left quadrant is split into four:
// its lower-right quarter is subband 51, its upper-right and lower-left quarters are split
// twice more into 16 subbands each (19..34, 35..50), and its upper-left quarter is split into
// four quarters again: three of them split once (7..18), the fourth split twice, with its
// corner split once more (0..6, the five-level low-pass corner). Twenty splits in all.
//
// Every split puts the low-pass half first unless the region's spectrum is mirrored in that
// direction; a high-pass step mirrors the spectrum, so the right (bottom) child of any split is
// mirrored horizontally (vertically). Subbands are numbered row by row within each split, which
// with this ordering runs from low to high frequency.
#include "codec/wsq/wsq_detail.h"

namespace codec::wsq_detail {
namespace {

// The four children of a split region, in the order upper-left, upper-right, lower-left,
// lower-right. The low-pass half has the extra sample of an odd length.
std::array<Region, 4> Split(const Region& r) {
  const int lowWidth = (r.width + 1) / 2;
  const int lowHeight = (r.height + 1) / 2;
  const int leftWidth = r.invertRows ? r.width - lowWidth : lowWidth;
  const int topHeight = r.invertCols ? r.height - lowHeight : lowHeight;
  const int rightWidth = r.width - leftWidth;
  const int bottomHeight = r.height - topHeight;
  return {
      Region{r.x, r.y, leftWidth, topHeight, false, false},
      Region{r.x + leftWidth, r.y, rightWidth, topHeight, true, false},
      Region{r.x, r.y + topHeight, leftWidth, bottomHeight, false, true},
      Region{r.x + leftWidth, r.y + topHeight, rightWidth, bottomHeight, true, true},
  };
}

void SetBands(Layout& layout, int first, const Region& node) {
  const std::array<Region, 4> quarters = Split(node);
  for (int i = 0; i < 4; ++i) {
    layout.bands[first + i] = quarters[i];
  }
}

}  // namespace

Layout BuildLayout(int width, int height) {
  Layout layout;
  auto& n = layout.nodes;
  n[0] = Region{0, 0, width, height, false, false};

  const auto image = Split(n[0]);
  n[1] = image[0];  // low-pass quadrant
  n[2] = image[1];
  n[3] = image[2];

  const auto low = Split(n[1]);
  n[4] = low[0];
  n[5] = low[1];
  n[6] = low[2];
  layout.bands[51] = low[3];

  const auto right = Split(n[5]);
  const auto below = Split(n[6]);
  for (int i = 0; i < 4; ++i) {
    n[7 + i] = right[i];
    n[11 + i] = below[i];
  }

  const auto corner = Split(n[4]);
  for (int i = 0; i < 4; ++i) {
    n[15 + i] = corner[i];
  }
  const auto lowest = Split(n[15]);
  n[19] = lowest[0];
  layout.bands[4] = lowest[1];
  layout.bands[5] = lowest[2];
  layout.bands[6] = lowest[3];

  SetBands(layout, 0, n[19]);
  for (int i = 0; i < 3; ++i) {
    SetBands(layout, 7 + 4 * i, n[16 + i]);
  }
  for (int i = 0; i < 4; ++i) {
    SetBands(layout, 19 + 4 * i, n[7 + i]);
    SetBands(layout, 35 + 4 * i, n[11 + i]);
  }
  SetBands(layout, 52, n[2]);
  SetBands(layout, 56, n[3]);
  return layout;
}

}  // namespace codec::wsq_detail
