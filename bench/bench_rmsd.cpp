// Benchmark: the RMSD kernel per (conformation, model) pair against a plain batched QCP floor, side by side.
//
// Usage: bench_rmsd [path/to/1l2y_ca.json]
// Workloads: 10,000 noisy, randomly moved copies of the Trp-cage models
// against its 38 models (380,000 pairs of 20 points); 10,000 random 100-point
// chains against 38 others; every cubic walk of 10 points (1,853,886) against
// Trp-cage residues 1-10 of model 1, handed over in batches of 1,024 as they
// are enumerated (the minimize_rmsd workload). CPU time of this thread, best
// of repeats, every figure of a workload measured in the same run. The lines
// "ns_per_pair <points> <value>" (the batched kernel) are what
// bench/rmsd_vs_mdtraj.py reads.
#if !defined(__x86_64__)
#include <cstdio>
int main() { std::puts("bench_rmsd compares AVX2/FMA kernels: x86-64 only"); }
#else

// The AVX2 build of the kernel, as rmsd_avx2.cpp compiles it.
#define TARVEX_SIMD_AVX2 1
#include <time.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "rmsd_floor.hpp"
#include "tarvex/compare/rmsd.hpp"
#include "tarvex/walks/lattice.hpp"
#include "tarvex/walks/walk_enumerator.hpp"

#include "tarvex/compare/rmsd_kernel.hpp"

