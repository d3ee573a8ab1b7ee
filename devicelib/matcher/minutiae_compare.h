// The comparison engine behind the matcher library: prepares a minutiae set for matching and
// scores the similarity of two prepared sets. No knowledge of records, handles or statuses.
//
// Outline (details in devicelib/matcher/README.md):
//   1. Preparation: positions normalised to 500 ppi, angles in 1/256 turns, minutiae sorted by
//      y; for every minutia the directed edges to its nearest neighbours, each described by
//      what rotation and translation leave unchanged (length, and both minutiae's directions
//      relative to the edge); edges indexed by length.
//   2. Local matching: every pair of edges that agree in those invariants (within tolerances)
//      votes for the two minutia correspondences it implies, with the rotation it implies.
//   3. Alignment: the best-voted correspondences are ranked by how many of the others agree
//      with their alignment, and the best few of distinct alignments become seeds; each seed
//      gives a rotation and translation, under which all minutiae are paired one to one, with a
//      position tolerance that grows with the distance from the seed (mild elastic distortion).
//      The best pairing's alignment is re-estimated by least squares and the pairing repeated;
//      then, to follow distortion rather than tolerate it, each minutia is displaced by the
//      residuals of the pairs around it (its own left out) and the pairing repeated again.
//      Where a seed's pairing already scores high, the other seeds that pair nearly as well
//      are refitted too and each refit repeated while it gains, so that the score does not
//      hang on which of several near-equal seeds ranked first.
//   4. Score: paired count squared over the product of the counts of minutiae that lie in the
//      overlap of the two sets, scaled to 0..1000; when both records carry ridge counts, scaled
//      by how those of the pairs' minutiae agree under the pairing behind the score.
//   A second first stage replaces steps 1-2 and the candidates of step 3: each minutia's
//   neighbourhood is a bit code in the minutia's own frame (cells x direction layers), the
//   codes of every pair of minutiae are compared by popcount, and the most similar pairs are
//   the candidates. Fast mode uses it alone; full mode runs both and keeps the higher score.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codec/template/minutiae.h"

