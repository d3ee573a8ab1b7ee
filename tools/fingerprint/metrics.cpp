#include "tools/fingerprint/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace tools {
namespace {

struct Point {
  double threshold, fmr, fnmr;  // fractions
};

// FMR and FNMR at every distinct threshold (score >= threshold is a match), plus one above all.
std::vector<Point> Curve(std::vector<double> g, std::vector<double> im) {
  std::sort(g.begin(), g.end());
  std::sort(im.begin(), im.end());
  std::vector<double> t(g);
  t.insert(t.end(), im.begin(), im.end());
  std::sort(t.begin(), t.end());
  t.erase(std::unique(t.begin(), t.end()), t.end());
  t.push_back(t.empty() ? 1 : t.back() + 1);
  std::vector<Point> out;
  for (double th : t) {
    const double fnmr =
        g.empty()
            ? 0
            : static_cast<double>(std::lower_bound(g.begin(), g.end(), th) - g.begin()) / g.size();
    const double fmr =
        im.empty() ? 0
                   : static_cast<double>(im.end() - std::lower_bound(im.begin(), im.end(), th)) /
                         im.size();
    out.push_back({th, fmr, fnmr});
  }
  return out;
}

}  // namespace

ErrorRates ComputeErrorRates(const std::vector<double>& genuine,
                             const std::vector<double>& impostor) {
  ErrorRates r;
  const std::vector<Point> c = Curve(genuine, impostor);
  // EER: at the first threshold where FMR (falling) drops to FNMR (rising) or the one before,
  // whichever has the two rates closer; their mean.
  double best = 0;
  for (size_t i = 0; i < c.size(); ++i) {
    if (c[i].fmr > c[i].fnmr)
      continue;
    size_t k = i;
    if (i > 0 && std::fabs(c[i - 1].fmr - c[i - 1].fnmr) < std::fabs(c[i].fmr - c[i].fnmr))
      k = i - 1;
    best = (c[k].fmr + c[k].fnmr) / 2;
    break;
  }
  r.eer = 100 * best;
  auto at = [&](double maxFmr) {
    for (const Point& p : c) {
      if (p.fmr <= maxFmr)
        return 100 * p.fnmr;
    }
    return 100.0;
  };
  r.fmr100 = at(0.01);
  r.fmr1000 = at(0.001);
  r.zeroFmr = at(0.0);
  return r;
}

