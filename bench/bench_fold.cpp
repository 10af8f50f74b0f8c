// The Boltzmann chain's moves per second against the plain pivot chain, and fold's ladder settings.
//   bench_fold rate                         moves per second per core, table cost, and the ratio
//   bench_fold ladder R LOW HIGH SWEEPS SEQ:TARGET ...   time to target of HP sequences (cubic)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tarvex/cost/cost.hpp"
#include "tarvex/sampling/boltzmann.hpp"
#include "tarvex/search/fold.hpp"
#include "tarvex/thread_pool.hpp"
#include "tarvex/walks/pivot.hpp"
#include "tarvex/walks/random.hpp"

namespace {

using namespace tarvex;
using Clock = std::chrono::steady_clock;

EnergyTable hp_table() {
  EnergyTable t;
  t[U'H'][U'H'] = -1.0;
  t[U'H'][U'P'] = 0.0;
  t[U'P'][U'H'] = 0.0;
  t[U'P'][U'P'] = 0.0;
  return t;
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

template <LatticeKind K>
void rate(const char* label, const std::string& seq, double arc, double dmax, std::uint64_t kmin, double t) {
  const ContactEnergyCost cost = build_contact_energy_cost(hp_table(), seq, kmin, dmax);
  const ContactField field(cost, lattice_scale(Lattice(K), arc), K);
  const std::uint64_t moves = 2'000'000;
  Rng rng = Rng::seeded(1);
  BoltzmannChain<K> chain(seq.size(), t, &field, nullptr, rng);
  for (int i = 0; i < 100000; ++i) chain.step();
  auto start = Clock::now();
  std::uint64_t accepted = 0;
  for (std::uint64_t i = 0; i < moves; ++i) accepted += chain.step();
  const double boltzmann = double(moves) / seconds_since(start);
  Poll poll;
  Rng rng2 = Rng::seeded(2);
  PivotSampler<K> pivot(seq.size(), rng2, 100, 10, poll);
  start = Clock::now();
  for (std::uint64_t i = 0; i < moves; ++i) pivot.try_pivot();
  const double plain = double(moves) / seconds_since(start);
  std::printf("%-34s T=%-4g Boltzmann %9.0f moves/s (accepts %.2f)  plain pivot %9.0f moves/s  ratio %.2f\n", label, t,
              boltzmann, double(accepted) / double(moves), plain, boltzmann / plain);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "rate") == 0) {
    const std::string h48 = "HPHHPPHHHHPHHHPPHHPPHPHHHPHPHHPPHHPPPHPPPPPPPPHH";
    rate<LatticeKind::cubic>("HP 48-mer cubic (kmin 2, dmax 1)", h48, 1.0, 1.0, 2, 0.3);
    rate<LatticeKind::cubic>("HP 48-mer cubic (kmin 2, dmax 1)", h48, 1.0, 1.0, 2, 2.0);
    rate<LatticeKind::tetrahedral>("HP 48-mer tetrahedral (3.8, 7.8)", h48, 3.8, 7.8, 1, 0.5);
    rate<LatticeKind::fcc>("HP 48-mer fcc (3.8, 7.8)", h48, 3.8, 7.8, 1, 0.5);
    return 0;
  }
  if (argc >= 7 && std::strcmp(argv[1], "ladder") == 0) {
    FoldSettings settings;
    settings.replicas = std::size_t(std::atoi(argv[2]));
    settings.low = std::atof(argv[3]);
    settings.high = std::atof(argv[4]);
    settings.sweeps = std::uint64_t(std::atoll(argv[5]));
    set_thread_count(2);
    Poll poll;
    for (int a = 6; a < argc; ++a) {
      const std::string arg = argv[a];
      const auto colon = arg.find(':');
      const std::string seq = arg.substr(0, colon);
      settings.target = std::atof(arg.c_str() + colon + 1);
      const std::unique_ptr<Cost> cost = make_contact_cost(build_contact_energy_cost(hp_table(), seq, 2, 1.0));
      Rng rng = Rng::keyed(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(argv[a]), 4));
      const auto start = Clock::now();
      const Folded f = fold_walk(seq.size(), LatticeKind::cubic, 1.0, *cost, settings, poll, rng);
      std::printf("%s %g %.2f s %llu sweeps\n", seq.substr(0, 8).c_str(), f.cost, seconds_since(start),
                  (unsigned long long)f.sweeps);
      std::fflush(stdout);
    }
    return 0;
  }
  std::fprintf(stderr, "usage: bench_fold rate | ladder R LOW HIGH SWEEPS SEQ:TARGET ...\n");
  return 2;
}