namespace {

using tarvex::Conformation;
using tarvex::Point;

// The production kernel without the power-of-two scaling: what the hot path
// would cost without it.
[[gnu::target("avx2,fma")]] void batch_avx2_unscaled(const tarvex::GroundTruth& gt, std::span<const Point> points,
                                                     std::span<double> out) {
  tarvex::detail::BatchKernel<tarvex::simd::Avx2, false>::compute(gt, points, out);
}

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
    out.push_back({r[0][0] * q.x + r[0][1] * q.y + r[0][2] * q.z + t.x,
                   r[1][0] * q.x + r[1][1] * q.y + r[1][2] * q.z + t.y,
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

std::vector<Conformation> scaled(const std::vector<Conformation>& cs, double k) {
  std::vector<Conformation> out = cs;
  for (Conformation& c : out)
    for (Point& p : c) p = {k * p.x, k * p.y, k * p.z};
  return out;
}

// CPU time of this thread: the machines these run on are shared, and wall
// time would count the other processes too.
double cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

constexpr std::size_t kBatch = 1024;

// One way of computing out[c] for a batch of conformations stored back to back.
using Method = std::function<void(std::span<const Point>, std::span<double>)>;

struct Named {
  const char* name;
  Method method;
};

std::vector<Named> methods(const std::vector<Conformation>& models) {
  auto gt = std::make_shared<tarvex::GroundTruth>(tarvex::build_ground_truth(models));
  auto floor_models = std::make_shared<floor_qcp::Models>(floor_qcp::prepare(models));
  auto floor_scratch = std::make_shared<std::vector<double> >();
  std::vector<Named> out = {
      {"floor (plain batched QCP, AVX2)",
       [=](std::span<const Point> p, std::span<double> o) {
         floor_qcp::rmsds(*floor_models, p.data(), o.size(), o.data(), *floor_scratch);
       }},
      {"ground_truth_rmsds (dispatched)",
       [=](std::span<const Point> p, std::span<double> o) { tarvex::ground_truth_rmsds(*gt, p, o); }},
      {"  the same without scaling",
       [=](std::span<const Point> p, std::span<double> o) { batch_avx2_unscaled(*gt, p, o); }},
      {"  portable kernel",
       [=](std::span<const Point> p, std::span<double> o) { tarvex::detail::batch_portable(*gt, p, o); }},
      {"ground_truth_rmsd, one call each",
       [=](std::span<const Point> p, std::span<double> o) {
         const std::size_t n = gt->points;
         for (std::size_t c = 0; c < o.size(); ++c) o[c] = tarvex::ground_truth_rmsd(*gt, p.subspan(c * n, n));
       }},
  };
  return out;
}

// ns per pair for each method over the conformations, in batches; the
// methods take turns in every repeat so that a busy moment hits all alike.
std::vector<double> ns_per_pair(const std::vector<Named>& ms, std::size_t models,
                                const std::vector<Conformation>& conformations, double* mean_rmsd) {
  std::vector<Point> points;
  for (const Conformation& c : conformations) points.insert(points.end(), c.begin(), c.end());
  const std::size_t n = conformations[0].size();
  std::vector<double> out(conformations.size()), best(ms.size(), 1e300);
  for (int rep = 0; rep < 5; ++rep) {
    for (std::size_t k = 0; k < ms.size(); ++k) {
      const double start = cpu_ns();
      for (std::size_t first = 0; first < conformations.size(); first += kBatch) {
        const std::size_t count = std::min(kBatch, conformations.size() - first);
        ms[k].method(std::span<const Point>(points).subspan(first * n, count * n),
                     std::span<double>(out).subspan(first, count));
      }
      best[k] = std::min(best[k], cpu_ns() - start);
      if (k == 1) {
        double sum = 0;
        for (double v : out) sum += v;
        *mean_rmsd = sum / double(out.size());
      }
    }
  }
  for (double& b : best) b /= double(conformations.size() * models);
  return best;
}

void report(const char* title, const std::vector<Named>& ms, const std::vector<double>& ns, double mean) {
  std::printf("%s (mean min RMSD %.4f)\n", title, mean);
  for (std::size_t k = 0; k < ms.size(); ++k)
    std::printf("  %-36s %8.2f ns/pair  %5.2fx floor\n", ms[k].name, ns[k], ns[k] / ns[0]);
}

// Every cubic walk of n points against one model, handed over in batches as
// they are enumerated; only the kernel calls are timed.
void walks_against_one_model(const Conformation& model) {
  const std::vector<Named> ms = methods({model});
  const std::size_t n = model.size();
  const tarvex::Lattice lattice(tarvex::LatticeKind::cubic);
  const double scale = tarvex::lattice_scale(lattice, 3.8);
  std::vector<double> best(ms.size(), 1e300);
  std::size_t walks = 0;
  std::vector<Point> points(kBatch * n);
  std::vector<double> out(kBatch);
  for (int rep = 0; rep < 3; ++rep) {
    std::vector<double> spent(ms.size(), 0);
    tarvex::WalkEnumerator<tarvex::LatticeKind::cubic> enumerator(n);
    walks = 0;
    std::size_t filled = 0;
    const auto run = [&] {
      for (std::size_t k = 0; k < ms.size(); ++k) {
        const double start = cpu_ns();
        ms[k].method(std::span<const Point>(points).first(filled * n), std::span<double>(out).first(filled));
        spent[k] += cpu_ns() - start;
      }
      walks += filled;
      filled = 0;
    };
    while (const tarvex::LatticeWalk* walk = enumerator.next()) {
      for (std::size_t i = 0; i < n; ++i)
        points[filled * n + i] = {double((*walk)[i].x) * scale, double((*walk)[i].y) * scale,
                                  double((*walk)[i].z) * scale};
      if (++filled == kBatch) run();
    }
    if (filled > 0) run();
    for (std::size_t k = 0; k < ms.size(); ++k) best[k] = std::min(best[k], spent[k]);
  }
  std::printf("every cubic walk of %zu points (%zu) against one model, batches of %zu\n", n, walks, kBatch);
  for (std::size_t k = 0; k < ms.size(); ++k)
    std::printf("  %-36s %8.2f M conformations/s  %5.2fx floor time\n", ms[k].name, double(walks) / best[k] * 1e3,
                best[k] / best[0]);
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
  if (!tarvex::simd::cpu_has_avx2()) {
    std::fprintf(stderr, "this benchmark compares AVX2/FMA kernels; the processor has neither\n");
    return 1;
  }
  std::mt19937_64 rng(2024);
  constexpr std::size_t kConformations = 10000;
  double mean = 0;

  std::vector<Conformation> noisy;
  for (std::size_t i = 0; i < kConformations; ++i) noisy.push_back(moved(trp[rng() % trp.size()], rng, 1.5));
  const std::vector<Named> m20 = methods(trp);
  const std::vector<double> ns20 = ns_per_pair(m20, trp.size(), noisy, &mean);
  report("20 points, 38 Trp-cage models", m20, ns20, mean);

  // The same structures times 1e-200: every pair takes the scaled path.
  const std::vector<Named> tiny = methods(scaled(trp, 1e-200));
  const std::vector<double> ns_tiny = ns_per_pair({tiny[0], tiny[1]}, trp.size(), scaled(noisy, 1e-200), &mean);
  std::printf("the same times 1e-200 (scaled path): ground_truth_rmsds %.2f ns/pair, %.2fx the unscaled data\n",
              ns_tiny[1], ns_tiny[1] / ns20[1]);

  std::vector<Conformation> models100, chains100;
  for (std::size_t i = 0; i < trp.size(); ++i) models100.push_back(random_chain(100, rng));
  for (std::size_t i = 0; i < kConformations; ++i) chains100.push_back(random_chain(100, rng));
  const std::vector<Named> m100 = methods(models100);
  const std::vector<double> ns100 = ns_per_pair(m100, models100.size(), chains100, &mean);
  report("100 points, 38 random chains", m100, ns100, mean);

  walks_against_one_model(Conformation(trp[0].begin(), trp[0].begin() + 10));

  std::printf("ns_per_pair 20 %.2f\n", ns20[1]);
  std::printf("ns_per_pair 100 %.2f\n", ns100[1]);
  return 0;
}

#endif
