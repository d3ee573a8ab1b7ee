// Verification error rates from genuine and impostor scores (a pair matches when its score
// reaches the threshold), and an SVG of the score distributions and the DET curve.
#pragma once

#include <string>
#include <vector>

namespace tools {

struct ErrorRates {
  double eer = 0;      // per cent
  double fmr100 = 0;   // FNMR (per cent) at the lowest threshold with FMR <= 1 %
  double fmr1000 = 0;  // ... FMR <= 0.1 %
  double zeroFmr = 0;  // ... FMR = 0
};

ErrorRates ComputeErrorRates(const std::vector<double>& genuine,
                             const std::vector<double>& impostor);

// A self-contained SVG: histograms of both score sets (left) and the DET curve (right, FMR and
// FNMR on log axes), with a title line.
std::string PlotSvg(const std::vector<double>& genuine, const std::vector<double>& impostor,
                    const std::string& title);

}  // namespace tools