namespace devicelib::matcher {

inline constexpr int kMaxMinutiae = 255;  // what one finger view can hold
inline constexpr int kMaxScore = 1000;

struct CompareOptions {
  // First stages: votes of agreeing edge pairs, and bit codes of each minutia's neighbourhood
  // compared by popcount. Each chooses its own seeds for the same pairing and score; with both,
  // the higher score counts (they fail on different pairs). At least one is used.
  bool edgeVotes = true;
  bool localCodes = false;
  int neighbours = 10;      // edges per minutia (edge votes)
  int candidates = 64;      // best correspondences of edge votes, ranked by mutual agreement
  int seeds = 8;            // alignments tried: the best ranked candidates of distinct alignments
  int codeCandidates = 24;  // the same for the codes
  int codeSeeds = 2;
  bool refine = true;  // least-squares re-alignment and second pairing
  // After the refit, pairing again with each minutia displaced by the residuals of the pairs
  // around it (distortion followed region by region rather than tolerated). Needs refine.
  bool bend = true;
  // The cascade: a first stage whose seeds' pairings all score below this stops there, without
  // the refit and the bend, and its score is the best of those pairings (never above the exact
  // score). On the five real sets no stage stopped this way would have reached more than 57
  // (the lowest security level's threshold is 69), while about six in ten impostor stages stop
  // (README, "Cascade"). 0 gives the exact score always.
  int refineFrom = 20;
  // Settling, where a pairing scores this much (no chance alignment of two fingers of the real
  // sets came near it): a seed's pairing of this score no longer stops the search at the first
  // large pairing; once the refits reach it, every seed whose pairing scores kSettleShare of the
  // best seed's is refitted and bent too; and a refit of this score is repeated from its own
  // pairing while its score rises (README, "Settling"). On a distorted finger the refit and
  // the bend reach different heights from different seeds of the finger's own alignment, and
  // which seed ranks first among near-equal ones can turn on a degree of minutia direction; the
  // highest of several is the same in both writings far more often. Below it nothing changes.
  // 0 turns it off.
  int settleFrom = 100;
  // Development only (matcher-oracle): how far the seed choice limits the score. 1: every
  // candidate of the first stages is a seed; 2: every pair of minutiae whose turn is allowed
  // is one. Each seed's pairing is refitted and bent on its own and the best score counts.
  // Hundreds of times slower than the normal search.
  int oracle = 0;
  // Ridge counts between minutiae (when both records carry them) as evidence of the pairing
  // behind the score: see RidgeEvidence. Off, or when either set has none, the score is the
  // pairing's alone.
  bool ridgeCounts = true;
  // Development only: the counts compared (and weighed) from this score instead of
  // Comparator::kRidgeFrom, so that the pairings of the lowest scores can be traced too.
  int ridgeFrom = 20;
  // Ridge counts inside the pairing (when both records carry them): a pair whose counts to the
  // other paired minutiae lie two or more apart at least twice, and more often than they agree
  // exactly, is taken for a chance pair. 1: such pairs are left out of the pairings that the
  // refits start from; + 8: also from the pairings that the bend's displacements are worked out
  // from. The kept setting is 9 (both): a chance pair that a refit or a bend starts from pulls
  // the alignment away from the finger's own, and dropping it lets the true pairs pair further.
  // Development settings besides (0 = off): 2: the pairs are dropped from the pairing behind the
  // score (its score falls as the square of the pairs kept); + 4: as many apart as exact is
  // enough; + 16 m: at least m apart (m 1-15) instead of two.
  int ridgePrune = 9;
  // Ridge counts in the seed choice (development, 0 = off): each candidate's support is
  // multiplied by 1 + ridgeSupport (exact - apart - 0.2 n) / (n + 4), n being the counts
  // comparable between it and the candidates that support it.
  float ridgeSupport = 0;
  // Ridge counts to take back pairs the tolerances missed (development, 0 = off): an unpaired
  // minutia of each set, within ridgeRescue px of each other under the pairing's refitted
  // alignment, whose counts to at least two paired neighbours agree exactly (none two or more
  // apart) and whose offsets from those neighbours agree within 16 px, is paired at half a
  // pair's worth. + 1000 e: at least e agreeing counts instead of two.
  int ridgeRescue = 0;
};

// How the ridge counts of two sets compare under a pairing: each pair of pairs whose two
// minutiae have a count between them in both sets is comparable; the counts agree exactly, by
// one ridge, or differ by two or more.
struct RidgeEvidence {
  int pairs = 0;  // of the pairing
  int comparable = 0;
  int exact = 0;
  int byOne = 0;
  int apart = 0;
};

// Settings of full and fast mode.
CompareOptions FullModeOptions();
CompareOptions FastModeOptions();

// A minutiae set ready for comparison. Reused across calls without allocating again.
class PreparedTemplate {
 public:
  // Cheap: the edge lists are allocated by the first Prepare.
  PreparedTemplate() = default;
  // Replaces the content. Minutiae beyond kMaxMinutiae are ignored (records cannot hold more).
  // The edges are found here; the look-ups of the side the set plays (Comparator::Score decides
  // which) are built on its first comparison.
  void Prepare(const codec::FingerTemplate& tmpl, const CompareOptions& options);
  int size() const { return count_; }
  // Heap bytes held (the minutiae and the edge lists, grown to the largest set prepared so far).
  size_t Bytes() const;
  // Which look-ups have been built since the last Prepare: Bytes() changes only with it (or
  // with a Prepare), so a holder that counts the bytes need not add them up again otherwise.
  unsigned Built() const { return sides_ | (ridgeBuilt_ ? kRidgeLists : 0u); }
  // Starts loading what a comparison reads of this set into the processor's cache, for a set
  // that will be compared soon (a gallery entry a few places ahead of the one compared).
  // Changes nothing.
  void Prefetch() const;
  // A strict order on contents, the same whichever set it is asked of: true when this set
  // comes before `other`. Equal contents are not ordered.
  bool Precedes(const PreparedTemplate& other) const;

  // The neighbourhood of one minutia as bits, in the minutia's own frame (so a turn or shift
  // of the whole set leaves it alone): a grid of cells around the minutia, one layer per
  // quarter turn of neighbour direction relative to the minutia's; a neighbour sets the 2 x 2
  // cells whose centres surround it, in its layer.
  static constexpr int kCodeLayers = 4;
  struct Code {
    std::array<uint64_t, kCodeLayers> bits{};
    uint16_t ones = 0;  // bits set
  };
  // Similarity of two codes: 2 |a and b| / (|a| + |b|), 0..1 (0 when they hold too few bits
  // together to tell). Symmetric.
  static float CodeSimilarity(const Code& a, const Code& b);
  // The same in fixed point, as fast mode ranks its candidates by it: 65535 stands for 1 and
  // the fractions are dropped, so the result lies within about one unit below
  // CodeSimilarity * 65535. `ones` must be the codes' bits set, as Prepare counts them.
  static uint32_t CodeSimilarityFixed(const Code& a, const Code& b);
  // Only after a Prepare with CompareOptions::localCodes. Minutiae are in the set's own order
  // (by y); x and y say which is which.
  const Code& code(int k) const { return codes_[static_cast<size_t>(k)]; }
  float x(int k) const { return x_[static_cast<size_t>(k)]; }
  float y(int k) const { return y_[static_cast<size_t>(k)]; }
  // Ridge counts kept (each pair of minutiae once), and the count between minutiae i and j in
  // the set's own order (-1 when the record gives none).
  int ridgeCountPairs() const;
  int RidgeCount(int i, int j) const;

