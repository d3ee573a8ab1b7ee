#include "devicelib/matcher/minutiae_compare.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace devicelib::matcher {
namespace {

// Tolerances, in pixels at 500 ppi and in 1/256 turns (1 unit = 1.4 degrees).
constexpr float kMinRadius = 40.0f;   // neighbourhood radius limits: longer edges bend too
constexpr float kMaxRadius = 100.0f;  // much under distortion, shorter ones carry little
constexpr int kBetaTolerance = 18;    // 25 degrees: direction of a minutia relative to an edge
// 135 degrees either way between two placements: a finger laid at a quarter turn, plus the
// usual ±20 degrees or so of any placement. Allowing every turn let more chance alignments
// through (about a point of EER on the real sets).
constexpr int kMaxRotation = 96;
constexpr int kPairAngleTolerance = 16;    // 22 degrees between paired minutiae
constexpr float kPairRadius = 8.0f;        // position tolerance at the anchor ...
constexpr float kPairRadiusGrowth = 0.1f;  // ... growing with the distance from it ...
constexpr float kMaxPairRadius = 22.0f;    // ... up to this
// The local pairing after the refit. Stretched and twisted skin moves the minutiae of one
// region together, so the residuals of a finger's own pairs (where each gallery minutia lies
// beyond where the alignment puts its partner) change smoothly across the print, while those of
// chance pairs are scattered. Each probe minutia is moved by the displacement of the skin around
// it: the mean residual of the other pairs within kBendReach, each weighted by
// (1 - (d / kBendReach)^2)^2, plus kBendPrior of a pair with no residual (so that a lone
// neighbour does not carry it far), and turned by kBendTurn of their mean difference of
// direction; its own pair is left out, so a chance pair does not predict itself. Then all
// minutiae are paired again under the rigid alignment plus those displacements, and the pairing
// repeated from its own pairs (kBendRounds in all), so that the displacement reaches minutiae
// that the rigid pairing left too far off. The closeness of a pair is measured against the
// displaced position, over kBendCloseness of the tolerance: a little stricter than the rigid
// pairing's, since the displacement should have taken up the distortion. Only pairings of at
// least kBendMinPaired pairs are bent (fewer do not say how the skin moved); the higher of the
// rigid and the bent score counts. Measured on the real sets (mean of five, ISO records, full
// mode): EER 5.02 -> 4.90 %, FNMR at FMR 1 % 7.50 -> 7.20 %, at 0.1 % 10.78 -> 10.58 %, ZeroFMR
// 13.94 -> 13.50 %, 1 - AUC 2.11 -> 2.06 %; FVC2004 DB1's EER 7.98 -> 7.20 % (README: the other
// settings tried, most of which raise the impostor tail).
constexpr float kBendReach = 100.0f;
constexpr float kBendPrior = 0.5f;
constexpr float kBendTurn = 0.5f;
constexpr int kBendMinPaired = 8;
constexpr int kBendRounds = 2;
constexpr float kBendCloseness = 0.9f;
// A paired minutia counts less the farther it lies from where the alignment puts its partner
// and the more their directions differ: by 1 - kSoftDistance (d / radius)^2 and
// 1 - kSoftAngle (angle difference / kPairAngleTolerance)^2. Chance pairings of two different
// fingers sit anywhere inside the tolerances, a finger's own close to the centre; a hard count
// let the former score as much as the latter. Measured on the real sets: FNMR at FMR 0.1 %
// 34 -> 24 % (mean of five), EER unchanged on the mean.
constexpr float kSoftDistance = 0.7f;
constexpr float kSoftAngle = 0.7f;
// A minutia's weight in the score: 1 - kQualityWeight + kQualityWeight * quality / 100, so that
// minutiae that the extractor found in smudged or unclear areas (often false) cost a pairing
// less when they stay unpaired, and add less when they pair by chance. Quality 0 means "not
// reported" in both record standards and weighs as much as 100. Measured on the real sets:
// FNMR at FMR 0.1 % 24.1 -> 22.4 % (mean of five), EER unchanged.
constexpr float kQualityWeight = 0.8f;
// A pair of an ending and a bifurcation counts this much less. Pressure and dryness turn one
// into the other often (a ridge ending near another ridge joins it; a bifurcation's thin branch
// breaks off), so a type change must not undo a pairing; but a finger's own pairs agree in type
// more often than chance pairs of two fingers, where the share is whatever the two sets' mixes
// give. Measured on the real sets (mean of five, ISO records, full mode): EER 7.87 -> 7.62 %,
// FNMR at FMR 0.1 % 18.5 -> 17.1 %, ZeroFMR 23.1 -> 20.9 %, pairs in the wrong order (1 - AUC)
// 4.09 -> 3.95 %. 0.1 / 0.2 / 0.4 / 0.5 / 0.6 gave EER 7.97 / 7.90 / 7.59 / 7.76 / 7.87 %.
constexpr float kTypeMismatchLoss = 0.3f;
// The same for a candidate correspondence's votes in the support of the candidates (not in
// their choice): a candidate whose company pairs endings with bifurcations is less likely the
// finger's alignment. Measured with the pairs' loss above (mean of five, full mode): ISO EER
// 7.62 -> 7.57 %, FNMR at FMR 0.1 % 17.06 -> 16.78 %, ZeroFMR 20.92 -> 19.98 %, 1 - AUC
// 3.95 -> 3.68 %; ANSI 7.49 -> 7.62, 16.64 -> 16.66, 21.06 -> 19.64, 3.95 -> 3.86 %; fast mode
// 11.19 -> 10.61, 19.64 -> 19.36, 22.36 -> 22.02, 6.38 -> 6.14 %. 0.1, 0.3, 0.4 and 0.5 gave
// ISO EER 7.51 / 7.55 / 7.56 / 7.55 % and 1 - AUC 3.77 / 3.79 / 3.79 / 3.73 %; the same loss in
// the choice of candidates (0.2) made it worse (EER 7.82 %, 1 - AUC 4.12 %).
constexpr float kSupportTypeLoss = 0.2f;

// 1 when two minutiae's types agree or either is "other" (0), else 1 - loss.
float TypeAgreement(unsigned a, unsigned b, float loss) {
  return a != b && a != 0 && b != 0 ? 1.0f - loss : 1.0f;
}

float QualityWeight(unsigned quality) {
  return quality == 0 ? 1.0f
                      : 1.0f - kQualityWeight +
                            kQualityWeight * static_cast<float>(std::min(quality, 100u)) / 100.0f;
}
constexpr float kOverlapMargin = 16.0f;  // minutiae this close to the other's box count
// Small overlaps do not inflate the score: each set counts as if at least this much of its
// weight lay in the overlap, but never more than the set holds. A set that holds less (a
// fingertip, a small sensor's partial view, a print of mostly doubtful minutiae) would
// otherwise be asked for minutiae it does not have, so that even every one of them paired
// could not score as a larger set's own pairs do. Measured on the real sets (mean of five, ISO
// records, full mode): 12 without the cap gave EER / FNMR at FMR 1 % / 0.1 % / ZeroFMR /
// 1 - AUC 4.42 / 7.00 / 10.00 / 11.57 / 1.66 %, 14 with the cap 4.07 / 6.71 / 9.71 / 11.50 /
// 1.53 % without kLeastEffectiveWeight below and 4.13 / 6.79 / 9.71 / 11.50 / 1.55 % with it.
// Most of it is FVC2002 DB3 (EER 4.01 -> 2.89 %), where a dozen of the 80 images hold 13-22
// minutiae of low quality (weight 8-14). 12 and 16 with the cap gave 4.09 / 6.71 / 9.71 /
// 11.64 and 4.24 / 6.71 / 9.50 / 11.57 %; 14 without it was worse than 12.
constexpr float kMinEffectiveWeight = 14.0f;
// But a set of a handful of minutiae is still held to this much: a few chance pairs of two
// such sets must not reach the levels that a finger's own pairings reach. Only the smallest
// set of the five real sets (9 minutiae, weight 7.4) lies below it.
constexpr float kLeastEffectiveWeight = 8.0f;
// Nor does an overlap that holds less than this share of a set's minutiae (by weight): the set
// counts as if that share lay in the overlap. Chance alignments of two different fingers often
// pair a corner of one with a corner of the other. Measured on the real sets (ISO records),
// 0.6 instead of 0.5: mean FNMR at FMR 0.1 % 20.2 -> 19.2 %, mean EER 9.96 -> 9.91 %
// (as ANSI 20.5 -> 19.7 % and 10.07 -> 9.95 %).
constexpr float kMinOverlapShare = 0.6f;
constexpr int kMinPaired = 3;
constexpr int kSupportRotation = 12;     // 17 degrees between agreeing candidate alignments ...
constexpr float kSupportRadius = 16.0f;  // ... which carry each other's minutiae this close
// Two seeds whose alignments carry one's correspondence this close to the other's, at rotations
// this close (8 px, 8 degrees), would give nearly the same pairing; the second is passed over for
// the next best supported. Measured on the real sets (mean of five): full mode (8 seeds of 64)
// EER 9.91 -> 9.15 %, FNMR at FMR 0.1 % 19.2 -> 19.0 %, about an eighth slower (more seeds are
// paired: a skipped one used to be lost); fast mode (2 of 24) 14.2 -> 12.6 % and 22.9 -> 21.7 %
// at the same speed. 10 px or 14 degrees gave the same; tighter (5 px, 6 degrees) less.
constexpr float kSeedApartRadius = 8.0f;
constexpr int kSeedApartRotation = 6;
// A correspondence's votes count less the more edges its two minutiae have: votes scaled by
// ((edges at the probe minutia + 1) (edges at the gallery minutia + 1))^-power. A minutia in a
// crowded area (often a cluster of false minutiae in a noisy patch) agrees with many edges by
// chance, and its correspondences would otherwise fill the candidates and their support; a
// minutia with few neighbours that still agrees on most of its edges is the stronger evidence.
// The choice of candidates and the support each use their own power. Measured on the real sets
// (mean of five, ISO records, full mode): EER 8.61 -> 7.87 %, FNMR at FMR 0.1 % 18.8 -> 18.5 %,
// ZeroFMR 23.9 -> 23.1 % (ANSI records: 8.69 -> 7.84, 19.3 -> 18.9 %); fast mode 12.8 -> 11.2 %
// and 21.8 -> 20.0 %. Both powers 0.5 (the square root) gave 8.11 / 18.70 %, both 0.6
// 8.03 / 18.48 %, both 0.75 8.02 / 18.38 %, both 1 (votes per edge) 8.65 / 19.00 %.
constexpr float kChoiceDegreePower = 0.75f;
constexpr float kSupportDegreePower = 0.6f;
constexpr float kSupportUnit = 4096.0f;  // fixed point of the scaled votes in the support

// The local codes (the first stage of fast mode, see PreparedTemplate::Code): a grid of
// kCodeGrid x kCodeGrid cells of kCodeCell pixels centred on the minutia, of which those whose
// centre lies within kCodeRadius of it are used, and four layers of a quarter turn each for
// the neighbour's direction relative to the minutia's. Measured on the real sets (fast mode,
// mean of five, ISO): radius 64 / 72 / 80 / 88 / 96 px gave EER 9.82 / 9.45 / 8.71 / 9.41 /
// 9.38 %, 1 - AUC 5.74 / 5.39 / 4.84 / 4.77 / 4.64 %. Bits set only in the neighbour's own
// layer did better than also in the next layer when near its border (EER 8.29 against 9.39 %
// with 10 units, in full mode's 64 candidates and 8 seeds); a single cell per neighbour
// instead of the 2 x 2 around it did far worse (10.17 %); a grid of 6 x 6 cells (two words a
// code) worse (10.08 against 9.45 %) and no faster.
constexpr float kCodeRadius = 80.0f;
constexpr int kCodeGrid = 8;
constexpr float kCodeCell = 2 * kCodeRadius / kCodeGrid;
// Two codes whose bits number fewer than this together are not compared: too few neighbours
// to tell.
constexpr int kMinCodeBits = 8;
// Pairs of minutiae whose codes are less similar than this are never candidates (0.35 / 0.4
// gave EER 9.63 / 10.53 against 9.45 %).
constexpr float kMinCodeSimilarity = 0.3f;
// Each minutia takes part in at most this many candidates: a minutia whose code fits many (a
// crowded patch) would otherwise fill the list with chance pairs of one place. 1 and 3 gave
// about the same as 2 (EER 10.66 / 9.42 %, ZeroFMR 22.4 / 22.6 % against 21.8 %).
constexpr int kCodeUses = 2;
// The best kCodePool times the candidates wanted are looked at for them.
constexpr int kCodePool = 4;
// The support of a code candidate counts candidates whose correspondence its alignment carries
// this close (8 px, 8 degrees): tighter than for the voted candidates, whose rotation is the
// mean of several edges' rather than one minutia pair's difference of directions, which lets
// more chance agreements through. 16 px / 17 degrees, 24 px, 12 px / 11 degrees, 12 px / 8
// degrees: EER 10.62, 10.65, 9.91, 9.72 % against 9.45 % (radius 72 px).
constexpr float kCodeSupportRadius = 10.0f;
constexpr int kCodeSupportRotation = 6;

// The two scales of a minutia with `edges` edges, for every count a set can give.
struct DegreeScales {
  std::array<float, 256> choice{};
  std::array<float, 256> support{};
};
const DegreeScales& Scales() {
  static const DegreeScales scales = [] {
    DegreeScales s;
    for (int d = 0; d < 256; ++d) {
      s.choice[d] = std::pow(static_cast<float>(d + 1), -kChoiceDegreePower);
      s.support[d] = std::pow(static_cast<float>(d + 1), -kSupportDegreePower);
    }
    return s;
  }();
  return scales;
}
// Edges a set keeps at most: room for every record the engine writes (at most 120 minutiae,
// about 600 edges); only crowded, implausible sets reach it. 11 bits, so that the canonical
// position of a vote (see Comparator::Vote) fits the 32 bits a vote table cell keeps for it.
constexpr size_t kMaxEdges = 2047;
constexpr int kSurePaired = 12;
// Settling (CompareOptions::settleFrom): the seeds whose pairing scores at least this share of
// the best seed's are refitted and bent too, and a refit is repeated at most kSettleRounds more
// times while its score rises. Measured on the real sets (full / fast mode, ISO against ANSI
// writings of the same minutiae): largest move 239 -> 105 / 317 -> 203 points, the error
// rates of both writings and modes unchanged (only genuine scores above every impostor move).
// A share of 0.5 gave the same largest moves and slightly more decisions that differ between
// the two writings at the high levels; without the repeated refit 99 / 198 but more of them.
constexpr float kSettleShare = 0.7f;
constexpr int kSettleRounds = 3;
constexpr int kMaxCandidates = 96;
// Pairs of minutiae within the code radius that a set's codes take at most: room for every
// record the engine writes; only crowded, implausible sets reach it.
constexpr int kMaxCodePairs = 4096;  // at most this many candidates, whatever the options
constexpr float kUnitsPerRadian = 128.0f / std::numbers::pi_v<float>;

// Length tolerance of an edge of length l: a few pixels plus 8% for elastic stretch.
constexpr int LengthTolerance(int l) {
  return 2 + (l * 8 + 50) / 100;
}

int Wrap(int units) {
  return static_cast<int8_t>(static_cast<uint8_t>(units));
}

int AngleDistance(uint8_t a, uint8_t b) {
  const int d = Wrap(a - b);
  return d < 0 ? -d : d;
}

// atan2 in 1/256 turns, within half a unit; the library call would dominate preparation.
uint8_t Direction(float dx, float dy) {
  const float ax = std::fabs(dx);
  const float ay = std::fabs(dy);
  const float hi = std::max(ax, ay);
  // Selects rather than branches: the quadrant of an edge is unpredictable.
  const float a = hi == 0.0f ? 0.0f : std::min(ax, ay) / hi;
  const float s = a * a;
  float r = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * a + a;
  r = ay > ax ? std::numbers::pi_v<float> / 2 - r : r;
  r = dx < 0 ? std::numbers::pi_v<float> - r : r;
  r = dy < 0 ? -r : r;
  const uint8_t direction = static_cast<uint8_t>(static_cast<int>(r * kUnitsPerRadian + 256.5f));
  return hi == 0.0f ? uint8_t{0} : direction;
}

// What a probe edge of each length looks for: the length lane of Query::offset and
// Query::limit (whose other lanes do not depend on the length), and the length buckets.
struct LengthWindow {
  uint64_t offset = 0;
  uint64_t limit = 0;
  uint8_t firstLength = 0;
  uint8_t lastLength = 0;
};

constexpr std::array<LengthWindow, 256> MakeLengthWindows() {
  constexpr int kLengthBucket = 4;  // PreparedTemplate::kLengthBucket, kLengthBuckets
  constexpr int kLengthBuckets = 32;
  std::array<LengthWindow, 256> windows{};
  for (int l = 0; l < 256; ++l) {
    const int tolerance = LengthTolerance(l);
    const int lo = std::max(0, l - tolerance);
    const int hi = l + tolerance;
    LengthWindow& w = windows[static_cast<size_t>(l)];
    w.offset = static_cast<uint64_t>((256 - lo) & 0xFF);
    w.limit = static_cast<uint64_t>(255 - (hi - lo)) |
              static_cast<uint64_t>(255 - 2 * kBetaTolerance) << 16 |
              static_cast<uint64_t>(255 - 2 * kBetaTolerance) << 32 |
              static_cast<uint64_t>(255 - 2 * kMaxRotation) << 48;
    w.firstLength = static_cast<uint8_t>(std::min(lo / kLengthBucket, kLengthBuckets - 1));
    w.lastLength = static_cast<uint8_t>(std::min(hi / kLengthBucket, kLengthBuckets - 1));
  }
  return windows;
}
constexpr std::array<LengthWindow, 256> kLengthWindows = MakeLengthWindows();

// Direction() of every whole-pixel vector up to kMaxRadius long, which is what edges of 500 ppi
// records (most of them) have: a lookup costs less than the polynomial.
class DirectionTable {
 public:
  static constexpr int kReach = static_cast<int>(kMaxRadius);
  DirectionTable() {
    for (int dy = -kReach; dy <= kReach; ++dy) {
      for (int dx = -kReach; dx <= kReach; ++dx) {
        table_[Index(dx, dy)] = Direction(static_cast<float>(dx), static_cast<float>(dy));
      }
    }
  }
  uint8_t operator()(int dx, int dy) const { return table_[Index(dx, dy)]; }

