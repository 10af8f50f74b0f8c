// Benchmark of the lattice fit's ingredients: mean RMSD per lattice and time, each part switched on in turn.
//
// Usage: bench_fit [--threads N] [--width W] TRACE...   (bench/fit.py writes the traces and runs this)
// A trace file: a first line "name points models", then models x points lines "x y z".
// Environment: FIT_CONFIG, FIT_LATTICE pick one row or lattice, FIT_VERBOSE prints each protein's
// RMSD; FIT_TAIL, FIT_PER_TAIL, FIT_WINDOW, FIT_FRAMES, FIT_BOTH, FIT_PLACEMENTS override settings.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tarvex/compare/rmsd.hpp"
#include "tarvex/search/fit.hpp"
#include "tarvex/thread_pool.hpp"
#include "tarvex/walks/lattice.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tarvex::LatticeKind;

struct Protein {
  std::string name;
  std::vector<tarvex::Conformation> models;
};

Protein read_trace(const char* path) {
  std::ifstream in(path);
  Protein p;
  std::size_t n = 0, m = 0;
  if (!(in >> p.name >> n >> m)) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  p.models.assign(m, tarvex::Conformation(n));
  for (auto& model : p.models)
    for (auto& q : model) in >> q.x >> q.y >> q.z;
  return p;
}

struct Config {
  const char* name;
  tarvex::FitSettings settings;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<Protein> proteins;
  std::size_t width = 0;  // the default
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--width") == 0 && a + 1 < argc) {
      width = std::size_t(std::atoi(argv[++a]));
      continue;
    }
    if (std::strcmp(argv[a], "--threads") == 0 && a + 1 < argc) {
      tarvex::set_thread_count(std::size_t(std::atoi(argv[++a])));
      continue;
    }
    proteins.push_back(read_trace(argv[a]));
  }
  // Each ingredient added in turn to the plain beam (from one end, every
  // prefix ranked alone), then the placements alone, and a width ten times
  // the default as the yardstick of what more search finds.
  std::vector<Config> configs;
  tarvex::FitSettings plain;
  plain.beam = width;
  plain.placements = plain.polish = plain.refine = plain.exact = plain.both_ends = false;
  plain.tail = 0;
  configs.push_back({"plain beam", plain});
  tarvex::FitSettings ends = plain;
  ends.both_ends = true;
  configs.push_back({"+ both ends", ends});
  tarvex::FitSettings diverse = ends;
  diverse.tail = tarvex::FitSettings::kByLattice;
  configs.push_back({"+ diversity", diverse});
  tarvex::FitSettings placed = diverse;
  placed.placements = true;
  configs.push_back({"+ placements", placed});
  tarvex::FitSettings polished = placed;
  polished.polish = true;
  configs.push_back({"+ polish", polished});
  tarvex::FitSettings refined = polished;
  refined.refine = true;
  configs.push_back({"+ refinement", refined});
  tarvex::FitSettings alone = refined;
  alone.prefix = false;
  configs.push_back({"placements only", alone});
  tarvex::FitSettings wide = refined;  // its width set per lattice below
  configs.push_back({"ten times wider", wide});
  for (Config& c : configs) {
    if (const char* v = std::getenv("FIT_TAIL")) c.settings.tail = std::size_t(std::atoi(v));
    if (const char* v = std::getenv("FIT_PER_TAIL")) c.settings.per_tail = std::size_t(std::atoi(v));
    if (const char* v = std::getenv("FIT_WINDOW")) c.settings.window = std::size_t(std::atoi(v));
    if (const char* v = std::getenv("FIT_FRAMES")) c.settings.frames = std::size_t(std::atoi(v));
    if (const char* v = std::getenv("FIT_BOTH")) c.settings.both_ends = std::atoi(v) != 0;
    if (const char* v = std::getenv("FIT_PLACEMENTS")) c.settings.placements = std::atoi(v) != 0;
  }
  const char* only = std::getenv("FIT_CONFIG");
  tarvex::Poll poll;
  for (const Config& c : configs) {
    if (only != nullptr && std::strcmp(only, c.name) != 0) continue;
    std::printf("%-16s", c.name);
    const char* lat = std::getenv("FIT_LATTICE");
    for (LatticeKind kind : {LatticeKind::tetrahedral, LatticeKind::cubic, LatticeKind::bcc, LatticeKind::fcc}) {
      if (lat != nullptr && tarvex::lattice_name(kind) != lat) continue;
      tarvex::FitSettings settings = c.settings;
      if (std::strcmp(c.name, "ten times wider") == 0) {
        // The default width of the lattice, as fit.cpp takes it up to 150 points.
        const bool wide_default = kind == LatticeKind::cubic || kind == LatticeKind::bcc;
        settings.beam = 10 * (width != 0 ? width : wide_default ? 2000 : 1000);
      }
      double sum = 0, seconds = 0;
      std::size_t residues = 0;
      for (const Protein& p : proteins) {
        const auto start = Clock::now();
        const tarvex::LatticeWalk walk = tarvex::fit_walk(p.models, kind, 3.8, settings, poll);
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        const tarvex::Conformation conf =
            tarvex::to_conformation(walk, tarvex::lattice_scale(tarvex::Lattice(kind), 3.8));
        const double r = tarvex::ground_truth_rmsd(tarvex::build_ground_truth(p.models), conf);
        if (std::getenv("FIT_VERBOSE") != nullptr) std::printf(" [%s %.2f]", p.name.c_str(), r);
        sum += r;
        residues += walk.size();
      }
      std::printf("  %s %.3f A %.3f s/100", tarvex::lattice_name(kind).data(), sum / double(proteins.size()),
                  100 * seconds / double(residues));
    }
    std::printf("\n");
  }
}