 private:
  friend class Comparator;

  struct Edge {
    uint8_t from = 0;
    uint8_t to = 0;
    uint8_t direction = 0;  // of the vector from -> to, 1/256 turns
    uint8_t betaFrom = 0;   // minutia direction minus edge direction
    uint8_t betaTo = 0;
    uint8_t length = 0;  // pixels, rounded
  };
  // A probe-side edge, ready to be tested against gallery edge keys. A key holds length,
  // betaFrom, betaTo and direction in the low bytes of four 16-bit lanes; adding `offset` and
  // masking to bytes leaves in each lane the difference from this edge, shifted so that the
  // accepted range starts at 0; adding `limit` then carries into bit 8 of every lane whose
  // difference is out of range. One addition tests all four tolerances.
  struct Query {
    uint64_t offset = 0;
    uint64_t limit = 0;
    uint8_t from = 0;
    uint8_t to = 0;
    uint8_t firstLength = 0;  // length buckets that the tolerance window touches
    uint8_t lastLength = 0;
    uint8_t firstRow = 0;  // betaFrom buckets (rows) that the tolerance window touches
    uint8_t rows = 0;
    uint8_t firstRowBack = 0;  // firstRow of the edge in the other direction
  };
  // Gallery-side index: bucket of an edge by its betaFrom and length.
  static constexpr int kBetaBuckets = 16;    // 16 units (22.5 degrees) each
  static constexpr int kLengthBucket = 4;    // pixels
  static constexpr int kLengthBuckets = 32;  // radius at most 100 px
  static constexpr int kScan = 4;            // keys_ slots the voting reads past a bucket

  // Builds the look-ups of the side this set plays, the first time it plays it: which side a
  // set plays is known only when it meets the other, and each side costs about a sixth of a
  // comparison. The sets of one Score call belong to its thread, like the Comparator.
  void BuildProbeSide() const;
  // The first stage's data of each kind, built by Prepare for its mode or by the first
  // comparison in the other mode.
  void BuildCodes() const;
  // The pairs (i << 8 | j, i < j) of minutiae at most `radius` apart and at least
  // sqrt(`minDistance2`), stopping once `limit` are found: `out` needs room for limit +
  // kMaxMinutiae. Returns how many, at most `limit`.
  int ClosePairs(float radius, float minDistance2, int limit, uint16_t* out) const;
  void BuildEdges(const CompareOptions& options) const;
  void BuildGallerySide() const;
  // The record's ridge counts into the set's own order (order[k] & 0xFF: the record's index of
  // minutia k).
  void PrepareRidgeCounts(const codec::FingerTemplate& tmpl,
                          const std::array<uint32_t, kMaxMinutiae>& order);
  static constexpr uint8_t kProbeSide = 1;
  static constexpr uint8_t kGallerySide = 2;
  static constexpr uint8_t kEdgeStage = 4;
  static constexpr uint8_t kCodeStage = 8;
  static constexpr unsigned kRidgeLists = 16;  // in Built() only
  mutable uint8_t sides_ = 0;                  // the sides and stages built since the last Prepare