std::string PlotSvg(const std::vector<double>& genuine, const std::vector<double>& impostor,
                    const std::string& title) {
  std::string s;
  char buf[512];
  auto add = [&](const char* fmt, auto... args) {
    std::snprintf(buf, sizeof buf, fmt, args...);
    s += buf;
  };
  const int W = 1000, H = 480;
  add("<svg xmlns='http://www.w3.org/2000/svg' width='%d' height='%d' font-family='sans-serif' "
      "font-size='12'>\n",
      W, H);
  add("<rect width='%d' height='%d' fill='white'/>\n", W, H);
  std::string t;
  for (char ch : title)
    t += ch == '<' ? std::string("&lt;") : ch == '&' ? std::string("&amp;") : std::string(1, ch);
  add("<text x='%d' y='22' font-size='15' text-anchor='middle'>%s</text>\n", W / 2, t.c_str());

  // Left: histograms (share of each set per bin).
  const double x0 = 60, y0 = 60, pw = 380, ph = 340;
  double hi = 1;
  for (double v : genuine)
    hi = std::max(hi, v);
  for (double v : impostor)
    hi = std::max(hi, v);
  const int bins = 50;
  auto hist = [&](const std::vector<double>& v) {
    std::vector<double> h(bins, 0);
    for (double x : v)
      h[std::min(bins - 1, static_cast<int>(x / hi * bins))] += 1.0 / std::max<size_t>(1, v.size());
    return h;
  };
  const auto hg = hist(genuine), hm = hist(impostor);
  double top = 0.01;
  for (int i = 0; i < bins; ++i)
    top = std::max({top, hg[i], hm[i]});
  add("<rect x='%g' y='%g' width='%g' height='%g' fill='none' stroke='black'/>\n", x0, y0, pw, ph);
  for (int i = 0; i < bins; ++i) {
    const double bx = x0 + pw * i / bins, bwid = pw / bins;
    add("<rect x='%g' y='%g' width='%g' height='%g' fill='#d62728' fill-opacity='0.5'/>\n", bx,
        y0 + ph - ph * hm[i] / top, bwid, ph * hm[i] / top);
    add("<rect x='%g' y='%g' width='%g' height='%g' fill='#2ca02c' fill-opacity='0.5'/>\n", bx,
        y0 + ph - ph * hg[i] / top, bwid, ph * hg[i] / top);
  }
  for (int k = 0; k <= 4; ++k) {
    add("<text x='%g' y='%g' text-anchor='middle'>%.0f</text>\n", x0 + pw * k / 4, y0 + ph + 16,
        hi * k / 4);
    add("<text x='%g' y='%g' text-anchor='end'>%.0f%%</text>\n", x0 - 4, y0 + ph - ph * k / 4 + 4,
        100 * top * k / 4);
  }
  add("<text x='%g' y='%g' text-anchor='middle'>score</text>\n", x0 + pw / 2, y0 + ph + 34);
  add("<text x='%g' y='%g' text-anchor='middle'>Score distributions: <tspan fill='#2ca02c'>genuine "
      "(%zu)</tspan>, <tspan fill='#d62728'>impostor (%zu)</tspan></text>\n",
      x0 + pw / 2, y0 - 10, genuine.size(), impostor.size());

  // Right: DET curve, log axes from 0.01 % to 100 %.
  const double dx0 = 560, dy0 = 60, dw = 380, dh = 340;
  const double lo = -4;  // log10 of 0.0001
  auto px = [&](double fmr) { return dx0 + dw * (std::log10(std::max(fmr, 1e-4)) - lo) / -lo; };
  auto py = [&](double fnmr) {
    return dy0 + dh - dh * (std::log10(std::max(fnmr, 1e-4)) - lo) / -lo;
  };
  add("<rect x='%g' y='%g' width='%g' height='%g' fill='none' stroke='black'/>\n", dx0, dy0, dw,
      dh);
  const char* labels[] = {"0.01%", "0.1%", "1%", "10%", "100%"};
  for (int k = 0; k <= 4; ++k) {
    const double f = std::pow(10.0, lo + k);
    add("<line x1='%g' y1='%g' x2='%g' y2='%g' stroke='#ccc'/>\n", px(f), dy0, px(f), dy0 + dh);
    add("<line x1='%g' y1='%g' x2='%g' y2='%g' stroke='#ccc'/>\n", dx0, py(f), dx0 + dw, py(f));
    add("<text x='%g' y='%g' text-anchor='middle'>%s</text>\n", px(f), dy0 + dh + 16, labels[k]);
    add("<text x='%g' y='%g' text-anchor='end'>%s</text>\n", dx0 - 4, py(f) + 4, labels[k]);
  }
  add("<line x1='%g' y1='%g' x2='%g' y2='%g' stroke='#999' stroke-dasharray='4 4'/>\n", px(1e-4),
      py(1e-4), px(1), py(1));
  const std::vector<Point> c = Curve(genuine, impostor);
  s += "<polyline fill='none' stroke='#1f77b4' stroke-width='2' points='";
  for (const Point& p : c)
    add("%.1f,%.1f ", px(p.fmr), py(p.fnmr));
  s += "'/>\n";
  const ErrorRates r = ComputeErrorRates(genuine, impostor);
  add("<text x='%g' y='%g' text-anchor='middle'>DET curve (EER %.2f%%, FNMR@FMR1%% %.2f%%, @0.1%% "
      "%.2f%%)</text>\n",
      dx0 + dw / 2, dy0 - 10, r.eer, r.fmr100, r.fmr1000);
  add("<text x='%g' y='%g' text-anchor='middle'>false match rate</text>\n", dx0 + dw / 2,
      dy0 + dh + 34);
  add("<text x='%g' y='%g' text-anchor='middle' transform='rotate(-90 %g %g)'>false non-match "
      "rate</text>\n",
      dx0 - 44, dy0 + dh / 2, dx0 - 44, dy0 + dh / 2);
  s += "</svg>\n";
  return s;
}

}  // namespace tools
