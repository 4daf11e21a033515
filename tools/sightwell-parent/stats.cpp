#include "tools/sightwell-parent/stats.h"

#include <algorithm>
#include <cmath>

namespace swparent {

double Percentile(std::vector<double> samples, double pct) {
  if (samples.empty()) {
    return 0;
  }
  std::sort(samples.begin(), samples.end());
  double rank = std::ceil(pct / 100.0 * static_cast<double>(samples.size()));
  size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

double Summary::Fps() const {
  if (frames < 2 || lastFrameSec <= firstFrameSec) {
    return 0;
  }
  return static_cast<double>(frames - 1) / (lastFrameSec - firstFrameSec);
}

}  // namespace swparent