  int count_ = 0;
  bool wholePixels_ = true;  // prepared from a 500 ppi record
  uint64_t digest_ = 0;      // of the normalised positions, for Precedes
  // The minutiae, sized by the set (a record holds about 50, rarely near kMaxMinutiae: arrays
  // for the most would make a kept gallery set three times as large) and grown, never shrunk,
  // when the object prepares another set.
  // Sorted by y ascending (the pairing step searches a y window).
  // Followed by kPairScan slots with y = infinity, which the pairing step may read.
  static constexpr int kPairScan = 8;
  std::vector<float> x_;
  std::vector<float> y_;
  std::vector<uint8_t> angle_;
  std::vector<float> weight_;  // from the minutia's quality, 0.2..1
  float totalWeight_ = 0;      // their sum
  // codec::MinutiaType of each minutia: 0 other, 1 ridge ending, 2 bifurcation.
  std::vector<uint8_t> type_;
  // Scales of the votes of each minutia's correspondences, from how many edges it has (see
  // kChoiceDegreePower in the .cpp): for choosing the candidates and for their support.
  mutable std::vector<float> choiceScale_;
  mutable std::vector<float> supportScale_;
  float minX_ = 0, maxX_ = 0, minY_ = 0, maxY_ = 0;
  // Gallery side: the first minutia at or below each 16-pixel row band (y / 16, clamped).
  static constexpr int kRowBand = 16;
  static constexpr int kRowBands = 256;
  std::array<uint8_t, kRowBands + 1> rowStart_{};
  // Edges between minutiae closer than a radius that gives about `neighbours` per minutia: one
  // direction of each on the probe side, both directions bucketed on the gallery side, so that
  // every geometric agreement between a probe and a gallery edge is met exactly once. The
  // vectors are sized once; the counts say how much of them is in use.
  mutable std::vector<Query> queries_;  // probe side, one per edge
  mutable int queryCount_ = 0;
  // Gallery side, in bucket order: the lanes described at Query; from | to << 8; and where the
  // agreement stands in the canonical voting order (see Comparator::Vote): reversed (bit 0),
  // betaFrom bucket of the forward edge (bits 1-4), its index (bits 5-15) and its length
  // bucket (bits 16-20).
  mutable std::vector<uint64_t> keys_;
  mutable std::vector<uint16_t> ends_;
  mutable std::vector<uint32_t> order_;
  mutable std::vector<Edge> unsorted_;  // the edges in the order found
  mutable std::vector<Code> codes_;     // one per minutia, grown to the largest set prepared
  // The same codes for the wide (AVX2) similarity loop, which reads four gallery codes at a
  // time: by layer (layer l of the minutia in place p at l * codeStride_ + p), with their bit
  // counts, directions and indices, the minutiae in order of direction (so that the turns
  // allowed from a probe minutia are one or two runs of places), zero past the set's end up to
  // a whole group of four. codeFirst_[a]: the place of the first minutia of direction a or more.
  mutable std::vector<uint64_t> codeWords_;
  mutable std::vector<uint32_t> codeOnes_;
  mutable std::vector<uint8_t> codeAngles_;
  mutable std::vector<uint8_t> codeIndex_;
  mutable std::array<uint16_t, 257> codeFirst_{};
  mutable int codeStride_ = 0;
  mutable int edgeCount_ = 0;
  mutable int maxLength_ = 0;  // of the longest edge
  // Length buckets in use (the longest edge's bucket + 1); the bucket of betaFrom row r and
  // length bucket l is r * lengthBuckets_ + l. Only the gallery side of the edge votes uses
  // the starts, so they are allocated when it is built (up to kBetaBuckets * kLengthBuckets + 1).
  mutable int lengthBuckets_ = 1;
  mutable std::vector<uint16_t> bucketStart_;
  // The record's ridge counts in the set's own order (end << 16 | other end << 8 | count), as
  // the record lists them; empty when it has none.
  std::vector<uint32_t> ridgeRaw_;
  // The same by minutia, built when first wanted: those of minutia k are ridgeOther_ /
  // ridgeValue_ [ridgeStart_[k], ridgeStart_[k + 1]), each pair of minutiae once at each end.
  void BuildRidgeLists() const;
  mutable bool ridgeBuilt_ = false;
  mutable int ridgePairs_ = 0;
  mutable std::vector<uint32_t> ridgeStart_;
  mutable std::vector<uint8_t> ridgeOther_;
  mutable std::vector<uint8_t> ridgeValue_;
};

// Scores pairs of prepared templates. Holds the scratch memory, so one Comparator per thread.
class Comparator {
 public:
  // Cheap: the vote table is allocated by the first Score, as large as its two sets need.
  Comparator() = default;
  // Similarity 0..kMaxScore. Exactly symmetric: the two sets are put into a fixed order by
  // their contents before they are compared, so swapping them changes nothing.
  int Score(const PreparedTemplate& a, const PreparedTemplate& b, const CompareOptions& options);
  // Heap bytes held (the vote table, grown to the largest pair of sets compared so far).
  size_t Bytes() const;
  // After a Score with CompareOptions::oracle 1: where the best seed sat in the last first
  // stage's support ranking (0 = best supported; -1 when no seed scored).
  int OracleRank() const { return oracleRank_; }
  // After a Score of two sets that both carry ridge counts: the counts compared under the
  // pairing behind the score, and that pairing's score before they weighed in (zero when the
  // score stayed below kRidgeFrom), of the first stage whose score counts; or of either stage
  // (`codes`: the neighbourhood codes'). For tests and the development tools.
  const RidgeEvidence& LastRidgeEvidence() const { return stageEvidence_[lastStage_]; }
  int LastPairingScore() const { return stagePairing_[lastStage_]; }
  const RidgeEvidence& StageRidgeEvidence(bool codes) const { return stageEvidence_[codes]; }
  int StagePairingScore(bool codes) const { return stagePairing_[codes]; }
  // The score from which the ridge counts are compared: below it no decision can change.
  static constexpr int kRidgeFrom = 20;
  // The similar code pairs of two sets, as fast mode's candidate choice finds them (one key per
  // pair: similarity << 16 | 0xFFFF - (i << 8 | j)), in ascending order; `wide`: with the
  // AVX2 loop, when the processor has it. Both sets prepared with the codes. For tests.
  static std::vector<uint32_t> SimilarCodePairs(const PreparedTemplate& a,
                                                const PreparedTemplate& b, bool wide);
  // The support of each of the best `wanted` code candidates of two sets prepared with the codes
  // (the probe first), in candidate order, as fast mode's seed choice works it out; `wide`:
  // summed in AVX2 registers, when the processor has them. For tests.
  std::vector<int32_t> CodeSupports(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                                    int wanted, bool wide);
  // Whether the wide loop runs on this processor.
  static bool WideCodeLoop();