 private:
  static constexpr size_t Index(int dx, int dy) {
    return static_cast<size_t>((dy + kReach) * (2 * kReach + 1) + dx + kReach);
  }
  std::array<uint8_t, (2 * kReach + 1) * (2 * kReach + 1)> table_{};
};

const DirectionTable& Directions() {
  static const DirectionTable table;
  return table;
}

// Ridge counts as second evidence of a pairing. Where two minutiae of one print have a count
// between them (the ridges their straight line crosses) and both are paired, the other print's
// count between their partners should be the same: ridges are not made or lost by stretching
// the skin, which is what distorts a finger's own positions, and a chance alignment of two
// fingers seldom repeats the counts. The score of the pairing behind a stage's score is scaled
// by 1 + kRidgeWeight (exact - apart - kRidgeChance n) / (n + kRidgePrior): n the comparable
// counts, exact those that agree, apart those that differ by two or more (by one is left out:
// the extractor's counts often differ by one on a finger's own pairs, and two fingers' agree
// within one about four times in five). Chance pairings of two fingers give exact - apart about
// kRidgeChance of n (38 % exact, 19 % two or more apart on the real sets), so they keep their
// score; kRidgePrior keeps a handful of counts from moving it far. Measured on the real sets:
// at equal score the counts tell a genuine pair from an impostor pair in 63-82 % of the cases
// (README, "Ridge counts"), which no other feature tried came near.
constexpr float kRidgeWeight = 0.6f;
constexpr float kRidgeChance = 0.2f;
constexpr float kRidgePrior = 8.0f;

// The score of a pairing weighed by how its ridge counts compare.
int RidgeScore(int score, const RidgeEvidence& e) {
  if (e.comparable == 0) {
    return score;
  }
  const float n = static_cast<float>(e.comparable);
  const float factor = 1.0f + kRidgeWeight *
                                  (static_cast<float>(e.exact - e.apart) - kRidgeChance * n) /
                                  (n + kRidgePrior);
  return std::clamp(static_cast<int>(static_cast<float>(score) * factor), 0, kMaxScore);
}

}  // namespace

// Measured on the real sets: ten neighbours gain about a sixth in EER over seven, at about two
// thirds of the speed. On the engine's minutiae of real prints the true alignment is often not
// among the three best-ranked candidates: pairing the best 8 of 64 lowers the mean EER of the
// five sets from 11.2 to 10.0 % (pairing 40 of 80 reaches 9.1 %, at a fifth of the speed), and
// taking them of distinct alignments (kSeedApartRadius) to 9.15 %. Fast mode keeps fewer edges
// and pairs two of 24, also of distinct alignments (mean EER 14.2 -> 12.6 % for that).
// Since the neighbourhood codes came, fast mode uses them alone (two seeds of 24 candidates),
// and full mode pairs the seeds of both first stages and keeps the higher score: with endings
// written along their ridge, mean EER 5.41 % by edge votes alone, 5.10 % by codes alone and
// 5.02 % by both, FMR100 8.43 / 8.14 / 7.50 % (the two stages miss different genuine pairs).
CompareOptions FullModeOptions() {
  CompareOptions o;
  o.localCodes = true;
  return o;
}

CompareOptions FastModeOptions() {
  CompareOptions o;
  o.edgeVotes = false;
  o.localCodes = true;
  o.neighbours = 7;
  return o;
}

namespace {

constexpr uint64_t Lanes(unsigned length, unsigned betaFrom, unsigned betaTo, unsigned direction) {
  return static_cast<uint64_t>(length & 0xFF) | static_cast<uint64_t>(betaFrom & 0xFF) << 16 |
         static_cast<uint64_t>(betaTo & 0xFF) << 32 | static_cast<uint64_t>(direction & 0xFF) << 48;
}
constexpr uint64_t kLaneBytes = 0x00FF00FF00FF00FFull;
constexpr uint64_t kLaneCarries = 0x0100010001000100ull;

}  // namespace

bool PreparedTemplate::Precedes(const PreparedTemplate& other) const {
  // Count and positions first: they are what ISO and ANSI records of the same minutiae share,
  // so both writings of a pair are compared in the same order; angles and types only break
  // ties.
  if (count_ != other.count_) {
    return count_ < other.count_;
  }
  if (digest_ != other.digest_) {
    return digest_ < other.digest_;
  }
  for (int k = 0; k < count_; ++k) {
    if (x_[k] != other.x_[k]) {
      return x_[k] < other.x_[k];
    }
    if (y_[k] != other.y_[k]) {
      return y_[k] < other.y_[k];
    }
    if (angle_[k] != other.angle_[k]) {
      return angle_[k] < other.angle_[k];
    }
    // Types weigh the support, which orders the seeds: two sets that differ only in types
    // still need an order of their own.
    if (type_[k] != other.type_[k]) {
      return type_[k] < other.type_[k];
    }
  }
  // Ridge counts are contents too: two sets that differ only in them still get an order of
  // their own.
  return ridgeRaw_ < other.ridgeRaw_;
}

size_t PreparedTemplate::Bytes() const {
  return (x_.capacity() + y_.capacity() + weight_.capacity() + choiceScale_.capacity() +
          supportScale_.capacity()) *
             sizeof(float) +
         angle_.capacity() + type_.capacity() + bucketStart_.capacity() * sizeof(uint16_t) +
         queries_.capacity() * sizeof(Query) + keys_.capacity() * sizeof(uint64_t) +
         ends_.capacity() * sizeof(uint16_t) + order_.capacity() * sizeof(uint32_t) +
         unsorted_.capacity() * sizeof(Edge) + codes_.capacity() * sizeof(Code) +
         codeWords_.capacity() * sizeof(uint64_t) + codeOnes_.capacity() * sizeof(uint32_t) +
         codeAngles_.capacity() + codeIndex_.capacity() +
         ridgeStart_.capacity() * sizeof(uint32_t) + ridgeOther_.capacity() +
         ridgeValue_.capacity() + ridgeRaw_.capacity() * sizeof(uint32_t);
}

