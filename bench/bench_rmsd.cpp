// Benchmark: ns per (conformation, model) pair of ground_truth_rmsd, for 20- and 100-point structures.
//
// Usage: bench_rmsd [path/to/1l2y_ca.json]
// The 20-point case compares 10,000 noisy, randomly moved copies of the
// Trp-cage models against its 38 models (380,000 pairs); the 100-point case
// compares 10,000 random chains against 38 others. The last lines are
// "ns_per_pair <points> <value>" (CPU time, best of 5), which
// bench/rmsd_vs_mdtraj.py reads.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <time.h>
#include <vector>

#include "tarvex/compare/rmsd.hpp"

namespace {

using tarvex::Conformation;
using tarvex::Point;

// Reads the "models" array of the data file: a list of lists of [x, y, z].
std::vector<Conformation> read_models(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  std::size_t at = s.find("\"models\"");
  at = s.find('[', at);
  std::vector<Conformation> models;
  std::vector<double> numbers;
  int depth = 0;
  for (std::size_t i = at; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '[') {
      if (++depth == 2) models.emplace_back();
    } else if (c == ']') {
      if (depth == 3 && numbers.size() == 3) models.back().push_back({numbers[0], numbers[1], numbers[2]});
      numbers.clear();
      if (--depth == 0) break;
    } else if (depth == 3 && (c == '-' || (c >= '0' && c <= '9'))) {
      char* end = nullptr;
      numbers.push_back(std::strtod(s.c_str() + i, &end));
      i = static_cast<std::size_t>(end - s.c_str()) - 1;
    }
  }
  return models;
}

Conformation moved(const Conformation& c, std::mt19937_64& rng, double noise) {
  std::normal_distribution<double> g;
  double w = g(rng), x = g(rng), y = g(rng), z = g(rng);
  const double n = std::sqrt(w * w + x * x + y * y + z * z);
  w /= n, x /= n, y /= n, z /= n;
  const double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                          {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                          {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
  const Point t = {10 * g(rng), 10 * g(rng), 10 * g(rng)};
  Conformation out;
  for (const Point& p : c) {
    const Point q = {p.x + noise * g(rng), p.y + noise * g(rng), p.z + noise * g(rng)};
    out.push_back({r[0][0] * q.x + r[0][1] * q.y + r[0][2] * q.z + t.x, r[1][0] * q.x + r[1][1] * q.y + r[1][2] * q.z + t.y,
                   r[2][0] * q.x + r[2][1] * q.y + r[2][2] * q.z + t.z});
  }
  return out;
}

// A chain of 3.8-unit steps in random directions (not self-avoiding; the
// kernel does not care).
Conformation random_chain(std::size_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  Conformation c(n, Point{0, 0, 0});
  for (std::size_t i = 1; i < n; ++i) {
    double x = g(rng), y = g(rng), z = g(rng);
    const double f = 3.8 / std::sqrt(x * x + y * y + z * z);
    c[i] = {c[i - 1].x + f * x, c[i - 1].y + f * y, c[i - 1].z + f * z};
  }
  return c;
}

// CPU time of this thread: the machines these run on are shared, and wall
// time would count the other processes too.
double cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double ns_per_pair(const std::vector<Conformation>& models, const std::vector<Conformation>& conformations) {
  const tarvex::GroundTruth gt = tarvex::build_ground_truth(models);
  double best = 1e300, checksum = 0;
  for (int rep = 0; rep < 5; ++rep) {
    const double start = cpu_ns();
    for (const Conformation& c : conformations) checksum += tarvex::ground_truth_rmsd(gt, c);
    best = std::min(best, cpu_ns() - start);
  }
  const double pairs = static_cast<double>(conformations.size() * models.size());
  std::printf("  %zu conformations x %zu models of %zu points: mean min rmsd %.4f\n", conformations.size(),
              models.size(), models[0].size(), checksum / 5 / static_cast<double>(conformations.size()));
  return best / pairs;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : "";
  if (path.empty()) {
    const std::string here = __FILE__;
    path = here.substr(0, here.find_last_of('/') + 1) + "../data/1l2y_ca.json";
  }
  const std::vector<Conformation> trp = read_models(path);
  if (trp.size() != 38 || trp[0].size() != 20) {
    std::fprintf(stderr, "unexpected data in %s\n", path.c_str());
    return 1;
  }
  std::mt19937_64 rng(2024);
  constexpr std::size_t kConformations = 10000;

  std::vector<Conformation> noisy;
  for (std::size_t i = 0; i < kConformations; ++i) noisy.push_back(moved(trp[rng() % trp.size()], rng, 1.5));
  const double ns20 = ns_per_pair(trp, noisy);

  std::vector<Conformation> models100, chains100;
  for (std::size_t i = 0; i < trp.size(); ++i) models100.push_back(random_chain(100, rng));
  for (std::size_t i = 0; i < kConformations; ++i) chains100.push_back(random_chain(100, rng));
  const double ns100 = ns_per_pair(models100, chains100);

  std::printf("ns_per_pair 20 %.2f\n", ns20);
  std::printf("ns_per_pair 100 %.2f\n", ns100);
  return 0;
}