 private:
  // One first stage's seeds (`codes`: the neighbourhood codes', else the edge votes').
  int ScoreOrdered(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                   const CompareOptions& options, bool codes);
  struct Alignment {
    float cosine = 1, sine = 0;      // rotation probe -> gallery
    int rotation = 0;                // the same, 1/256 turns
    float anchorX = 0, anchorY = 0;  // probe point that maps onto (targetX, targetY)
    float targetX = 0, targetY = 0;
  };
  struct Pairing {
    int paired = 0;
    int score = 0;
  };
  // The score one seed reaches on its own: its pairing, refitted and bent (CompareOptions::oracle).
  int SeedScore(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                const Alignment& seed, const CompareOptions& options);
  int EveryPairScore(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                     const CompareOptions& options);

  void Vote(const PreparedTemplate& probe, const PreparedTemplate& gallery);
  // The first stage's candidate correspondences (probe i, gallery j as i * gallery size + j),
  // best first, each with its rotation (1/256 turns) and its weight in the support (fixed
  // point, see kSupportUnit). Return how many.
  struct Candidate {  // no initialisers: an array of them is filled only as far as needed
    uint16_t cell;
    uint8_t probe;  // the cell's two minutiae (cell = probe * gallery size + gallery)
    uint8_t gallery;
    float rotation;
    int32_t weight;
  };
  int VoteCandidates(const PreparedTemplate& probe, const PreparedTemplate& gallery, int wanted,
                     Candidate* out);
  int CodeCandidates(const PreparedTemplate& probe, const PreparedTemplate& gallery, int wanted,
                     Candidate* out);
  // Each candidate's alignment (into alignments_) and its support: its own weight plus that of
  // the other candidates whose alignments agree with it. `wide`: the AVX2 loop where the
  // processor has it.
  void Support(const PreparedTemplate& probe, const PreparedTemplate& gallery,
               const Candidate* candidates, int found, bool codes, bool wide, int32_t* support);
  std::vector<uint32_t> codeKeys_;    // the code stage's scratch: one key per similar pair
  std::vector<uint32_t> codeSorted_;  // and the same keys grouped by their top byte
  // Pairs every minutia under the alignment. With `local`, each probe minutia is first moved
  // by its own shift (shiftX_, shiftY_, shiftAngle_: how the skin around it is displaced
  // beyond the alignment, see Bend) and the position tolerance is the tighter local one.
  Pairing Pair(const PreparedTemplate& probe, const PreparedTemplate& gallery,
               const Alignment& alignment, bool local = false);
  // The displacement beyond the alignment at every probe minutia, from the pairs of owner
  // (gallery -> probe): a weighted mean of the nearby pairs' residuals, each minutia's own
  // pair left out, shrunk towards none where few pairs are near. Returns false when too few
  // pairs are there to tell.
  bool Bend(const PreparedTemplate& probe, const PreparedTemplate& gallery,
            const std::array<int16_t, kMaxMinutiae>& owner, const Alignment& alignment);
  // Least-squares rotation and translation of the pairs given by owner (gallery -> probe).
  bool Refit(const PreparedTemplate& probe, const PreparedTemplate& gallery,
             const std::array<int16_t, kMaxMinutiae>& owner, Alignment* alignment);
  // The pairing of owner refitted (Refit), paired again, then bent and paired twice (Bend):
  // the higher of the rigid and the bent score, 0 when the refit fails.
  // With `keep`, the pairing behind a result above `floor` is copied into finalOwner_.
  int RefitAndBend(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                   const std::array<int16_t, kMaxMinutiae>& owner, Alignment alignment,
                   const CompareOptions& options, bool keep = false, int floor = 0);
  // The ridge counts compared under the pairing behind a stage's score (kept as the last
  // evidence), and the score they leave.
  int WithRidgeCounts(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                      const std::array<int16_t, kMaxMinutiae>& owner, int score,
                      const CompareOptions& options);
  // The ridge counts of the two sets compared under a pairing (owner: gallery -> probe).
  // The pairs that the ridge counts take back (CompareOptions::ridgeRescue).
  int RescueByRidgeCounts(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                          const std::array<int16_t, kMaxMinutiae>& owner, int reach);
  // Leaves out of owner the pairs whose counts to the other paired minutiae disagree (see
  // CompareOptions::ridgePrune), all judged on the pairing as given; returns how many.
  static int PruneByRidgeCounts(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                                std::array<int16_t, kMaxMinutiae>* owner, int rule);
  static RidgeEvidence CompareRidgeCounts(const PreparedTemplate& probe,
                                          const PreparedTemplate& gallery,
                                          const std::array<int16_t, kMaxMinutiae>& owner);