namespace {

// Touches every cache line of `bytes` bytes from `data`.
void PrefetchBytes(const void* data, size_t bytes) {
#if defined(__SSE2__)
  constexpr size_t kLine = 64;
  const char* p = static_cast<const char*>(data);
  for (size_t at = 0; at < bytes; at += kLine) {
    _mm_prefetch(p + at, _MM_HINT_T0);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

template <typename T>
void PrefetchVector(const std::vector<T>& v) {
  PrefetchBytes(v.data(), v.size() * sizeof(T));
}

}  // namespace

void PreparedTemplate::Prefetch() const {
  // The object itself holds the row and direction starts that the pairing and the code loop
  // read first.
  PrefetchBytes(this, sizeof(*this));
  PrefetchVector(x_);
  PrefetchVector(y_);
  PrefetchVector(angle_);
  PrefetchVector(weight_);
  PrefetchVector(type_);
  PrefetchVector(choiceScale_);
  PrefetchVector(supportScale_);
  if ((sides_ & kCodeStage) != 0) {
    PrefetchBytes(codeWords_.data(), codeWords_.size() * sizeof(uint64_t));
    PrefetchVector(codeOnes_);
    PrefetchVector(codeAngles_);
    PrefetchVector(codeIndex_);
    PrefetchBytes(codes_.data(), static_cast<size_t>(count_) * sizeof(Code));
  }
  if ((sides_ & kProbeSide) != 0) {
    PrefetchBytes(queries_.data(), static_cast<size_t>(queryCount_) * sizeof(Query));
  }
  if ((sides_ & kGallerySide) != 0) {
    PrefetchVector(keys_);
    PrefetchVector(ends_);
    PrefetchVector(order_);
    PrefetchVector(bucketStart_);
  }
}

void PreparedTemplate::Prepare(const codec::FingerTemplate& tmpl, const CompareOptions& options) {
  const float sx = tmpl.xResolution > 0 ? 197.0f / tmpl.xResolution : 1.0f;
  const float sy = tmpl.yResolution > 0 ? 197.0f / tmpl.yResolution : 1.0f;
  count_ = static_cast<int>(std::min<size_t>(tmpl.minutiae.size(), kMaxMinutiae));
  // At 500 ppi the coordinates are whole pixels, and so are the edge vectors.
  wholePixels_ = sx == 1.0f && sy == 1.0f;
  const size_t count = static_cast<size_t>(count_);
  x_.resize(count + kPairScan);
  y_.resize(count + kPairScan);
  angle_.resize(count + kPairScan);
  weight_.resize(count);
  type_.resize(count);
  choiceScale_.resize(count);
  supportScale_.resize(count);

  // Order by y: key = y * 256 + index.
  std::array<uint32_t, kMaxMinutiae> order;
  for (int i = 0; i < count_; ++i) {
    order[i] = (static_cast<uint32_t>(tmpl.minutiae[i].y) << 8) | static_cast<uint32_t>(i);
  }
  // Insertion sort for the usual few dozen keys; it beats the library sort there.
  if (count_ > 64) {
    std::sort(order.begin(), order.begin() + count_);
  }
  for (int i = 1; i < count_; ++i) {
    const uint32_t key = order[i];
    int j = i;
    for (; j > 0 && order[j - 1] > key; --j) {
      order[j] = order[j - 1];
    }
    order[j] = key;
  }
  minX_ = minY_ = 1e9f;
  maxX_ = maxY_ = -1e9f;
  uint64_t digest = 0xcbf29ce484222325ull ^ static_cast<uint64_t>(count_);
  totalWeight_ = 0;
  for (int k = 0; k < count_; ++k) {
    const codec::Minutia& m = tmpl.minutiae[order[k] & 0xFF];
    x_[k] = m.x * sx;
    y_[k] = m.y * sy;
    // Records count angles counter-clockwise with y pointing up; here y points down, so the
    // direction flips sign. 1/256 turns let angle arithmetic wrap in a byte.
    angle_[k] = static_cast<uint8_t>(256u - (m.angle % 360u * 256u + 180u) / 360u);
    weight_[k] = QualityWeight(m.quality);
    type_[k] = static_cast<uint8_t>(m.type);
    totalWeight_ += weight_[k];
    minX_ = std::min(minX_, x_[k]);
    maxX_ = std::max(maxX_, x_[k]);
    minY_ = std::min(minY_, y_[k]);
    maxY_ = std::max(maxY_, y_[k]);
    const uint64_t word = static_cast<uint64_t>(std::bit_cast<uint32_t>(x_[k])) << 32 ^
                          static_cast<uint64_t>(std::bit_cast<uint32_t>(y_[k]));
    digest = (digest ^ word) * 0x100000001b3ull;
    digest ^= digest >> 29;
  }
  digest_ = digest;
  PrepareRidgeCounts(tmpl, order);

  std::fill(y_.begin() + count_, y_.begin() + count_ + kPairScan,
            std::numeric_limits<float>::infinity());
  {
    // rowStart_[band] = the number of minutiae above band * kRowBand.
    int band = 0;
    for (int k = 0; k < count_ && band <= kRowBands; ++k) {
      while (band <= kRowBands && y_[k] >= static_cast<float>(band * kRowBand)) {
        rowStart_[band++] = static_cast<uint8_t>(k);
      }
    }
    std::fill(rowStart_.begin() + band, rowStart_.end(), static_cast<uint8_t>(count_));
  }

  edgeCount_ = 0;
  queryCount_ = 0;
  maxLength_ = 0;
  lengthBuckets_ = 1;
  sides_ = 0;
  if (count_ < 2) {
    bucketStart_.assign(kBetaBuckets + 1, 0);
    sides_ = kProbeSide | kGallerySide | kEdgeStage | kCodeStage;
    if (codes_.size() < static_cast<size_t>(count_)) {
      codes_.resize(static_cast<size_t>(count_));
    }
    std::fill(codes_.begin(), codes_.begin() + count_, Code{});
    return;
  }
  // Only what the mode's first stage needs; the other is built if a comparison asks for it.
  if (options.localCodes) {
    BuildCodes();
  }
  if (options.edgeVotes || !options.localCodes) {
    BuildEdges(options);
  }
}

void PreparedTemplate::PrepareRidgeCounts(const codec::FingerTemplate& tmpl,
                                          const std::array<uint32_t, kMaxMinutiae>& order) {
  ridgeRaw_.clear();
  ridgeBuilt_ = false;
  ridgePairs_ = 0;
  if (tmpl.ridgeCounts.empty() || count_ < 2) {
    return;
  }
  // The record's indices into the set's own order (by y).
  std::array<uint8_t, kMaxMinutiae> rank;
  for (int k = 0; k < count_; ++k) {
    rank[order[static_cast<size_t>(k)] & 0xFF] = static_cast<uint8_t>(k);
  }
  // Only copied here (one end, the other, the count): the lists by minutia are built by the
  // first comparison that scores high enough to compare them, which most impostor comparisons
  // never do.
  for (const codec::RidgeCount& r : tmpl.ridgeCounts) {
    if (r.from != r.to && r.from < count_ && r.to < count_) {
      ridgeRaw_.push_back(static_cast<uint32_t>(rank[r.from]) << 16 |
                          static_cast<uint32_t>(rank[r.to]) << 8 | r.count);
    }
  }
}

void PreparedTemplate::BuildRidgeLists() const {
  ridgeBuilt_ = true;
  ridgePairs_ = 0;
  if (ridgeRaw_.empty()) {
    return;
  }
  // Each count listed at both its ends, by minutia: how many at each, then where.
  ridgeStart_.assign(static_cast<size_t>(count_) + 1, 0);
  for (const uint32_t r : ridgeRaw_) {
    ++ridgeStart_[static_cast<size_t>(r >> 16) + 1];
    ++ridgeStart_[static_cast<size_t>((r >> 8) & 0xFF) + 1];
  }
  for (int k = 0; k < count_; ++k) {
    ridgeStart_[static_cast<size_t>(k) + 1] += ridgeStart_[static_cast<size_t>(k)];
  }
  const size_t listed = ridgeStart_[static_cast<size_t>(count_)];
  ridgeOther_.resize(listed);
  ridgeValue_.resize(listed);
  std::array<uint32_t, kMaxMinutiae> next;
  std::copy(ridgeStart_.begin(), ridgeStart_.begin() + count_, next.begin());
  for (const uint32_t r : ridgeRaw_) {
    const auto a = static_cast<uint8_t>(r >> 16);
    const auto b = static_cast<uint8_t>(r >> 8);
    const auto value = static_cast<uint8_t>(r);
    ridgeOther_[next[a]] = b;
    ridgeValue_[next[a]++] = value;
    ridgeOther_[next[b]] = a;
    ridgeValue_[next[b]++] = value;
  }
  // A pair that the record lists twice (at both ends, or again) keeps its smallest count, so
  // the result does not depend on how the record lists them, and both ends keep the same one.
  // at[other]: where the current minutia's list holds that other end, -1 when not yet.
  std::array<int32_t, kMaxMinutiae> at;
  std::fill(at.begin(), at.begin() + count_, -1);
  size_t kept = 0;
  size_t begin = 0;
  for (int k = 0; k < count_; ++k) {
    const size_t end = ridgeStart_[static_cast<size_t>(k) + 1];
    const size_t first = kept;
    for (size_t n = begin; n < end; ++n) {
      const uint8_t other = ridgeOther_[n];
      const uint8_t value = ridgeValue_[n];
      if (at[other] < 0) {
        at[other] = static_cast<int32_t>(kept);
        ridgeOther_[kept] = other;
        ridgeValue_[kept++] = value;
      } else {
        uint8_t& held = ridgeValue_[static_cast<size_t>(at[other])];
        held = std::min(held, value);
      }
    }
    for (size_t n = first; n < kept; ++n) {
      at[ridgeOther_[n]] = -1;
    }
    ridgeStart_[static_cast<size_t>(k)] = static_cast<uint32_t>(first);
    begin = end;
  }
  ridgeStart_[static_cast<size_t>(count_)] = static_cast<uint32_t>(kept);
  // Every pair is now listed once at each end.
  ridgePairs_ = static_cast<int>(kept / 2);
}

int PreparedTemplate::ridgeCountPairs() const {
  if (!ridgeBuilt_) {
    BuildRidgeLists();
  }
  return ridgePairs_;
}

int PreparedTemplate::RidgeCount(int i, int j) const {
  if (!ridgeBuilt_) {
    BuildRidgeLists();
  }
  if (ridgePairs_ == 0) {
    return -1;
  }
  for (uint32_t n = ridgeStart_[static_cast<size_t>(i)];
       n < ridgeStart_[static_cast<size_t>(i) + 1]; ++n) {
    if (ridgeOther_[static_cast<size_t>(n)] == j) {
      return ridgeValue_[static_cast<size_t>(n)];
    }
  }
  return -1;
}

int PreparedTemplate::ClosePairs(float radius, float minDistance2, int limit, uint16_t* out) const {
  // Found without a branch per pair: whether a pair of the y window is close enough is a coin
  // toss for the branch predictor.
  const float radius2 = radius * radius;
  int found = 0;
  int windowEnd = 0;  // the first minutia more than `radius` below minutia i
  for (int i = 0; i < count_ && found < limit; ++i) {
    windowEnd = std::max(windowEnd, i + 1);
    while (windowEnd < count_ && y_[windowEnd] - y_[i] <= radius) {
      ++windowEnd;
    }
    for (int j = i + 1; j < windowEnd; ++j) {
      const float dx = x_[j] - x_[i];
      const float dy = y_[j] - y_[i];
      const float d2 = dx * dx + dy * dy;
      out[found] = static_cast<uint16_t>(i << 8 | j);
      found += static_cast<int>((d2 <= radius2) & (d2 >= minDistance2));
    }
  }
  return std::min(found, limit);
}

void PreparedTemplate::BuildEdges(const CompareOptions& options) const {
  // Neighbourhood radius: the print (taken as the ellipse in the minutiae's bounding box) holds
  // about `neighbours` other minutiae within it. A radius rather than the k nearest keeps an
  // edge when some other minutia is lost or added nearby.
  const float area = std::max(1.0f, (maxX_ - minX_) * (maxY_ - minY_)) * 0.785f;
  const float neighbours = static_cast<float>(std::clamp(options.neighbours, 2, 16));
  const float radius = std::clamp(
      std::sqrt(neighbours * area / (std::numbers::pi_v<float> * static_cast<float>(count_))),
      kMinRadius, kMaxRadius);
  // Pairs within the radius, then turned into edges; minutiae on one pixel make no edge. Only
  // crowded, implausible sets have more than kMaxEdges; their remaining edges are dropped.
  std::array<uint16_t, kMaxEdges + kMaxMinutiae> close;
  const int closeCount = ClosePairs(radius, 1.0f, static_cast<int>(kMaxEdges), close.data());
  // The edge lists grow to the largest set seen and stay: a few dozen KB for real prints, not
  // the few hundred that room for the most edges any record could give would take.
  if (unsorted_.size() < static_cast<size_t>(closeCount)) {
    unsorted_.resize(static_cast<size_t>(closeCount));
  }
  // At 500 ppi the coordinates are whole pixels, and so are the edge vectors (at most
  // kMaxRadius long).
  const bool wholePixels = wholePixels_;
  const DirectionTable& directions = Directions();
  Edge* edges = unsorted_.data();
  int maxLength = 0;
  for (int n = 0; n < closeCount; ++n) {
    const int i = close[n] >> 8;
    const int j = close[n] & 0xFF;
    const float dx = x_[j] - x_[i];
    const float dy = y_[j] - y_[i];
    const float d2 = dx * dx + dy * dy;
    Edge& e = edges[n];
    e.from = static_cast<uint8_t>(i);
    e.to = static_cast<uint8_t>(j);
    e.direction =
        wholePixels ? directions(static_cast<int>(dx), static_cast<int>(dy)) : Direction(dx, dy);
    e.betaFrom = static_cast<uint8_t>(angle_[i] - e.direction);
    e.betaTo = static_cast<uint8_t>(angle_[j] - e.direction);
    e.length = static_cast<uint8_t>(std::sqrt(d2) + 0.5f);
    maxLength = std::max<int>(maxLength, e.length);
  }
  edgeCount_ = closeCount;
  maxLength_ = maxLength;
  // Edges at each minutia, turned into the scales of its correspondences' votes.
  std::array<uint8_t, kMaxMinutiae> degree;
  std::fill(degree.begin(), degree.begin() + count_, uint8_t{0});
  for (int n = 0; n < closeCount; ++n) {
    const int i = close[n] >> 8;
    const int j = close[n] & 0xFF;
    degree[i] = static_cast<uint8_t>(std::min(degree[i] + 1, 255));
    degree[j] = static_cast<uint8_t>(std::min(degree[j] + 1, 255));
  }
  const DegreeScales& scales = Scales();
  for (int k = 0; k < count_; ++k) {
    choiceScale_[k] = scales.choice[degree[k]];
    supportScale_[k] = scales.support[degree[k]];
  }
  sides_ |= kEdgeStage;
}

namespace {

// Hardware popcount where the processor has it (nearly every x86-64 made since 2008), chosen
// when the program starts; the baseline's bit-twiddling replacement made this loop, which
// runs some 10,000 popcounts per comparison, several times slower.
#if defined(__x86_64__) && defined(__GNUC__)
#define WEBAGENT_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define WEBAGENT_POPCOUNT_CLONES
#endif

// Bits set in a code, once per minutia when it is prepared.
WEBAGENT_POPCOUNT_CLONES
uint16_t CountOnes(const PreparedTemplate::Code& code) {
  int ones = 0;
  for (const uint64_t word : code.bits) {
    ones += std::popcount(word);
  }
  return static_cast<uint16_t>(ones);
}

// Where the cells of a code lie in the minutia's frame (u along its direction, v across), the
// cells inside the circle, and for a point the 2 x 2 cells whose centres surround it.
struct CodeGeometry {
  std::array<float, 64> u{};
  std::array<float, 64> v{};
  uint64_t circle = 0;
  // Indexed by (row + 1) * (kCodeGrid + 1) + column + 1 of the cell whose centre is up and
  // left of the point: a point within the radius has row and column in -1 .. kCodeGrid - 1.
  std::array<uint64_t, (kCodeGrid + 1) * (kCodeGrid + 1)> square{};
  std::array<float, 256> cosine{};
  std::array<float, 256> sine{};
};

const CodeGeometry& Geometry() {
  static const CodeGeometry geometry = [] {
    static_assert(kCodeGrid * kCodeGrid == 64, "one bit per cell in a 64-bit word");
    CodeGeometry g;
    for (int row = 0; row < kCodeGrid; ++row) {
      for (int column = 0; column < kCodeGrid; ++column) {
        const int cell = row * kCodeGrid + column;
        const float u = (static_cast<float>(column) + 0.5f) * kCodeCell - kCodeRadius;
        const float v = (static_cast<float>(row) + 0.5f) * kCodeCell - kCodeRadius;
        g.u[static_cast<size_t>(cell)] = u;
        g.v[static_cast<size_t>(cell)] = v;
        if (u * u + v * v <= kCodeRadius * kCodeRadius) {
          g.circle |= uint64_t{1} << cell;
        }
      }
    }
    for (int row = -1; row < kCodeGrid; ++row) {
      for (int column = -1; column < kCodeGrid; ++column) {
        uint64_t mask = 0;
        for (int r = row; r <= row + 1; ++r) {
          for (int c = column; c <= column + 1; ++c) {
            if (r >= 0 && r < kCodeGrid && c >= 0 && c < kCodeGrid) {
              mask |= uint64_t{1} << (r * kCodeGrid + c);
            }
          }
        }
        g.square[static_cast<size_t>((row + 1) * (kCodeGrid + 1) + column + 1)] = mask;
      }
    }
    for (int a = 0; a < 256; ++a) {
      const float rho = static_cast<float>(a) / kUnitsPerRadian;
      g.cosine[static_cast<size_t>(a)] = std::cos(rho);
      g.sine[static_cast<size_t>(a)] = std::sin(rho);
    }
    return g;
  }();
  return geometry;
}

}  // namespace

void PreparedTemplate::BuildCodes() const {
  if (codes_.size() < static_cast<size_t>(count_)) {
    codes_.resize(static_cast<size_t>(count_));
  }
  const CodeGeometry& g = Geometry();
  constexpr float kHalf = static_cast<float>(kCodeGrid) / 2 - 0.5f;
  for (int i = 0; i < count_; ++i) {
    codes_[static_cast<size_t>(i)] = Code{};
  }
  // Pairs within the radius; each sets a cell in both minutiae's codes.
  std::array<uint16_t, kMaxCodePairs + kMaxMinutiae> close;
  const int closeCount = ClosePairs(kCodeRadius, 0.0f, kMaxCodePairs, close.data());
  const float scale = 1.0f / kCodeCell;
  // Sets the cell where a neighbour at (dx, dy) from minutia `at` falls, in the layer of the
  // neighbour's direction relative to the minutia's (a quarter turn each). Within the radius
  // the cell coordinates are -0.5 .. kCodeGrid - 0.5 before the 1 added here, so truncation
  // rounds down.
  const auto mark = [&](int at, float dx, float dy, uint8_t direction) {
    const float c = g.cosine[angle_[at]];
    const float s = g.sine[angle_[at]];
    const float u = c * dx + s * dy;
    const float v = -s * dx + c * dy;
    const int column = std::clamp(static_cast<int>(u * scale + (kHalf + 1.0f)), 0, kCodeGrid);
    const int row = std::clamp(static_cast<int>(v * scale + (kHalf + 1.0f)), 0, kCodeGrid);
    const unsigned layer =
        static_cast<unsigned>(static_cast<uint8_t>(direction - angle_[at])) * kCodeLayers >> 8;
    codes_[static_cast<size_t>(at)].bits[layer] |=
        g.square[static_cast<size_t>(row * (kCodeGrid + 1) + column)];
  };
  for (int n = 0; n < closeCount; ++n) {
    const int i = close[static_cast<size_t>(n)] >> 8;
    const int j = close[static_cast<size_t>(n)] & 0xFF;
    const float dx = x_[j] - x_[i];
    const float dy = y_[j] - y_[i];
    mark(i, dx, dy, angle_[j]);
    mark(j, -dx, -dy, angle_[i]);
  }
  for (int i = 0; i < count_; ++i) {
    Code& code = codes_[static_cast<size_t>(i)];
    for (uint64_t& word : code.bits) {
      word &= g.circle;
    }
    code.ones = CountOnes(code);
  }
  const int stride = (count_ + 3) / 4 * 4;
  codeStride_ = stride;
  const size_t words = static_cast<size_t>(kCodeLayers * stride);
  if (codeWords_.size() < words) {
    codeWords_.resize(words);
    codeOnes_.resize(static_cast<size_t>(stride));
    codeAngles_.resize(static_cast<size_t>(stride));
    codeIndex_.resize(static_cast<size_t>(stride));
  }
  // Places by direction: a counting sort.
  codeFirst_.fill(0);
  for (int k = 0; k < count_; ++k) {
    ++codeFirst_[static_cast<size_t>(angle_[k]) + 1];
  }
  for (size_t a = 1; a < codeFirst_.size(); ++a) {
    codeFirst_[a] = static_cast<uint16_t>(codeFirst_[a] + codeFirst_[a - 1]);
  }
  std::array<uint16_t, 256> next;
  std::copy(codeFirst_.begin(), codeFirst_.begin() + 256, next.begin());
  for (int k = 0; k < stride; ++k) {
    const int place = k < count_ ? next[angle_[k]]++ : k;
    const Code& code = k < count_ ? codes_[static_cast<size_t>(k)] : Code{};
    for (int l = 0; l < kCodeLayers; ++l) {
      codeWords_[static_cast<size_t>(l * stride + place)] = code.bits[static_cast<size_t>(l)];
    }
    codeOnes_[static_cast<size_t>(place)] = code.ones;
    codeAngles_[static_cast<size_t>(place)] = k < count_ ? angle_[k] : uint8_t{0};
    codeIndex_[static_cast<size_t>(place)] = static_cast<uint8_t>(k < count_ ? k : 0);
  }
  sides_ |= kCodeStage;
}

float PreparedTemplate::CodeSimilarity(const Code& a, const Code& b) {
  const int total = a.ones + b.ones;
  if (total < kMinCodeBits) {
    return 0.0f;
  }
  int both = 0;
  for (int l = 0; l < kCodeLayers; ++l) {
    both += std::popcount(a.bits[static_cast<size_t>(l)] & b.bits[static_cast<size_t>(l)]);
  }
  return 2.0f * static_cast<float>(both) / static_cast<float>(total);
}

namespace {

// 2 * 65535 / total bits of a pair in 2^-16 units, so that the similarity in 16 bits is a
// product and a shift: a division per pair took a third of fast mode's candidate loop. 0 below
// the floor.
constexpr std::array<uint32_t, 2 * 256 + 1> kCodeScale = [] {
  std::array<uint32_t, 2 * 256 + 1> scale{};
  for (size_t t = static_cast<size_t>(kMinCodeBits); t < scale.size(); ++t) {
    scale[t] = static_cast<uint32_t>((2ull * 65535ull << 16) / t);
  }
  return scale;
}();

}  // namespace

// Called for every pair of minutiae in fast mode: inlined into CodeKeys below (and into its
// popcount clone, where the popcounts become single instructions).
uint32_t PreparedTemplate::CodeSimilarityFixed(const Code& a, const Code& b) {
  uint32_t both = 0;
  for (int l = 0; l < kCodeLayers; ++l) {
    both += static_cast<uint32_t>(
        std::popcount(a.bits[static_cast<size_t>(l)] & b.bits[static_cast<size_t>(l)]));
  }
  return static_cast<uint32_t>(uint64_t{both} * kCodeScale[a.ones + b.ones] >> 16);
}

void PreparedTemplate::BuildProbeSide() const {
  const auto query = [](const Edge& e) {
    const LengthWindow& w = kLengthWindows[e.length];
    Query q;
    q.offset = w.offset |
               static_cast<uint64_t>(static_cast<uint8_t>(kBetaTolerance - e.betaFrom)) << 16 |
               static_cast<uint64_t>(static_cast<uint8_t>(kBetaTolerance - e.betaTo)) << 32 |
               static_cast<uint64_t>(static_cast<uint8_t>(kMaxRotation - e.direction)) << 48;
    q.limit = w.limit;
    q.from = e.from;
    q.to = e.to;
    q.firstLength = w.firstLength;
    q.lastLength = w.lastLength;
    // The beta buckets that the tolerance window [betaFrom - t, betaFrom + t] touches.
    const int firstBeta = (e.betaFrom - kBetaTolerance) & 0xFF;
    q.firstRow = static_cast<uint8_t>(firstBeta >> 4);
    q.rows = static_cast<uint8_t>(((firstBeta & 15) + 2 * kBetaTolerance) / 16 + 1);
    return q;
  };
  if (queries_.size() < static_cast<size_t>(edgeCount_)) {
    queries_.resize(static_cast<size_t>(edgeCount_));
  }
  const Edge* edges = unsorted_.data();
  Query* queries = queries_.data();
  for (int n = 0; n < edgeCount_; ++n) {
    const Edge& e = edges[n];
    queries[n] = query(e);
    // The reversed edge's betaFrom is this one's betaTo turned half a turn.
    queries[n].firstRowBack = static_cast<uint8_t>(((e.betaTo + 128 - kBetaTolerance) & 0xFF) >> 4);
  }
  queryCount_ = edgeCount_;
  sides_ |= kProbeSide;
}

void PreparedTemplate::BuildGallerySide() const {
  // Counting sort of both directions of every edge into the gallery buckets. Length buckets
  // past the longest edge's would stay empty, so they are left out.
  // Both directions of every edge, and kScan slots that the voting reads past the last bucket.
  const size_t slots = 2 * static_cast<size_t>(edgeCount_) + kScan;
  if (keys_.size() < slots) {
    keys_.resize(slots);
    ends_.resize(slots);
    order_.resize(slots);
  }
  const Edge* edges = unsorted_.data();
  const int closeCount = edgeCount_;
  const int maxLength = maxLength_;
  const int lengthBuckets = std::min(maxLength / kLengthBucket + 1, kLengthBuckets);
  lengthBuckets_ = lengthBuckets;
  const int buckets = kBetaBuckets * lengthBuckets;
  if (bucketStart_.size() < static_cast<size_t>(buckets) + 1) {
    bucketStart_.resize(static_cast<size_t>(buckets) + 1);
  }
  std::fill(bucketStart_.begin(), bucketStart_.begin() + buckets + 1, uint16_t{0});
  for (int n = 0; n < closeCount; ++n) {
    const Edge& e = edges[n];
    const int lengthBucket = e.length / kLengthBucket;
    ++bucketStart_[(e.betaFrom >> 4) * lengthBuckets + lengthBucket + 1];
    ++bucketStart_[(((e.betaTo + 128) & 0xFF) >> 4) * lengthBuckets + lengthBucket + 1];
  }
  for (int n = 1; n <= buckets; ++n) {
    bucketStart_[n] = static_cast<uint16_t>(bucketStart_[n] + bucketStart_[n - 1]);
  }
  std::array<uint16_t, kBetaBuckets * kLengthBuckets> next;
  std::copy(bucketStart_.begin(), bucketStart_.begin() + buckets, next.begin());
  for (int n = 0; n < closeCount; ++n) {
    const Edge& e = edges[n];
    const int lengthBucket = e.length / kLengthBucket;
    const uint32_t order =
        static_cast<uint32_t>(lengthBucket << 16 | n << 5 | (e.betaFrom >> 4) << 1);
    int at = next[(e.betaFrom >> 4) * lengthBuckets + lengthBucket]++;
    keys_[at] = Lanes(e.length, e.betaFrom, e.betaTo, e.direction);
    ends_[at] = static_cast<uint16_t>(e.from | e.to << 8);
    order_[at] = order;
    const unsigned backFrom = (e.betaTo + 128u) & 0xFF;
    at = next[(backFrom >> 4) * lengthBuckets + lengthBucket]++;
    keys_[at] = Lanes(e.length, backFrom, e.betaFrom + 128u, e.direction + 128u);
    ends_[at] = static_cast<uint16_t>(e.to | e.from << 8);
    order_[at] = order | 1u;
  }
  sides_ |= kGallerySide;
}

// Each probe edge (i, j) is looked up once, against both directions of the gallery edges; a
// match with a reversed gallery edge is the match of (j, i) with the edge as stored. The votes
// come in bucket order, but each cell keeps the position of its first vote in the canonical
// order: probe edge n forward (2n) or reversed (2n + 1), the betaFrom bucket of its window (0-3)
// in which the forward gallery edge lies, that edge's length bucket and index, and the first or
// second of the two votes. Ties between seeds are broken by it, so the result does not depend
// on how the buckets are laid out.
void Comparator::Vote(const PreparedTemplate& probe, const PreparedTemplate& gallery) {
  using Query = PreparedTemplate::Query;
  // Cells packed by the gallery's count, so that the few touched stay close together.
  const size_t stride = static_cast<size_t>(gallery.count_);
  const auto vote = [&](int i, int j, int rotation, uint32_t first) {
    const size_t cell = static_cast<size_t>(i) * stride + static_cast<size_t>(j);
    Tally& t = tallies_[cell];
    if (t.votes == 0) {
      touched_.push_back(static_cast<uint16_t>(cell));
      t.first = first;
      t.firstRotation = static_cast<uint8_t>(rotation);
    }
    t.first = std::min(t.first, first);
    if (t.votes < 255) {
      ++t.votes;
      t.rotationSum = static_cast<int16_t>(t.rotationSum + Wrap(rotation - t.firstRotation));
    }
  };
  const auto agree = [&](const Query& q, int k, int n, uint64_t lanes) {
    const int rotation = static_cast<int>(lanes >> 48) - kMaxRotation;
    const uint32_t order = gallery.order_[n];
    const uint32_t reversed = order & 1u;
    const int firstRow = reversed != 0 ? q.firstRowBack : q.firstRow;
    const uint32_t bucket = ((order >> 1) - static_cast<uint32_t>(firstRow)) & 15u;
    // At most 15 bits ((2 kMaxEdges + 1) * 4 + 3) above 17 (length bucket, edge index, which
    // of the two votes).
    const uint32_t base =
        ((static_cast<uint32_t>(2 * k) + reversed) * 4 + bucket) << 17 | (order >> 5) << 1;
    const uint16_t ends = gallery.ends_[n];
    vote(q.from, ends & 0xFF, rotation, base | reversed);
    vote(q.to, ends >> 8, rotation, base | (reversed ^ 1u));
  };
  const int lengthBuckets = gallery.lengthBuckets_;
  const uint16_t* bucketStart = gallery.bucketStart_.data();
  const uint64_t* keys = gallery.keys_.data();
  const Query* queries = probe.queries_.data();
  for (int k = 0; k < probe.queryCount_; ++k) {
    const Query& q = queries[k];
    const int lastLength = std::min<int>(q.lastLength, lengthBuckets - 1);
    if (lastLength < q.firstLength) {
      continue;
    }
    for (int b = 0; b < q.rows; ++b) {
      const int row = ((q.firstRow + b) & 15) * lengthBuckets;
      const int begin = bucketStart[row + q.firstLength];
      const int end = bucketStart[row + lastLength + 1];
      // A range holds few edges, and a loop of varying length mispredicts its exit: the first
      // kScan slots are tested unconditionally (keys_ is padded), those past `end` masked off.
      for (int n = begin; n < begin + PreparedTemplate::kScan; ++n) {
        const uint64_t lanes = (keys[n] + q.offset) & kLaneBytes;
        if ((((lanes + q.limit) & kLaneCarries) != 0) | (n >= end)) {
          continue;
        }
        agree(q, k, n, lanes);
      }
      for (int n = begin + PreparedTemplate::kScan; n < end; ++n) {
        const uint64_t lanes = (keys[n] + q.offset) & kLaneBytes;
        if (((lanes + q.limit) & kLaneCarries) != 0) {
          continue;
        }
        agree(q, k, n, lanes);
      }
    }
  }
}

namespace {

#if defined(__SSE2__)
// An alignment's values in all four lanes, for the pairing's mappings four minutiae at a time
// (the probe's onto the gallery and the gallery's back).
struct AlignmentLanes {
  __m128 anchorX, anchorY, targetX, targetY, cosine, sine;
};
template <typename Alignment>
AlignmentLanes Splat(const Alignment& a) {
  return {_mm_set1_ps(a.anchorX), _mm_set1_ps(a.anchorY), _mm_set1_ps(a.targetX),
          _mm_set1_ps(a.targetY), _mm_set1_ps(a.cosine),  _mm_set1_ps(a.sine)};
}
#endif

}  // namespace

Comparator::Pairing Comparator::Pair(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                                     const Alignment& a, bool local) {
  const auto tolerance = [](float dx, float dy) {
    return std::min(kMaxPairRadius, kPairRadius + kPairRadiusGrowth * std::sqrt(dx * dx + dy * dy));
  };
  std::array<float, kMaxMinutiae> ownerD2;
  std::array<int16_t, kMaxMinutiae> second;
  std::array<float, kMaxMinutiae> secondD2;
  std::fill(owner_.begin(), owner_.begin() + gallery.count_, int16_t{-1});

  // Offers gallery minutia g to probe minutia k; returns the probe minutia that lost out
  // (k itself, a displaced earlier owner, or -1).
  const auto offer = [&](int k, int g, float d2) -> int {
    if (owner_[g] < 0) {
      owner_[g] = static_cast<int16_t>(k);
      ownerD2[g] = d2;
      partner_[k] = static_cast<int16_t>(g);
      return -1;
    }
    if (d2 < ownerD2[g]) {
      const int displaced = owner_[g];
      owner_[g] = static_cast<int16_t>(k);
      ownerD2[g] = d2;
      partner_[k] = static_cast<int16_t>(g);
      partner_[displaced] = -1;
      return displaced;
    }
    return k;
  };

  // Every probe minutia mapped by the alignment first, with its tolerance, its weight if it lies
  // in the gallery's box and whether it can reach any gallery minutia: the same operations on
  // the same values as one at a time, four at a time where the processor allows, which leaves
  // the pairing loop below only the search and the contest.
  std::array<float, kMaxMinutiae> mappedX;
  std::array<float, kMaxMinutiae> mappedY;
  std::array<float, kMaxMinutiae> radii;
  std::array<float, kMaxMinutiae> insideWeight;
  std::array<uint8_t, kMaxMinutiae> reachable;
  const float insideLeft = gallery.minX_ - kOverlapMargin;
  const float insideRight = gallery.maxX_ + kOverlapMargin;
  const float insideTop = gallery.minY_ - kOverlapMargin;
  const float insideBottom = gallery.maxY_ + kOverlapMargin;
  // Selects rather than branches: whether a minutia lies in the other's box depends on the
  // alignment. Adding 0 leaves the sum as it was. Far (by a pixel more than the radius, clear
  // of rounding) outside the gallery's box, a minutia has nothing to pair with.
  const auto map = [&](int k) {
    const float dx = probe.x_[k] - a.anchorX;
    const float dy = probe.y_[k] - a.anchorY;
    float qx = a.targetX + a.cosine * dx - a.sine * dy;
    float qy = a.targetY + a.sine * dx + a.cosine * dy;
    const bool inside =
        (qx >= insideLeft) & (qx <= insideRight) & (qy >= insideTop) & (qy <= insideBottom);
    insideWeight[k] = inside ? probe.weight_[k] : 0.0f;
    if (local) {
      qx += shiftX_[k];
      qy += shiftY_[k];
    }
    const float radius = tolerance(dx, dy);
    const float reach = radius + 1.0f;
    reachable[k] = !((qx < gallery.minX_ - reach) | (qx > gallery.maxX_ + reach) |
                     (qy < gallery.minY_ - reach) | (qy > gallery.maxY_ + reach));
    mappedX[k] = qx;
    mappedY[k] = qy;
    radii[k] = radius;
  };
  int mapped = 0;
#if defined(__SSE2__)
  {
    const auto [anchorX, anchorY, targetX, targetY, cosine, sine] = Splat(a);
    const __m128 minX = _mm_set1_ps(gallery.minX_);
    const __m128 maxX = _mm_set1_ps(gallery.maxX_);
    const __m128 minY = _mm_set1_ps(gallery.minY_);
    const __m128 maxY = _mm_set1_ps(gallery.maxY_);
    for (; mapped + 4 <= probe.count_; mapped += 4) {
      const int k = mapped;
      const __m128 dx = _mm_sub_ps(_mm_loadu_ps(probe.x_.data() + k), anchorX);
      const __m128 dy = _mm_sub_ps(_mm_loadu_ps(probe.y_.data() + k), anchorY);
      __m128 qx = _mm_sub_ps(_mm_add_ps(targetX, _mm_mul_ps(cosine, dx)), _mm_mul_ps(sine, dy));
      __m128 qy = _mm_add_ps(_mm_add_ps(targetY, _mm_mul_ps(sine, dx)), _mm_mul_ps(cosine, dy));
      const __m128 inside = _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(qx, _mm_set1_ps(insideLeft)),
                                                  _mm_cmple_ps(qx, _mm_set1_ps(insideRight))),
                                       _mm_and_ps(_mm_cmpge_ps(qy, _mm_set1_ps(insideTop)),
                                                  _mm_cmple_ps(qy, _mm_set1_ps(insideBottom))));
      _mm_storeu_ps(insideWeight.data() + k,
                    _mm_and_ps(inside, _mm_loadu_ps(probe.weight_.data() + k)));
      if (local) {
        qx = _mm_add_ps(qx, _mm_loadu_ps(shiftX_.data() + k));
        qy = _mm_add_ps(qy, _mm_loadu_ps(shiftY_.data() + k));
      }
      // tolerance(): std::min(limit, v) is v when v < limit, as _mm_min_ps(v, limit) is.
      const __m128 distance = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)));
      const __m128 radius =
          _mm_min_ps(_mm_add_ps(_mm_set1_ps(kPairRadius),
                                _mm_mul_ps(_mm_set1_ps(kPairRadiusGrowth), distance)),
                     _mm_set1_ps(kMaxPairRadius));
      const __m128 reach = _mm_add_ps(radius, _mm_set1_ps(1.0f));
      const __m128 far = _mm_or_ps(_mm_or_ps(_mm_cmplt_ps(qx, _mm_sub_ps(minX, reach)),
                                             _mm_cmpgt_ps(qx, _mm_add_ps(maxX, reach))),
                                   _mm_or_ps(_mm_cmplt_ps(qy, _mm_sub_ps(minY, reach)),
                                             _mm_cmpgt_ps(qy, _mm_add_ps(maxY, reach))));
      const int farBits = _mm_movemask_ps(far);
      for (int h = 0; h < 4; ++h) {
        reachable[static_cast<size_t>(k + h)] = static_cast<uint8_t>(((farBits >> h) & 1) ^ 1);
      }
      _mm_storeu_ps(mappedX.data() + k, qx);
      _mm_storeu_ps(mappedY.data() + k, qy);
      _mm_storeu_ps(radii.data() + k, radius);
    }
  }
#endif
  for (; mapped < probe.count_; ++mapped) {
    map(mapped);
  }
  float probeInside = 0;  // weights of the probe's minutiae inside the gallery's box
  for (int k = 0; k < probe.count_; ++k) {
    probeInside += insideWeight[k];
  }

  // The search in two passes. The first tests the window of every probe minutia that can reach
  // the gallery, without a branch on the outcome, and lists those with a gallery minutia in it
  // or a window longer than the slots tested (about a third of them on impostor pairs): a
  // branch per minutia on either outcome, which the predictor cannot learn, stalled the loop.
  // The second pass runs the contests of the listed minutiae in order. The minutiae not listed
  // have no partner in reach, so they take no part in any contest, as before.
  std::fill(partner_.begin(), partner_.begin() + probe.count_, int16_t{-1});
  std::fill(second.begin(), second.begin() + probe.count_, int16_t{-1});
  std::fill(secondD2.begin(), secondD2.begin() + probe.count_, 0.0f);
  const float* gy = gallery.y_.data();
  // The window of probe minutia k: its rows, its squared radius and its turned direction.
  struct Window {
    float top, bottom, radius2;
    uint8_t qa;
  };
  const auto window = [&](int k) {
    const float radius = radii[k];
    const int turn = local ? a.rotation + shiftAngle_[k] : a.rotation;
    return Window{mappedY[k] - radius, mappedY[k] + radius, radius * radius,
                  static_cast<uint8_t>(probe.angle_[k] + turn)};
  };
  // Which of the eight gallery slots from `first` lie within the tolerances of probe minutia k
  // (bit h for slot first + h). Those past the set's end have y = infinity, and fail.
  static_assert(PreparedTemplate::kPairScan == 8, "two groups of four slots, eight angle bytes");
  const auto slots = [&](int k, const Window& w, int first) -> unsigned {
    const float qx = mappedX[k];
    const float qy = mappedY[k];
#if defined(__SSE2__)
    // The eight slots tested at once (the same float operations as one by one, so the same
    // results).
    const __m128 vqx = _mm_set1_ps(qx);
    const __m128 vqy = _mm_set1_ps(qy);
    const __m128 vtop = _mm_set1_ps(w.top);
    const __m128 vbottom = _mm_set1_ps(w.bottom);
    const __m128 vradius2 = _mm_set1_ps(w.radius2);
    unsigned within = 0;
    for (int h = 0; h < 2; ++h) {
      const __m128 x = _mm_loadu_ps(gallery.x_.data() + first + 4 * h);
      const __m128 y = _mm_loadu_ps(gy + first + 4 * h);
      const __m128 ex = _mm_sub_ps(x, vqx);
      const __m128 ey = _mm_sub_ps(y, vqy);
      const __m128 d2 = _mm_add_ps(_mm_mul_ps(ex, ex), _mm_mul_ps(ey, ey));
      const __m128 ok = _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(y, vtop), _mm_cmple_ps(y, vbottom)),
                                   _mm_cmple_ps(d2, vradius2));
      within |= static_cast<unsigned>(_mm_movemask_ps(ok)) << (4 * h);
    }
    // Angles within the tolerance either way: (gallery - qa + tolerance) mod 256 at most
    // twice the tolerance.
    const __m128i angles =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(gallery.angle_.data() + first));
    const __m128i shifted =
        _mm_add_epi8(_mm_sub_epi8(angles, _mm_set1_epi8(static_cast<char>(w.qa))),
                     _mm_set1_epi8(static_cast<char>(kPairAngleTolerance)));
    const __m128i close = _mm_cmpeq_epi8(
        _mm_min_epu8(shifted, _mm_set1_epi8(static_cast<char>(2 * kPairAngleTolerance))), shifted);
    return within & static_cast<unsigned>(_mm_movemask_epi8(close)) & 0xFFu;