  // Votes per correspondence (probe i, gallery j) at i * (gallery size) + j, with the sum of the
  // rotations they imply; touched_ lists the cells to clear afterwards.
  // `first` is the position of the cell's first vote in the canonical order (probe edge, its
  // direction, bucket, gallery edge), which breaks ties between seeds.
  // Rotations are summed relative to the cell's first vote, so that votes either side of half a
  // turn average to half a turn rather than to none.
  struct Tally {
    uint8_t votes = 0;
    uint8_t firstRotation = 0;
    int16_t rotationSum = 0;
    uint32_t first = 0;
  };
  std::vector<Tally> tallies_;
  std::vector<uint16_t> touched_;
  // The candidate choice's scratch: a key per voted cell (see ScoreOrdered), and the cell.
  struct RankedCell {
    uint64_t key;
    uint16_t cell;
  };
  std::vector<RankedCell> ranked_;
  // The candidates' alignments (ScoreOrdered's scratch: kept here so that a comparison does not
  // initialise a hundred of them).
  std::array<Alignment, 96> alignments_;  // kMaxCandidates in the .cpp
  // Pairing scratch: gallery minutia -> probe minutia (or -1), and per probe minutia its
  // chosen gallery partner.
  std::array<int16_t, kMaxMinutiae> owner_{};
  std::array<int16_t, kMaxMinutiae> partner_{};
  std::array<int16_t, kMaxMinutiae> bestOwner_{};    // owner_ of the most paired pairing so far
  std::array<int16_t, kMaxMinutiae> scoredOwner_{};  // and of the highest score, when another
  // Per probe minutia: its shift beyond the alignment (pixels, and 1/256 turns) for a local
  // pairing (see Bend).
  std::array<float, kMaxMinutiae> shiftX_{};
  std::array<float, kMaxMinutiae> shiftY_{};
  std::array<int8_t, kMaxMinutiae> shiftAngle_{};
  // The pairing behind a stage's score, when a refit or a bend gave it (sets with ridge counts).
  std::array<int16_t, kMaxMinutiae> finalOwner_{};
  int oracleRank_ = -1;
  // Per first stage (0 edge votes, 1 codes): the ridge counts under the pairing behind its
  // score and that pairing's score; the stage being scored, and the one whose score counted.
  std::array<RidgeEvidence, 2> stageEvidence_{};
  std::array<int, 2> stagePairing_{};
  int stage_ = 0;
  int lastStage_ = 0;
};

}  // namespace devicelib::matcher