#else
    unsigned within = 0;
    for (int h = 0; h < PreparedTemplate::kPairScan; ++h) {
      const int g = first + h;
      const float ex = gallery.x_[g] - qx;
      const float ey = gy[g] - qy;
      const float d2 = ex * ex + ey * ey;
      const bool ok = (gy[g] >= w.top) & (gy[g] <= w.bottom) & (d2 <= w.radius2) &
                      (AngleDistance(gallery.angle_[g], w.qa) <= kPairAngleTolerance);
      within |= static_cast<unsigned>(ok) << h;
    }
    return within;
#endif
  };

  // First pass. From the first minutia of the window's top row band, a fixed number of slots
  // (the set is padded with y = infinity): longer windows continue in the second pass.
  std::array<uint8_t, kMaxMinutiae> listed;
  std::array<uint8_t, kMaxMinutiae> firstSlot;
  std::array<uint8_t, kMaxMinutiae> firstWithin;
  int reached = 0;
  for (int k = 0; k < probe.count_; ++k) {
    listed[static_cast<size_t>(reached)] = static_cast<uint8_t>(k);
    reached += reachable[k];
  }
  int searched = 0;
  for (int n = 0; n < reached; ++n) {
    const int k = listed[static_cast<size_t>(n)];
    const Window w = window(k);
    const int band = static_cast<int>(std::clamp(w.top / PreparedTemplate::kRowBand, 0.0f,
                                                 static_cast<float>(PreparedTemplate::kRowBands)));
    const int first = gallery.rowStart_[band];
    const unsigned within = slots(k, w, first);
    const bool longer = gy[first + PreparedTemplate::kPairScan - 1] <= w.bottom;
    // Written in place: the list is read no further back than it is written.
    listed[static_cast<size_t>(searched)] = static_cast<uint8_t>(k);
    firstSlot[static_cast<size_t>(k)] = static_cast<uint8_t>(first);
    firstWithin[static_cast<size_t>(k)] = static_cast<uint8_t>(within);
    searched += (within != 0) | longer;
  }

  // Second pass: the gallery minutiae within the tolerances compete, in slot order, for the best
  // and second-best partner of each listed probe minutia, which then enters the contest.
  for (int n = 0; n < searched; ++n) {
    const int k = listed[static_cast<size_t>(n)];
    const Window w = window(k);
    const float qx = mappedX[k];
    const float qy = mappedY[k];
    int best = -1;
    float bestD2 = 0;
    float nextD2 = 0;
    const auto take = [&](int g, float d2) {
      if (best < 0 || d2 < bestD2) {
        second[k] = static_cast<int16_t>(best);
        nextD2 = bestD2;
        best = g;
        bestD2 = d2;
      } else if (second[k] < 0 || d2 < nextD2) {
        second[k] = static_cast<int16_t>(g);
        nextD2 = d2;
      }
    };
    const auto takeAll = [&](int first, unsigned within) {
      while (within != 0) {
        const int g = first + std::countr_zero(within);
        within &= within - 1;
        const float ex = gallery.x_[g] - qx;
        const float ey = gy[g] - qy;
        take(g, ex * ex + ey * ey);
      }
    };
    const int first = firstSlot[static_cast<size_t>(k)];
    takeAll(first, firstWithin[static_cast<size_t>(k)]);
    // A longer window: eight slots at a time while the last one tested lies above its bottom.
    for (int g = first + PreparedTemplate::kPairScan; g < gallery.count_ && gy[g - 1] <= w.bottom;
         g += PreparedTemplate::kPairScan) {
      takeAll(g, slots(k, w, g));
    }
    secondD2[k] = nextD2;
    if (best < 0) {
      continue;
    }
    // The loser of a contest tries its second choice once.
    const int loser = offer(k, best, bestD2);
    if (loser >= 0 && second[loser] >= 0 && second[loser] != best && owner_[second[loser]] < 0) {
      offer(loser, second[loser], secondD2[loser]);
    }
  }

  // The paired gallery minutiae in order, listed without a branch (most are not paired).
  std::array<uint8_t, kMaxMinutiae> pairedList;
  Pairing result;
  for (int g = 0; g < gallery.count_; ++g) {
    pairedList[static_cast<size_t>(result.paired)] = static_cast<uint8_t>(g);
    result.paired += owner_[g] >= 0 ? 1 : 0;
  }
  if (result.paired < kMinPaired) {
    return result;
  }
  // Gallery minutiae inside the probe's box, mapped back by the inverse alignment.
  // Their weights worked out four at a time where the processor allows (the same operations),
  // then summed in order, as one at a time.
  const float probeLeft = probe.minX_ - kOverlapMargin;
  const float probeRight = probe.maxX_ + kOverlapMargin;
  const float probeTop = probe.minY_ - kOverlapMargin;
  const float probeBottom = probe.maxY_ + kOverlapMargin;
  int unmapped = 0;
#if defined(__SSE2__)
  {
    const auto [anchorX, anchorY, targetX, targetY, cosine, sine] = Splat(a);
    for (; unmapped + 4 <= gallery.count_; unmapped += 4) {
      const int g = unmapped;
      const __m128 dx = _mm_sub_ps(_mm_loadu_ps(gallery.x_.data() + g), targetX);
      const __m128 dy = _mm_sub_ps(_mm_loadu_ps(gallery.y_.data() + g), targetY);
      const __m128 px =
          _mm_add_ps(_mm_add_ps(anchorX, _mm_mul_ps(cosine, dx)), _mm_mul_ps(sine, dy));
      const __m128 py =
          _mm_add_ps(_mm_sub_ps(anchorY, _mm_mul_ps(sine, dx)), _mm_mul_ps(cosine, dy));
      const __m128 inside = _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(px, _mm_set1_ps(probeLeft)),
                                                  _mm_cmple_ps(px, _mm_set1_ps(probeRight))),
                                       _mm_and_ps(_mm_cmpge_ps(py, _mm_set1_ps(probeTop)),
                                                  _mm_cmple_ps(py, _mm_set1_ps(probeBottom))));
      _mm_storeu_ps(insideWeight.data() + g,
                    _mm_and_ps(inside, _mm_loadu_ps(gallery.weight_.data() + g)));
    }
  }
#endif
  for (; unmapped < gallery.count_; ++unmapped) {
    const int g = unmapped;
    const float dx = gallery.x_[g] - a.targetX;
    const float dy = gallery.y_[g] - a.targetY;
    const float px = a.anchorX + a.cosine * dx + a.sine * dy;
    const float py = a.anchorY - a.sine * dx + a.cosine * dy;
    const bool inside =
        (px >= probeLeft) & (px <= probeRight) & (py >= probeTop) & (py <= probeBottom);
    insideWeight[g] = inside ? gallery.weight_[g] : 0.0f;
  }
  float galleryInside = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    galleryInside += insideWeight[g];
  }
  // The paired count, each pair weighted by how closely it agrees (see kSoftDistance) and by
  // the two minutiae's quality weights.
  float weighted = 0;
  for (int n = 0; n < result.paired; ++n) {
    const int g = pairedList[static_cast<size_t>(n)];
    const int k = owner_[g];
    const float dx = probe.x_[k] - a.anchorX;
    const float dy = probe.y_[k] - a.anchorY;
    const float radius = tolerance(dx, dy);
    float ex = gallery.x_[g] - (a.targetX + a.cosine * dx - a.sine * dy);
    float ey = gallery.y_[g] - (a.targetY + a.sine * dx + a.cosine * dy);
    int turn = a.rotation;
    if (local) {
      ex -= shiftX_[k];
      ey -= shiftY_[k];
      turn += shiftAngle_[k];
    }
    const float angle = static_cast<float>(AngleDistance(
                            gallery.angle_[g], static_cast<uint8_t>(probe.angle_[k] + turn))) /
                        kPairAngleTolerance;
    const float soft = local ? radius * kBendCloseness : radius;
    float w = std::max(0.0f, 1.0f - kSoftDistance * (ex * ex + ey * ey) / (soft * soft)) *
              (1.0f - kSoftAngle * angle * angle) *
              std::sqrt(probe.weight_[k] * gallery.weight_[g]);
    // An ending paired with a bifurcation counts less (see kTypeMismatchLoss).
    w *= TypeAgreement(probe.type_[k], gallery.type_[g], kTypeMismatchLoss);
    weighted += w;
  }
  // Minutiae outside the overlap cannot pair and do not count against the score; but an overlap
  // holding few of either set's minutiae is weak evidence, so at least kMinOverlapShare of each set
  // (by weight) and kMinEffectiveWeight, capped at the set's own weight, count.
  const float np =
      std::max({probeInside, weighted,
                std::clamp(probe.totalWeight_, kLeastEffectiveWeight, kMinEffectiveWeight),
                probe.totalWeight_ * kMinOverlapShare});
  const float ng =
      std::max({galleryInside, weighted,
                std::clamp(gallery.totalWeight_, kLeastEffectiveWeight, kMinEffectiveWeight),
                gallery.totalWeight_ * kMinOverlapShare});
  result.score =
      std::clamp(static_cast<int>(static_cast<float>(kMaxScore) * weighted * weighted / (np * ng)),
                 0, kMaxScore);
  return result;
}

bool Comparator::Refit(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                       const std::array<int16_t, kMaxMinutiae>& owner, Alignment* a) {
  float px = 0, py = 0, gx = 0, gy = 0;
  int m = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    if (owner[g] >= 0) {
      px += probe.x_[owner[g]];
      py += probe.y_[owner[g]];
      gx += gallery.x_[g];
      gy += gallery.y_[g];
      ++m;
    }
  }
  if (m < kMinPaired) {
    return false;
  }
  px /= static_cast<float>(m);
  py /= static_cast<float>(m);
  gx /= static_cast<float>(m);
  gy /= static_cast<float>(m);
  float sxx = 0, sxy = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    if (owner[g] >= 0) {
      const float ux = probe.x_[owner[g]] - px;
      const float uy = probe.y_[owner[g]] - py;
      const float vx = gallery.x_[g] - gx;
      const float vy = gallery.y_[g] - gy;
      sxx += ux * vx + uy * vy;
      sxy += ux * vy - uy * vx;
    }
  }
  const float rho = std::atan2(sxy, sxx);
  const int rotation = static_cast<int>(std::lround(rho * kUnitsPerRadian));
  a->cosine = std::cos(rho);
  a->sine = std::sin(rho);
  a->rotation = rotation;
  a->anchorX = px;
  a->anchorY = py;
  a->targetX = gx;
  a->targetY = gy;
  return true;
}

bool Comparator::Bend(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                      const std::array<int16_t, kMaxMinutiae>& owner, const Alignment& a) {
  // The pairs' probe positions and residuals: where the gallery minutia lies beyond where the
  // alignment puts its partner, and the same for the direction.
  std::array<float, kMaxMinutiae> px, py, rx, ry, ra;
  int m = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    const int k = owner[g];
    if (k < 0) {
      continue;
    }
    const float dx = probe.x_[k] - a.anchorX;
    const float dy = probe.y_[k] - a.anchorY;
    px[m] = probe.x_[k];
    py[m] = probe.y_[k];
    rx[m] = gallery.x_[g] - (a.targetX + a.cosine * dx - a.sine * dy);
    ry[m] = gallery.y_[g] - (a.targetY + a.sine * dx + a.cosine * dy);
    ra[m] = static_cast<float>(static_cast<int8_t>(
        static_cast<uint8_t>(gallery.angle_[g] - probe.angle_[k] - a.rotation)));
    ++m;
  }
  if (m < kBendMinPaired) {
    return false;
  }
  constexpr float kReach2 = kBendReach * kBendReach;
  for (int k = 0; k < probe.count_; ++k) {
    float sw = kBendPrior, sx = 0, sy = 0, sa = 0;
    for (int n = 0; n < m; ++n) {
      const float dx = px[n] - probe.x_[k];
      const float dy = py[n] - probe.y_[k];
      const float u = std::max(0.0f, 1.0f - (dx * dx + dy * dy) / kReach2);
      // A minutia's own pair (the same position) does not predict itself.
      const float w = (dx != 0.0f || dy != 0.0f) ? u * u : 0.0f;
      sw += w;
      sx += w * rx[n];
      sy += w * ry[n];
      sa += w * ra[n];
    }
    shiftX_[k] = sx / sw;
    shiftY_[k] = sy / sw;
    shiftAngle_[k] = static_cast<int8_t>(std::lround(kBendTurn * sa / sw));
  }
  return true;
}

size_t Comparator::Bytes() const {
  return tallies_.capacity() * sizeof(Tally) + touched_.capacity() * sizeof(uint16_t) +
         ranked_.capacity() * sizeof(RankedCell) + codeKeys_.capacity() * sizeof(uint32_t) +
         codeSorted_.capacity() * sizeof(uint32_t);
}

int Comparator::Score(const PreparedTemplate& a, const PreparedTemplate& b,
                      const CompareOptions& options) {
  // The voting, the choice of seeds and the greedy pairing each favour one side; putting the
  // sets in an order of their own makes the score independent of which was called the probe.
  const bool swap = b.Precedes(a);
  const PreparedTemplate& probe = swap ? b : a;
  const PreparedTemplate& gallery = swap ? a : b;
  if (options.oracle == 2) {
    return EveryPairScore(probe, gallery, options);
  }
  stageEvidence_ = {};
  stagePairing_ = {};
  lastStage_ = 0;
  if (!options.localCodes) {
    return ScoreOrdered(probe, gallery, options, false);
  }
  const int codes = ScoreOrdered(probe, gallery, options, true);
  lastStage_ = 1;
  if (!options.edgeVotes) {
    return codes;
  }
  const int edges = ScoreOrdered(probe, gallery, options, false);
  // The evidence reported is that of the stage whose score counts.
  lastStage_ = codes >= edges ? 1 : 0;
  return std::max(codes, edges);
}

int Comparator::VoteCandidates(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                               int wanted, Candidate* candidatesOut) {
  // One cell per (probe, gallery) minutia pair; the table grows to the largest pair of sets
  // seen (37 KB of cells for two sets of 48 minutiae, 1 MB for two of the most a record can
  // hold). Cells are zero between comparisons, so grown cells join the table as they should.
  const size_t cells = static_cast<size_t>(probe.count_) * static_cast<size_t>(gallery.count_);
  if (tallies_.size() < cells) {
    tallies_.resize(cells);
    touched_.reserve(cells);
  }
  if ((probe.sides_ & PreparedTemplate::kProbeSide) == 0) {
    probe.BuildProbeSide();
  }
  if ((gallery.sides_ & PreparedTemplate::kGallerySide) == 0) {
    gallery.BuildGallerySide();
  }
  touched_.clear();
  Vote(probe, gallery);

  // The cells with the most votes, best first: the candidate correspondences.
  const int candidateCount = wanted;
  std::array<uint16_t, kMaxCandidates> candidates;
  // Most votes (scaled by the two minutiae's edge counts, see kChoiceDegreePower) first; among
  // equal ones, the cell voted for first in the canonical order (each cell's first vote has a
  // position of its own, so the order is total). Scaled votes are seldom equal, so the cells
  // come in no useful order: inserting each into the sorted list of the best, as for whole
  // vote counts, shifted half the list for most of them. One key per cell (the scaled votes'
  // bits, which order as the positive floats do, above the complement of the first vote's
  // position) and a partial selection cost far less.
  // Grows to the most voted cells seen (a few hundred for real prints), not to every cell.
  ranked_.clear();
  for (const uint16_t cell : touched_) {
    const Tally& t = tallies_[cell];
    const int i = cell / gallery.count_;
    const int j = cell % gallery.count_;
    const float strength =
        static_cast<float>(t.votes) * (probe.choiceScale_[i] * gallery.choiceScale_[j]);
    ranked_.push_back(RankedCell{
        static_cast<uint64_t>(std::bit_cast<uint32_t>(strength)) << 32 | ~t.first, cell});
  }
  const auto better = [](const RankedCell& a, const RankedCell& b) { return a.key > b.key; };
  const int found = std::min(candidateCount, static_cast<int>(ranked_.size()));
  if (found < static_cast<int>(ranked_.size())) {
    std::nth_element(ranked_.begin(), ranked_.begin() + found - 1, ranked_.end(), better);
  }
  std::sort(ranked_.begin(), ranked_.begin() + found, better);
  for (int c = 0; c < found; ++c) {
    candidates[c] = ranked_[static_cast<size_t>(c)].cell;
  }

  // Each candidate's rotation, and its votes (scaled, see kSupportDegreePower) as its weight in
  // the support.
  for (int c = 0; c < found; ++c) {
    const Tally& t = tallies_[candidates[c]];
    const int i = candidates[c] / gallery.count_;
    const int j = candidates[c] % gallery.count_;
    Candidate& out = candidatesOut[c];
    out.cell = candidates[c];
    out.probe = static_cast<uint8_t>(i);
    out.gallery = static_cast<uint8_t>(j);
    out.rotation =
        static_cast<float>(Wrap(t.firstRotation)) + static_cast<float>(t.rotationSum) / t.votes;
    // In fixed point (1/4096 of a vote): whole numbers add up in any order, so the sums of the
    // support stay vector code and give the same result however the compiler groups them.
    out.weight = static_cast<int32_t>(std::lround(
        static_cast<float>(t.votes) * probe.supportScale_[i] * gallery.supportScale_[j] *
        kSupportUnit * TypeAgreement(probe.type_[i], gallery.type_[j], kSupportTypeLoss)));
  }
  for (const uint16_t cell : touched_) {
    tallies_[cell] = Tally{};
  }
  return found;
}

namespace {

// The keys of every pair of minutiae whose directions allow the rotation (see kMaxRotation)
// and whose codes are similar enough (see Comparator::CodeCandidates); returns how many.
WEBAGENT_POPCOUNT_CLONES
int CodeKeys(const PreparedTemplate::Code* probe, const uint8_t* probeAngle, int probeCount,
             const PreparedTemplate::Code* gallery, const uint8_t* galleryAngle, int galleryCount,
             uint32_t* keys) {
  const uint32_t least = static_cast<uint32_t>(kMinCodeSimilarity * 65535.0f);
  int kept = 0;
  for (int i = 0; i < probeCount; ++i) {
    const PreparedTemplate::Code& a = probe[i];
    const uint8_t angle = probeAngle[i];
    for (int j = 0; j < galleryCount; ++j) {
      const PreparedTemplate::Code& b = gallery[j];
      // Directions more than kMaxRotation apart: a turn not accepted.
      const unsigned turn =
          static_cast<uint8_t>(galleryAngle[j] - angle + kMaxRotation) <= 2 * kMaxRotation;
      // Too few bits together: 0.
      const uint32_t similarity = PreparedTemplate::CodeSimilarityFixed(a, b);
      // Appended without a branch: whether a pair is kept is hard to predict.
      // i << 8 | j orders the pairs as i * galleryCount + j does, without a division later.
      const uint32_t cell = static_cast<uint32_t>(i << 8 | j);
      keys[kept] = similarity << 16 | (0xFFFFu - cell);
      kept += static_cast<int>(turn & static_cast<unsigned>(similarity >= least));
    }
  }
  return kept;
}

// Cosine and sine of every whole turn from -128 to 127 units, at index turn + 128, worked out
// as ScoreOrdered works out a candidate's: code candidates turn by whole units.
struct WholeTurns {
  std::array<float, 256> cosine{};
  std::array<float, 256> sine{};
};
const WholeTurns& Turns() {
  static const WholeTurns turns = [] {
    WholeTurns t;
    for (int r = -128; r < 128; ++r) {
      const float rho = static_cast<float>(r) / kUnitsPerRadian;
      t.cosine[static_cast<size_t>(r + 128)] = std::cos(rho);
      t.sine[static_cast<size_t>(r + 128)] = std::sin(rho);
    }
    return t;
  }();
  return turns;
}

// A gallery set's codes as the wide loop reads them (PreparedTemplate::codeWords_ and the rest).
struct WideGallery {
  const uint64_t* words;
  const uint32_t* ones;
  const uint8_t* angles;
  const uint8_t* index;
  const uint16_t* first;
  int stride;
  int count;
};

#if defined(__x86_64__) && defined(__GNUC__)
#define WEBAGENT_WIDE_CODES 1
// CodeKeys four gallery codes at a time (AVX2, chosen when the program starts): the popcounts
// of the four layers by nibble look-ups, summed per code. Only pairs that pass a necessary
// condition of the similarity floor (2 * 65535 * both >= floor * total, which the fixed-point
// similarity implies) are finished one by one, exactly as CodeKeys does; the rest, most of
// them, cost no scalar work. The keys come in the same order as CodeKeys writes them.
__attribute__((target("avx2,popcnt"))) int CodeKeysWide(const PreparedTemplate::Code* probe,
                                                        const uint8_t* probeAngle, int probeCount,
                                                        const WideGallery& gallery,
                                                        uint32_t* keys) {
  const uint64_t* words = gallery.words;
  const uint32_t* ones = gallery.ones;
  const int stride = gallery.stride;
  const int galleryCount = gallery.count;
  const uint32_t least = static_cast<uint32_t>(kMinCodeSimilarity * 65535.0f);
  const __m256i nibbles = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1,
                                           2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i twice = _mm256_set1_epi64x(2 * 65535);
  int kept = 0;
  // Common bits per gallery place, for the row of one probe minutia.
  alignas(32) uint64_t counts[kMaxMinutiae + 8];
  // The gallery's part of the floor, floor * ones, per place: a row then tests
  // floor * ones - 2 * 65535 * both > -floor * (probe's ones), one subtraction and one
  // comparison per group (64-bit lanes: no overflow).
  alignas(32) int64_t galleryFloor[kMaxMinutiae + 8];
  for (int g = 0; g < stride; ++g) {
    galleryFloor[g] = static_cast<int64_t>(least) * ones[g];
  }
  // The gallery's words shifted down by a nibble, once per comparison rather than once per
  // row: the high nibbles' look-up then needs only the probe's mask (shifts have fewer
  // execution ports than the other steps of the loop).
  alignas(32) uint64_t shifted[PreparedTemplate::kCodeLayers * (kMaxMinutiae + 1)];
  static_assert((kMaxMinutiae + 3) / 4 * 4 <= kMaxMinutiae + 1);
  for (int n = 0; n < PreparedTemplate::kCodeLayers * stride; n += 4) {
    _mm256_store_si256(
        reinterpret_cast<__m256i*>(shifted + n),
        _mm256_srli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + n)), 4));
  }
  for (int i = 0; i < probeCount; ++i) {
    const PreparedTemplate::Code& a = probe[i];
    // The probe code's low and high nibbles apart, each in the low half of its byte: a gallery
    // word (or the same shifted down, see `shifted`) then needs only one mask before the
    // look-up, and the probe's mask clears what the shift brought in from the next byte. The
    // four layers are one 256-bit load, each layer then spread over the four lanes.
    static_assert(sizeof(a.bits) == 32);
    const __m256i layers = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.bits.data()));
    const __m256i lows = _mm256_and_si256(layers, low);
    const __m256i highs = _mm256_and_si256(_mm256_srli_epi16(layers, 4), low);
    const __m256i aLow[PreparedTemplate::kCodeLayers] = {
        _mm256_permute4x64_epi64(lows, 0x00), _mm256_permute4x64_epi64(lows, 0x55),
        _mm256_permute4x64_epi64(lows, 0xAA), _mm256_permute4x64_epi64(lows, 0xFF)};
    const __m256i aHigh[PreparedTemplate::kCodeLayers] = {
        _mm256_permute4x64_epi64(highs, 0x00), _mm256_permute4x64_epi64(highs, 0x55),
        _mm256_permute4x64_epi64(highs, 0xAA), _mm256_permute4x64_epi64(highs, 0xFF)};
    const __m256i rowFloor = _mm256_set1_epi64x(-static_cast<int64_t>(least) * a.ones);
    const uint8_t angle = probeAngle[i];
    // The places of the directions that allow the turn: one run, or two when the range of
    // directions wraps around; over one run when two would share a group of four.
    const int lo = (angle - kMaxRotation) & 0xFF;
    const int hi = (angle + kMaxRotation) & 0xFF;
    const int from = gallery.first[lo];
    const int to = gallery.first[hi + 1];
    std::array<std::pair<int, int>, 2> runs{};
    int runCount = 1;
    if (lo <= hi) {
      runs[0] = {from / 4 * 4, to};
    } else if (from / 4 * 4 < to) {
      runs[0] = {0, galleryCount};
    } else {
      runs[0] = {0, to};
      runs[1] = {from / 4 * 4, galleryCount};
      runCount = 2;
    }
    // By words of 64 places: first every group of the runs in the word, without a branch (a
    // group's outcome is known only at the end of its chain of vector steps, and a branch on
    // it kept the next groups from starting): each place's count of common bits, and a bit
    // per place that passes, gathered in a register (or-ing into a word in memory chained
    // every group to the one before, and single bytes read back as one word waited for each
    // store). Then the places that passed, one by one. The runs share no group, so no place
    // is met twice.
    const int words64 = (galleryCount + 63) / 64;
    for (int w = 0; w < words64; ++w) {
      uint64_t bits = 0;
      for (int r = 0; r < runCount; ++r) {
        // The first place is a multiple of four, and so is 64 * w: a group never straddles two
        // words.
        const int begin = std::max(runs[static_cast<size_t>(r)].first, 64 * w);
        const int end = std::min(runs[static_cast<size_t>(r)].second, 64 * w + 64);
        for (int j = begin; j < end; j += 4) {
          // At most 4 x 8 per byte over the layers: no overflow. Summed as a tree, which keeps
          // the group's chain of dependent steps short.
          __m256i layer[PreparedTemplate::kCodeLayers];
          for (int l = 0; l < PreparedTemplate::kCodeLayers; ++l) {
            const __m256i b =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + l * stride + j));
            const __m256i bHigh =
                _mm256_load_si256(reinterpret_cast<const __m256i*>(shifted + l * stride + j));
            layer[l] =
                _mm256_add_epi8(_mm256_shuffle_epi8(nibbles, _mm256_and_si256(aLow[l], b)),
                                _mm256_shuffle_epi8(nibbles, _mm256_and_si256(aHigh[l], bHigh)));
          }
          const __m256i sum = _mm256_add_epi8(_mm256_add_epi8(layer[0], layer[1]),
                                              _mm256_add_epi8(layer[2], layer[3]));
          const __m256i both = _mm256_sad_epu8(sum, zero);
          const __m256i fails = _mm256_cmpgt_epi64(
              _mm256_sub_epi64(
                  _mm256_load_si256(reinterpret_cast<const __m256i*>(galleryFloor + j)),
                  _mm256_mul_epu32(both, twice)),
              rowFloor);
          _mm256_store_si256(reinterpret_cast<__m256i*>(counts + j), both);
          const auto failing =
              static_cast<uint64_t>(_mm256_movemask_pd(_mm256_castsi256_pd(fails)));
          bits |= (failing ^ 0xFu) << (j & 63);
        }
      }
      for (; bits != 0; bits &= bits - 1) {
        const int g = w * 64 + std::countr_zero(bits);
        if (g >= galleryCount) {
          break;
        }
        const unsigned turn =
            static_cast<uint8_t>(gallery.angles[g] - angle + kMaxRotation) <= 2 * kMaxRotation;
        const uint32_t similarity =
            static_cast<uint32_t>(counts[g] * kCodeScale[a.ones + ones[g]] >> 16);
        // Appended without a branch, as CodeKeys does: a pair that passed the necessary
        // condition may still fall short, or lie outside the turn, by chance.
        const uint32_t cell = static_cast<uint32_t>(i << 8 | gallery.index[g]);
        keys[kept] = similarity << 16 | (0xFFFFu - cell);
        kept += static_cast<int>(turn & static_cast<unsigned>(similarity >= least));
      }
    }
  }
  return kept;
}

bool HasWideCodeLoop() {
  static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return wide;
}
#else
bool HasWideCodeLoop() {
  return false;
}
#endif

// The similar pairs' keys (see CodeKeys), by the wide loop when `wide` and the processor has it.
int SimilarPairs(const PreparedTemplate::Code* probe, const uint8_t* probeAngle, int probeCount,
                 const PreparedTemplate::Code* gallery, const uint8_t* galleryAngle,
                 int galleryCount, const WideGallery& wideGallery, bool wide, uint32_t* keys) {
#ifdef WEBAGENT_WIDE_CODES
  if (wide && HasWideCodeLoop()) {
    return CodeKeysWide(probe, probeAngle, probeCount, wideGallery, keys);
  }
#else
  (void)wideGallery;
  (void)wide;
#endif
  return CodeKeys(probe, probeAngle, probeCount, gallery, galleryAngle, galleryCount, keys);
}

}  // namespace

bool Comparator::WideCodeLoop() {
  return HasWideCodeLoop();
}

std::vector<uint32_t> Comparator::SimilarCodePairs(const PreparedTemplate& a,
                                                   const PreparedTemplate& b, bool wide) {
  for (const PreparedTemplate* set : {&a, &b}) {
    if ((set->sides_ & PreparedTemplate::kCodeStage) == 0) {
      set->BuildCodes();
    }
  }
  std::vector<uint32_t> keys(static_cast<size_t>(a.count_) * static_cast<size_t>(b.count_) + 1);
  const int kept = SimilarPairs(
      a.codes_.data(), a.angle_.data(), a.count_, b.codes_.data(), b.angle_.data(), b.count_,
      WideGallery{b.codeWords_.data(), b.codeOnes_.data(), b.codeAngles_.data(),
                  b.codeIndex_.data(), b.codeFirst_.data(), b.codeStride_, b.count_},
      wide, keys.data());
  keys.resize(static_cast<size_t>(kept));
  std::sort(keys.begin(), keys.end());
  return keys;
}

int Comparator::CodeCandidates(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                               int wanted, Candidate* out) {
  // Every pair of minutiae whose directions allow the rotation (see kMaxRotation) and whose
  // codes are similar enough, as one key each: the similarity in 16 bits above the complement
  // of the cell, so that the order is total and ties go to the earlier cell.
  const size_t cells = static_cast<size_t>(probe.count_) * static_cast<size_t>(gallery.count_);
  // Grows to the largest pair of sets seen and stays: resizing down and up again would clear
  // the keys on every comparison.
  if (codeKeys_.size() < cells) {
    codeKeys_.resize(cells);
  }
  const int gn = gallery.count_;
  const int kept =
      SimilarPairs(probe.codes_.data(), probe.angle_.data(), probe.count_, gallery.codes_.data(),
                   gallery.angle_.data(), gn,
                   WideGallery{gallery.codeWords_.data(), gallery.codeOnes_.data(),
                               gallery.codeAngles_.data(), gallery.codeIndex_.data(),
                               gallery.codeFirst_.data(), gallery.codeStride_, gallery.count_},
                   true, codeKeys_.data());
  const auto keys = codeKeys_.begin();
  const int pool = std::min(kCodePool * wanted, kept);
  // The keys in descending order, but only as far as they are looked at: a counting sort by
  // the similarity's top byte puts them in groups, and each group is sorted when the walk
  // reaches it (a few keys each). The keys are distinct, so this is the order a full sort
  // gives; sorting every key cost about a sixth of a comparison.
  // Group g holds the keys whose top byte is 255 - g; groupStart[g] is where it begins. Only
  // the groups between the highest and the lowest top byte present are worked on (the floor
  // of similarity leaves the lowest quarter of the bytes empty, and the highest are rare).
  std::array<uint16_t, 257> groupStart{};
  int firstGroup = 255;
  int lastGroup = 0;
  for (int n = 0; n < kept; ++n) {
    const int g = 255 - static_cast<int>(keys[n] >> 24);
    ++groupStart[static_cast<size_t>(g) + 1];
    firstGroup = std::min(firstGroup, g);
    lastGroup = std::max(lastGroup, g);
  }
  // The groups that hold keys, a bit each: the walk goes from one to the next without looking
  // at the empty ones between (most are; how many was a branch the predictor could not learn).
  std::array<uint64_t, 4> occupied{};
  for (int g = firstGroup + 1; g <= lastGroup + 1; ++g) {
    occupied[static_cast<size_t>(g - 1) >> 6] |=
        static_cast<uint64_t>(groupStart[static_cast<size_t>(g)] != 0) << ((g - 1) & 63);
    groupStart[static_cast<size_t>(g)] = static_cast<uint16_t>(
        groupStart[static_cast<size_t>(g)] + groupStart[static_cast<size_t>(g) - 1]);
  }
  if (codeSorted_.size() < codeKeys_.size()) {
    codeSorted_.resize(codeKeys_.size());
  }
  {
    std::array<uint16_t, 256> next;
    for (int g = firstGroup; g <= lastGroup; ++g) {
      next[static_cast<size_t>(g)] = groupStart[static_cast<size_t>(g)];
    }
    for (int n = 0; n < kept; ++n) {
      codeSorted_[next[255 - (keys[n] >> 24)]++] = keys[n];
    }
  }
  const auto sorted = codeSorted_.begin();
  int sortedUpTo = 0;  // keys before this place are in their final order
  size_t word = 0;     // of `occupied`: the groups of the earlier words are done
  std::array<uint8_t, kMaxMinutiae> probeUses;
  std::array<uint8_t, kMaxMinutiae> galleryUses;
  std::fill(probeUses.begin(), probeUses.begin() + probe.count_, uint8_t{0});
  std::fill(galleryUses.begin(), galleryUses.begin() + gn, uint8_t{0});
  int found = 0;
  for (int c = 0; c < pool && found < wanted; ++c) {
    if (c == sortedUpTo) {
      // The next group that holds keys (there is one: c < kept), which begins at c.
      while (occupied[word] == 0) {
        ++word;
      }
      const int group = static_cast<int>(word) * 64 + std::countr_zero(occupied[word]);
      occupied[word] &= occupied[word] - 1;
      sortedUpTo = groupStart[static_cast<size_t>(group) + 1];
      // Groups hold a few keys each: by insertion, without a call.
      if (sortedUpTo - c <= 16) {
        for (int n = c + 1; n < sortedUpTo; ++n) {
          const uint32_t key = sorted[n];
          int at = n;
          for (; at > c && sorted[at - 1] < key; --at) {
            sorted[at] = sorted[at - 1];
          }
          sorted[at] = key;
        }
      } else {
        std::sort(sorted + c, sorted + sortedUpTo, [](uint32_t a, uint32_t b) { return a > b; });
      }
    }
    const uint32_t key = codeSorted_[static_cast<size_t>(c)];
    const int pair = static_cast<int>(0xFFFFu - (key & 0xFFFFu));
    const int i = pair >> 8;
    const int j = pair & 0xFF;
    if (probeUses[i] >= kCodeUses || galleryUses[j] >= kCodeUses) {
      continue;
    }
    ++probeUses[i];
    ++galleryUses[j];
    const float similarity = static_cast<float>(key >> 16) / 65535.0f;
    out[found].cell = static_cast<uint16_t>(i * gn + j);
    out[found].probe = static_cast<uint8_t>(i);
    out[found].gallery = static_cast<uint8_t>(j);
    out[found].rotation = static_cast<float>(Wrap(gallery.angle_[j] - probe.angle_[i]));
    // Rounded half away from zero as std::lround does (the weight is not negative): x + 0.5 is
    // exact in double, and the library call cost a twentieth of the candidate choice.
    out[found].weight = static_cast<int32_t>(
        static_cast<double>(similarity * kSupportUnit *
                            TypeAgreement(probe.type_[i], gallery.type_[j], kSupportTypeLoss)) +
        0.5);
    ++found;
  }
  return found;
}

namespace {

// The candidates' alignments as columns (see Comparator::ScoreOrdered), padded to whole groups
// of kSupportLanes with candidates of no votes.
constexpr int kSupportLanes = 8;
struct SupportColumns {
  const float* anchorX;
  const float* anchorY;
  const float* targetX;
  const float* targetY;
  const float* cosine;
  const float* sine;
  const int32_t* rotation;
  const int32_t* votes;
};

// Adds to each candidate's support the votes of the other candidates that its alignment carries
// to within the radius, at a rotation within `rotation` units. The inner loop runs in
// fixed-width groups that the compiler turns into vector code (a few hundred to a few thousand
// checks per comparison, a third of its time when scalar); in AVX2 registers where the
// processor has them, a group at once (AddSupportWide): the same float operations (no fused
// multiply-add is allowed), so the same sums.
inline __attribute__((always_inline)) void SupportLoop(const SupportColumns& columns, int found,
                                                       int padded, float radius2, int32_t rotation,
                                                       int32_t* support) {
  const float* ax = columns.anchorX;
  const float* ay = columns.anchorY;
  const float* tx = columns.targetX;
  const float* ty = columns.targetY;
  const int32_t* rot = columns.rotation;
  const int32_t* votes = columns.votes;
  for (int c = 0; c < found; ++c) {
    const float anchorX = ax[c];
    const float anchorY = ay[c];
    const float targetX = tx[c];
    const float targetY = ty[c];
    const float cosine = columns.cosine[c];
    const float sine = columns.sine[c];
    const int32_t turnOf = rot[c];
    int32_t agreeing = 0;
    for (int group = 0; group < padded; group += kSupportLanes) {
      for (int l = 0; l < kSupportLanes; ++l) {
        const int d = group + l;
        const float dx = ax[d] - anchorX;
        const float dy = ay[d] - anchorY;
        const float ex = targetX + cosine * dx - sine * dy - tx[d];
        const float ey = targetY + sine * dx + cosine * dy - ty[d];
        // Rotations differ by at most `rotation` units either way, modulo a turn.
        const int32_t turn = (rot[d] - turnOf + rotation) & 0xFF;
        // The candidate itself, and others on the same probe minutia, do not count. Masks
        // rather than branches, so that the group stays vector code.
        const int32_t agrees =
            static_cast<int32_t>(ex * ex + ey * ey <= radius2) &
            static_cast<int32_t>(turn <= 2 * rotation) &
            (static_cast<int32_t>(ax[d] != anchorX) | static_cast<int32_t>(ay[d] != anchorY));
        agreeing += votes[d] & -agrees;
      }
    }
    support[c] += agreeing;
  }
}

void AddSupportPlain(const SupportColumns& columns, int found, int padded, float radius2,
                     int32_t rotation, int32_t* support) {
  SupportLoop(columns, found, padded, radius2, rotation, support);
}

#ifdef WEBAGENT_WIDE_CODES
__attribute__((target("avx2"))) void AddSupportWide(const SupportColumns& columns, int found,
                                                    int padded, float radius2, int32_t rotation,
                                                    int32_t* support) {
  SupportLoop(columns, found, padded, radius2, rotation, support);
}
#endif

// `wide`: with AddSupportWide where the processor has AVX2.
void AddSupport(const SupportColumns& columns, int found, int padded, float radius2,
                int32_t rotation, int32_t* support, bool wide) {
#ifdef WEBAGENT_WIDE_CODES
  if (wide && HasWideCodeLoop()) {
    AddSupportWide(columns, found, padded, radius2, rotation, support);
    return;
  }
#else
  (void)wide;
#endif
  AddSupportPlain(columns, found, padded, radius2, rotation, support);
}

}  // namespace

void Comparator::Support(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                         const Candidate* candidates, int found, bool codes, bool wide,
                         int32_t* support) {
  // Each candidate's alignment, and the weight (votes or code similarity) of the other
  // candidates that agree with it: a correspondence of the true alignment has company, a
  // chance one mostly stands alone. Checking this among a few dozen candidates costs far less
  // than pairing all minutiae under each, so only the best supported few are paired.
  static_assert(std::tuple_size_v<decltype(alignments_)> == kMaxCandidates);
  std::array<Alignment, kMaxCandidates>& alignments = alignments_;
  for (int c = 0; c < found; ++c) {
    const Candidate& candidate = candidates[c];
    const float mean = candidate.rotation;
    Alignment& a = alignments[c];
    if (codes) {
      // A whole turn (two minutiae's difference of direction): looked up, the same values.
      const WholeTurns& turns = Turns();
      const int turn = static_cast<int>(mean);
      a.rotation = turn;
      a.cosine = turns.cosine[static_cast<size_t>(turn + 128)];
      a.sine = turns.sine[static_cast<size_t>(turn + 128)];
    } else {
      a.rotation = static_cast<int>(std::lround(mean));
      const float rho = mean / kUnitsPerRadian;
      a.cosine = std::cos(rho);
      a.sine = std::sin(rho);
    }
    const int i = candidate.probe;
    const int j = candidate.gallery;
    a.anchorX = probe.x_[i];
    a.anchorY = probe.y_[i];
    a.targetX = gallery.x_[j];
    a.targetY = gallery.y_[j];
    support[c] = candidate.weight;
  }
  // The candidates' alignments as columns, padded to whole groups (see AddSupport).
  constexpr int kLanes = kSupportLanes;
  static_assert(kMaxCandidates % kLanes == 0);
  std::array<float, kMaxCandidates> ax, ay, tx, ty, cosine, sine;
  std::array<int32_t, kMaxCandidates> rot, votes;
  const int padded = (found + kLanes - 1) / kLanes * kLanes;
  for (int d = 0; d < padded; ++d) {
    const bool real = d < found;
    ax[d] = real ? alignments[d].anchorX : -1e9f;
    ay[d] = real ? alignments[d].anchorY : -1e9f;
    tx[d] = real ? alignments[d].targetX : 0.0f;
    ty[d] = real ? alignments[d].targetY : 0.0f;
    cosine[d] = real ? alignments[d].cosine : 1.0f;
    sine[d] = real ? alignments[d].sine : 0.0f;
    rot[d] = real ? alignments[d].rotation : 0;
    votes[d] = real ? support[d] : 0;
  }
  const float supportRadius = codes ? kCodeSupportRadius : kSupportRadius;
  const int32_t supportRotation = codes ? kCodeSupportRotation : kSupportRotation;
  AddSupport(SupportColumns{ax.data(), ay.data(), tx.data(), ty.data(), cosine.data(), sine.data(),
                            rot.data(), votes.data()},
             found, padded, supportRadius * supportRadius, supportRotation, support, wide);
}

std::vector<int32_t> Comparator::CodeSupports(const PreparedTemplate& probe,
                                              const PreparedTemplate& gallery, int wanted,
                                              bool wide) {
  for (const PreparedTemplate* set : {&probe, &gallery}) {
    if ((set->sides_ & PreparedTemplate::kCodeStage) == 0) {
      set->BuildCodes();
    }
  }
  std::array<Candidate, kMaxCandidates> candidates;
  const int found =
      CodeCandidates(probe, gallery, std::clamp(wanted, 1, kMaxCandidates), candidates.data());
  std::vector<int32_t> support(static_cast<size_t>(found));
  Support(probe, gallery, candidates.data(), found, true, wide, support.data());
  return support;
}

int Comparator::ScoreOrdered(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                             const CompareOptions& options, bool codes) {
  stage_ = codes ? 1 : 0;
  if (probe.count_ < kMinPaired || gallery.count_ < kMinPaired) {
    return 0;
  }
  const int wanted = codes ? options.codeCandidates : options.candidates;
  const int seedsWanted = codes ? options.codeSeeds : options.seeds;
  const int candidateCount = std::clamp(std::max(wanted, seedsWanted), 1, kMaxCandidates);
  std::array<Candidate, kMaxCandidates> candidateList;
  // A set prepared for the other mode (a matcher switched between modes) gets what this one
  // needs now.
  for (const PreparedTemplate* set : {&probe, &gallery}) {
    if (codes && (set->sides_ & PreparedTemplate::kCodeStage) == 0) {
      set->BuildCodes();
    } else if (!codes && (set->sides_ & PreparedTemplate::kEdgeStage) == 0) {
      set->BuildEdges(options);
    }
  }
  const int found = codes ? CodeCandidates(probe, gallery, candidateCount, candidateList.data())
                          : VoteCandidates(probe, gallery, candidateCount, candidateList.data());
  if (found == 0) {
    return 0;
  }
  std::array<int32_t, kMaxCandidates> support;
  Support(probe, gallery, candidateList.data(), found, codes, true, support.data());
  std::array<Alignment, kMaxCandidates>& alignments = alignments_;
  if (options.ridgeSupport != 0 && options.ridgeCounts && !probe.ridgeRaw_.empty() &&
      !gallery.ridgeRaw_.empty()) {
    for (const PreparedTemplate* set : {&probe, &gallery}) {
      if (!set->ridgeBuilt_) {
        set->BuildRidgeLists();
      }
    }
    // The same agreement as the support's, then the counts between the two candidates'
    // minutiae in each set compared.
    const float radius = codes ? kCodeSupportRadius : kSupportRadius;
    const int32_t rotation = codes ? kCodeSupportRotation : kSupportRotation;
    std::array<int32_t, kMaxCandidates> weighed;
    for (int c = 0; c < found; ++c) {
      const Alignment& a = alignments[c];
      const int i = candidateList[static_cast<size_t>(c)].probe;
      const int j = candidateList[static_cast<size_t>(c)].gallery;
      int n = 0;
      int balance = 0;
      for (int d = 0; d < found; ++d) {
        const Alignment& b = alignments[d];
        const float dx = b.anchorX - a.anchorX;
        const float dy = b.anchorY - a.anchorY;
        const float ex = a.targetX + a.cosine * dx - a.sine * dy - b.targetX;
        const float ey = a.targetY + a.sine * dx + a.cosine * dy - b.targetY;
        const int32_t turn = (b.rotation - a.rotation + rotation) & 0xFF;
        const int k = candidateList[static_cast<size_t>(d)].probe;
        const int l = candidateList[static_cast<size_t>(d)].gallery;
        if (k == i || l == j || ex * ex + ey * ey > radius * radius || turn > 2 * rotation) {
          continue;
        }
        const int p = probe.RidgeCount(i, k);
        const int g = gallery.RidgeCount(j, l);
        if (p < 0 || g < 0) {
          continue;
        }
        ++n;
        balance += p == g ? 1 : (std::abs(p - g) >= 2 ? -1 : 0);
      }
      const float factor =
          1.0f + options.ridgeSupport * (static_cast<float>(balance) - 0.2f * n) / (n + 4.0f);
      weighed[c] = static_cast<int32_t>(static_cast<float>(support[c]) * std::max(factor, 0.0f));
    }
    std::copy(weighed.begin(), weighed.begin() + found, support.begin());
  }
  // The candidates by support, ties in candidate order (what a stable sort would give). The
  // seed loop below usually stops after a few, so each next one is picked when it is wanted
  // (a pass over the candidates) rather than all of them ranked first.
  const int seedCount = std::min(found, std::max(seedsWanted, 1));
  std::array<uint8_t, kMaxCandidates> picked{};
  const auto next = [&] {
    int chosen = -1;
    for (int d = 0; d < found; ++d) {
      // Strictly more: of equal supports the earlier candidate stays.
      const bool better = picked[d] == 0 && (chosen < 0 || support[d] > support[chosen]);
      chosen = better ? d : chosen;
    }
    picked[chosen] = 1;
    return chosen;
  };

  if (options.oracle == 1) {
    int best = 0;
    oracleRank_ = -1;
    for (int r = 0; r < found; ++r) {
      const int score = SeedScore(probe, gallery, alignments[next()], options);
      if (score > best) {
        best = score;
        oracleRank_ = r;
      }
    }
    return best;
  }
  // Pair the seedCount best supported seeds of distinct alignments. The candidates of the
  // finger's alignment support one another, so they crowd the top of the ranking: several
  // correspondences of one alignment would repeat one pairing, so a candidate that an
  // alignment already tried carries (nearly) onto itself, or whose correspondence a pairing
  // already made, is passed over and the next one tried instead.
  std::array<int16_t, kMaxMinutiae> covered;
  std::fill(covered.begin(), covered.begin() + probe.count_, int16_t{-1});
  std::array<uint8_t, kMaxCandidates> tried;
  std::array<int, kMaxCandidates> seedScores;  // of each tried seed's pairing
  int triedCount = 0;
  int best = 0;
  int bestPaired = 0;
  Alignment bestAlignment;
  // The pairing of the highest score, and which seeds gave it and the most paired one.
  int scoredPaired = 0;
  Alignment scoredAlignment;
  int scoredSeed = -1;
  int pairedSeed = -1;
  // owner_ holds the pairing of seed `seed` (numbered from 1) until the next pairing: kept
  // when it is the most paired or the best scored one, only once it would be overwritten or
  // is needed (the cascade below usually stops before that).
  const auto keepOwners = [&](int seed) {
    if (seed == pairedSeed) {
      std::copy(owner_.begin(), owner_.begin() + gallery.count_, bestOwner_.begin());
    }
    if (seed == scoredSeed) {
      std::copy(owner_.begin(), owner_.begin() + gallery.count_, scoredOwner_.begin());
    }
  };
  for (int s = 0; s < found && triedCount < seedCount; ++s) {
    const int c = next();
    const int i = candidateList[static_cast<size_t>(c)].probe;
    const int j = candidateList[static_cast<size_t>(c)].gallery;
    if (covered[i] == j) {
      continue;
    }
    const Alignment& a = alignments[c];
    bool repeats = false;
    for (int t = 0; t < triedCount; ++t) {
      const Alignment& b = alignments[tried[t]];
      const float dx = a.anchorX - b.anchorX;
      const float dy = a.anchorY - b.anchorY;
      const float ex = b.targetX + b.cosine * dx - b.sine * dy - a.targetX;
      const float ey = b.targetY + b.sine * dx + b.cosine * dy - a.targetY;
      const int turn = (a.rotation - b.rotation + kSeedApartRotation) & 0xFF;
      repeats |= ex * ex + ey * ey <= kSeedApartRadius * kSeedApartRadius &&
                 turn <= 2 * kSeedApartRotation;
    }
    if (repeats) {
      continue;
    }
    keepOwners(triedCount);
    tried[triedCount++] = static_cast<uint8_t>(c);
    const Pairing p = Pair(probe, gallery, a);
    for (int k = 0; k < probe.count_; ++k) {
      covered[k] = partner_[k] >= 0 ? partner_[k] : covered[k];
    }
    if (p.paired > bestPaired || (p.paired == bestPaired && p.score > best)) {
      pairedSeed = triedCount;
      bestPaired = p.paired;
      bestAlignment = a;
    }
    if (p.score > best) {
      scoredSeed = triedCount;
      scoredPaired = p.paired;
      scoredAlignment = a;
    }
    best = std::max(best, p.score);
    seedScores[static_cast<size_t>(triedCount - 1)] = p.score;
    // A pairing this large is the finger's alignment; other seeds would find it again. But
    // where the score settles (CompareOptions::settleFrom), the other seeds are paired too.
    if (p.paired >= kSurePaired && 5 * p.paired >= 2 * std::min(probe.count_, gallery.count_) &&
        (options.settleFrom <= 0 || p.score < options.settleFrom)) {
      break;
    }
  }
  // The cascade (CompareOptions::refineFrom): when no seed's pairing comes near a score that
  // matters, the refits and bends, which can only raise the score, are spared. Most impostor
  // comparisons end here; the finger's own alignment, even on distorted prints, pairs well
  // enough under its seed to pass.
  // Ridge counts are compared on the pairing behind the stage's score, which is followed
  // through the refits and bends only when both sets have them.
  const bool ridge = options.ridgeCounts && !probe.ridgeRaw_.empty() && !gallery.ridgeRaw_.empty();
  if (best < options.refineFrom) {
    if (ridge && best >= options.ridgeFrom) {
      keepOwners(triedCount);
      return WithRidgeCounts(probe, gallery, scoredOwner_, best, options);
    }
    return best;
  }
  keepOwners(triedCount);
  if (ridge && (options.ridgePrune & 1) != 0) {
    for (const PreparedTemplate* set : {&probe, &gallery}) {
      if (!set->ridgeBuilt_) {
        set->BuildRidgeLists();
      }
    }
    // Only the pairings that a refit starts from (the others are stale scratch).
    if (bestPaired >= kMinPaired) {
      PruneByRidgeCounts(probe, gallery, &bestOwner_, options.ridgePrune);
    }
    if (scoredSeed != pairedSeed && scoredPaired >= kMinPaired) {
      PruneByRidgeCounts(probe, gallery, &scoredOwner_, options.ridgePrune);
    }
  }
  const std::array<int16_t, kMaxMinutiae>* behind = &scoredOwner_;
  // A pairing refitted and bent; a higher score takes over, with the pairing behind it.
  const auto refitFrom = [&](const std::array<int16_t, kMaxMinutiae>& owner,
                             const Alignment& alignment) {
    const int refined = RefitAndBend(probe, gallery, owner, alignment, options, ridge, best);
    behind = refined > best ? &finalOwner_ : behind;
    best = std::max(best, refined);
  };
  // Re-align the best pairing by least squares and pair once more: the seed's own position
  // and rotation errors no longer limit how far from it minutiae can pair.
  if (options.refine && bestPaired >= kMinPaired) {
    refitFrom(bestOwner_, bestAlignment);
  }
  // The pairing of the highest score, when another seed's paired more, is refitted and bent
  // too: it is the closer fit where the most pairs come from a looser alignment that collects
  // chance pairs at the rim, and on distorted prints its own refit often reaches further.
  if (options.refine && scoredSeed != pairedSeed && scoredPaired >= kMinPaired) {
    refitFrom(scoredOwner_, scoredAlignment);
  }
  // Settling: where the finger's own alignment is plainly found, the refit and the bend of the
  // other seeds that pair nearly as well, so that the highest of them counts rather than the
  // one that the ranking (or a near tie in it) put first.
  if (options.refine && options.settleFrom > 0 && best >= options.settleFrom) {
    const int seedBest = *std::max_element(seedScores.begin(), seedScores.begin() + triedCount);
    for (int t = 0; t < triedCount; ++t) {
      if (t + 1 == pairedSeed || t + 1 == scoredSeed ||
          static_cast<float>(seedScores[static_cast<size_t>(t)]) <
              kSettleShare * static_cast<float>(seedBest)) {
        continue;
      }
      // Paired again (its pairing was not kept: this is rare) into bestOwner_, whose own refit
      // is done and which `behind` never points at.
      const Alignment& seed = alignments[tried[static_cast<size_t>(t)]];
      if (Pair(probe, gallery, seed).paired < kMinPaired) {
        continue;
      }
      std::copy(owner_.begin(), owner_.begin() + gallery.count_, bestOwner_.begin());
      if (ridge && (options.ridgePrune & 1) != 0) {
        PruneByRidgeCounts(probe, gallery, &bestOwner_, options.ridgePrune);
      }
      refitFrom(bestOwner_, seed);
    }
  }
  if (ridge && best >= options.ridgeFrom) {
    return WithRidgeCounts(probe, gallery, *behind, best, options);
  }
  return best;
}

RidgeEvidence Comparator::CompareRidgeCounts(const PreparedTemplate& probe,
                                             const PreparedTemplate& gallery,
                                             const std::array<int16_t, kMaxMinutiae>& owner) {
  RidgeEvidence e;
  for (int g = 0; g < gallery.count_; ++g) {
    const int k = owner[static_cast<size_t>(g)];
    if (k < 0) {
      continue;
    }
    ++e.pairs;
    // Each pair of pairs once, from its gallery minutia that comes first.
    for (uint32_t n = gallery.ridgeStart_[static_cast<size_t>(g)];
         n < gallery.ridgeStart_[static_cast<size_t>(g) + 1]; ++n) {
      const int h = gallery.ridgeOther_[static_cast<size_t>(n)];
      const int l = h > g ? owner[static_cast<size_t>(h)] : -1;
      if (l < 0) {
        continue;
      }
      const int count = probe.RidgeCount(k, l);
      if (count < 0) {
        continue;
      }
      const int d = std::abs(count - gallery.ridgeValue_[static_cast<size_t>(n)]);
      ++e.comparable;
      e.exact += d == 0 ? 1 : 0;
      e.byOne += d == 1 ? 1 : 0;
      e.apart += d >= 2 ? 1 : 0;
    }
  }
  return e;
}

int Comparator::PruneByRidgeCounts(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                                   std::array<int16_t, kMaxMinutiae>* owner, int rule) {
  const int least = (rule >> 4) != 0 ? (rule >> 4) : 2;
  const int tie = (rule & 4) != 0 ? 1 : 0;
  std::array<uint8_t, kMaxMinutiae> drop{};
  int dropped = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    const int k = (*owner)[static_cast<size_t>(g)];
    if (k < 0) {
      continue;
    }
    int exact = 0;
    int apart = 0;
    for (uint32_t n = gallery.ridgeStart_[static_cast<size_t>(g)];
         n < gallery.ridgeStart_[static_cast<size_t>(g) + 1]; ++n) {
      const int l = (*owner)[gallery.ridgeOther_[static_cast<size_t>(n)]];
      const int count = l < 0 ? -1 : probe.RidgeCount(k, l);
      if (count < 0) {
        continue;
      }
      const int d = std::abs(count - gallery.ridgeValue_[static_cast<size_t>(n)]);
      exact += d == 0 ? 1 : 0;
      apart += d >= 2 ? 1 : 0;
    }
    drop[static_cast<size_t>(g)] = apart >= least && apart + tie > exact ? 1 : 0;
    dropped += drop[static_cast<size_t>(g)];
  }
  for (int g = 0; g < gallery.count_; ++g) {
    (*owner)[static_cast<size_t>(g)] =
        drop[static_cast<size_t>(g)] != 0 ? int16_t{-1} : (*owner)[static_cast<size_t>(g)];
  }
  return dropped;
}

int Comparator::RescueByRidgeCounts(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                                    const std::array<int16_t, kMaxMinutiae>& owner, int reach) {
  Alignment a;
  if (!Refit(probe, gallery, owner, &a)) {
    return 0;
  }
  std::array<uint8_t, kMaxMinutiae> usedProbe{};
  for (int g = 0; g < gallery.count_; ++g) {
    const int k = owner[static_cast<size_t>(g)];
    if (k >= 0) {
      usedProbe[static_cast<size_t>(k)] = 1;
    }
  }
  constexpr float kLocal = 16.0f;
  // reach + 1000 e: at least e agreeing counts (two when not given).
  const int least = reach / 1000 != 0 ? reach / 1000 : 2;
  reach %= 1000;
  const float reach2 = static_cast<float>(reach * reach);
  int rescued = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    if (owner[static_cast<size_t>(g)] >= 0) {
      continue;
    }
    int chosen = -1;
    int chosenExact = 0;
    float chosenDistance = 0;
    for (int k = 0; k < probe.count_; ++k) {
      if (usedProbe[static_cast<size_t>(k)] != 0 ||
          AngleDistance(static_cast<uint8_t>(probe.angle_[k] + a.rotation), gallery.angle_[g]) >
              kPairAngleTolerance * 4 / 3) {
        continue;
      }
      const float dx = probe.x_[k] - a.anchorX;
      const float dy = probe.y_[k] - a.anchorY;
      const float ex = a.targetX + a.cosine * dx - a.sine * dy - gallery.x_[g];
      const float ey = a.targetY + a.sine * dx + a.cosine * dy - gallery.y_[g];
      const float distance = ex * ex + ey * ey;
      if (distance > reach2) {
        continue;
      }
      int exact = 0;
      int apart = 0;
      for (uint32_t n = gallery.ridgeStart_[static_cast<size_t>(g)];
           n < gallery.ridgeStart_[static_cast<size_t>(g) + 1]; ++n) {
        const int h = gallery.ridgeOther_[static_cast<size_t>(n)];
        const int l = owner[static_cast<size_t>(h)];
        const int count = l < 0 ? -1 : probe.RidgeCount(k, l);
        if (count < 0) {
          continue;
        }
        const int d = std::abs(count - gallery.ridgeValue_[static_cast<size_t>(n)]);
        // The offset from the paired neighbour, turned into the gallery's frame.
        const float ox = probe.x_[k] - probe.x_[l];
        const float oy = probe.y_[k] - probe.y_[l];
        const float fx = a.cosine * ox - a.sine * oy - (gallery.x_[g] - gallery.x_[h]);
        const float fy = a.sine * ox + a.cosine * oy - (gallery.y_[g] - gallery.y_[h]);
        exact += d == 0 && fx * fx + fy * fy <= kLocal * kLocal ? 1 : 0;
        apart += d >= 2 ? 1 : 0;
      }
      if (exact < least || apart > 0) {
        continue;
      }
      if (chosen < 0 || exact > chosenExact ||
          (exact == chosenExact && distance < chosenDistance)) {
        chosen = k;
        chosenExact = exact;
        chosenDistance = distance;
      }
    }
    if (chosen >= 0) {
      usedProbe[static_cast<size_t>(chosen)] = 1;
      ++rescued;
    }
  }
  return rescued;
}

int Comparator::WithRidgeCounts(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                                const std::array<int16_t, kMaxMinutiae>& owner, int score,
                                const CompareOptions& options) {
  for (const PreparedTemplate* set : {&probe, &gallery}) {
    if (!set->ridgeBuilt_) {
      set->BuildRidgeLists();
    }
  }
  if ((options.ridgePrune & 2) != 0) {
    // The score falls as the square of the pairs kept (it grows as the square of their sum).
    std::array<int16_t, kMaxMinutiae> kept;
    std::copy(owner.begin(), owner.begin() + gallery.count_, kept.begin());
    int pairs = 0;
    for (int g = 0; g < gallery.count_; ++g) {
      pairs += kept[static_cast<size_t>(g)] >= 0 ? 1 : 0;
    }
    const int dropped = PruneByRidgeCounts(probe, gallery, &kept, options.ridgePrune);
    if (dropped > 0 && pairs > 0) {
      const float share = static_cast<float>(pairs - dropped) / static_cast<float>(pairs);
      score = static_cast<int>(static_cast<float>(score) * share * share);
      stageEvidence_[stage_] = CompareRidgeCounts(probe, gallery, kept);
      stagePairing_[stage_] = score;
      return RidgeScore(score, stageEvidence_[stage_]);
    }
  }
  if (options.ridgeRescue > 0) {
    int pairs = 0;
    for (int g = 0; g < gallery.count_; ++g) {
      pairs += owner[static_cast<size_t>(g)] >= 0 ? 1 : 0;
    }
    const int rescued = RescueByRidgeCounts(probe, gallery, owner, options.ridgeRescue);
    if (rescued > 0 && pairs > 0) {
      const float share = (static_cast<float>(pairs) + 0.5f * static_cast<float>(rescued)) /
                          static_cast<float>(pairs);
      score = std::min(kMaxScore, static_cast<int>(static_cast<float>(score) * share * share));
    }
  }
  stageEvidence_[stage_] = CompareRidgeCounts(probe, gallery, owner);
  stagePairing_[stage_] = score;
  return RidgeScore(score, stageEvidence_[stage_]);
}

int Comparator::RefitAndBend(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                             const std::array<int16_t, kMaxMinutiae>& owner, Alignment alignment,
                             const CompareOptions& options, bool keep, int floor) {
  if (!Refit(probe, gallery, owner, &alignment)) {
    return 0;
  }
  int rigid = Pair(probe, gallery, alignment).score;
  // Settling: refitted again from its own pairing while that raises the score, so that
  // pairings of nearly the same alignment meet at the same fit.
  if (options.settleFrom > 0) {
    std::array<int16_t, kMaxMinutiae> previous;
    for (int round = 0; round < kSettleRounds && rigid >= options.settleFrom; ++round) {
      std::copy(owner_.begin(), owner_.begin() + gallery.count_, previous.begin());
      Alignment again = alignment;
      if (!Refit(probe, gallery, previous, &again)) {
        break;
      }
      const int score = Pair(probe, gallery, again).score;
      if (score <= rigid) {
        std::copy(previous.begin(), previous.begin() + gallery.count_, owner_.begin());
        break;
      }
      rigid = score;
      alignment = again;
    }
  }
  if (keep && rigid > floor) {
    std::copy(owner_.begin(), owner_.begin() + gallery.count_, finalOwner_.begin());
  }
  // Then follow the skin's distortion region by region (see kBendReach): each round displaces
  // every probe minutia by the residuals of the last pairing's pairs around it.
  int bent = 0;
  const bool prune = (options.ridgePrune & 8) != 0 && !probe.ridgeRaw_.empty() &&
                     !gallery.ridgeRaw_.empty() && options.ridgeCounts;
  if (prune) {
    for (const PreparedTemplate* set : {&probe, &gallery}) {
      if (!set->ridgeBuilt_) {
        set->BuildRidgeLists();
      }
    }
  }
  for (int round = 0; options.bend && round < kBendRounds; ++round) {
    if (prune) {
      PruneByRidgeCounts(probe, gallery, &owner_, options.ridgePrune);
    }
    if (!Bend(probe, gallery, owner_, alignment)) {
      break;
    }
    bent = Pair(probe, gallery, alignment, true).score;
  }
  if (keep && bent > rigid && bent > floor) {
    std::copy(owner_.begin(), owner_.begin() + gallery.count_, finalOwner_.begin());
  }
  return std::max(rigid, bent);
}

int Comparator::SeedScore(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                          const Alignment& seed, const CompareOptions& options) {
  const Pairing p = Pair(probe, gallery, seed);
  if (!options.refine || p.paired < kMinPaired) {
    return p.score;
  }
  std::copy(owner_.begin(), owner_.begin() + gallery.count_, bestOwner_.begin());
  return std::max(p.score, RefitAndBend(probe, gallery, bestOwner_, seed, options));
}

int Comparator::EveryPairScore(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                               const CompareOptions& options) {
  if (probe.count_ < kMinPaired || gallery.count_ < kMinPaired) {
    return 0;
  }
  int best = 0;
  for (int i = 0; i < probe.count_; ++i) {
    for (int j = 0; j < gallery.count_; ++j) {
      const int turn = Wrap(gallery.angle_[j] - probe.angle_[i]);
      if (std::abs(turn) > kMaxRotation) {
        continue;
      }
      Alignment a;
      a.rotation = turn;
      const float rho = static_cast<float>(turn) / kUnitsPerRadian;
      a.cosine = std::cos(rho);
      a.sine = std::sin(rho);
      a.anchorX = probe.x_[i];
      a.anchorY = probe.y_[i];
      a.targetX = gallery.x_[j];
      a.targetY = gallery.y_[j];
      best = std::max(best, SeedScore(probe, gallery, a, options));
    }
  }
  return best;
}

}  // namespace devicelib::matcher
