// Benchmark of the prime-number utilities: calls per second of isPrime,
// nextPrime and prevPrime for small, medium and large arguments, against a
// plain deterministic Miller-Rabin reference measured in the same run. Only
// the ratio is meant to be compared between machines; absolute rates under
// qemu-i386 say little about native speed.
#include "util/Primes.h"

#include "bench_util.h"
#include "../tests/util/miller_rabin.h"

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

// ---- Reference: deterministic Miller-Rabin (bases 2, 7, 61), with next/prev by stepping ----

bool refIsPrime(std::int32_t n) { return millerRabin::isPrime(n); }

std::int32_t refNextPrime(std::int32_t n) {
  if (n < 2) return 2;
  std::int32_t c = n + 1;
  while (!refIsPrime(c)) ++c;
  return c;
}

std::int32_t refPrevPrime(std::int32_t n) {
  if (n <= 3) return 2;
  std::int32_t c = n - 1;
  while (!refIsPrime(c)) --c;
  return c;
}

// ---- Measurement ----

// Calls per second of f cycling over args for at least `seconds`; the clock is
// read every 16 calls so that slow cases (large arguments) stop on time too.
template <typename F>
double callsPerSecond(F f, const std::vector<std::int32_t>& args, double seconds) {
  const double start = bench::nowSeconds();
  std::int32_t acc = 0;
  std::size_t calls = 0;
  double elapsed = 0;
  std::size_t i = 0;
  do {
    for (int k = 0; k < 16; ++k) {
      acc += static_cast<std::int32_t>(f(args[i]));
      if (++i == args.size()) i = 0;
    }
    calls += 16;
    elapsed = bench::nowSeconds() - start;
  } while (elapsed < seconds);
  bench::keep(acc);
  return static_cast<double>(calls) / elapsed;
}

struct Range {
  const char* label;
  std::int32_t lo;
  std::int32_t hi;
};

std::vector<std::int32_t> sample(const Range& r, unsigned seed, std::size_t count) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::int32_t> dist(r.lo, r.hi);
  std::vector<std::int32_t> out(count);
  for (auto& v : out) v = dist(rng);
  return out;
}

template <typename Ours, typename Ref>
bool row(const char* op, const Range& range, const std::vector<std::int32_t>& args, Ours ours,
         Ref ref) {
  for (std::int32_t n : args) {
    if (static_cast<std::int32_t>(ours(n)) != static_cast<std::int32_t>(ref(n))) {
      std::printf("MISMATCH %s(%d): quorkit %d, reference %d\n", op, n, static_cast<int>(ours(n)),
                  static_cast<int>(ref(n)));
      return false;
    }
  }
  // Alternate the two so that both see the same machine state; keep the best
  // of three rounds each.
  double bestOurs = 0, bestRef = 0;
  for (int round = 0; round < 3; ++round) {
    const double a = callsPerSecond(ours, args, 0.15);
    const double b = callsPerSecond(ref, args, 0.15);
    if (a > bestOurs) bestOurs = a;
    if (b > bestRef) bestRef = b;
  }
  std::printf("| %-9s | %-25s | %15.0f | %17.0f | %5.2f |\n", op, range.label, bestOurs, bestRef,
              bestOurs / bestRef);
  return true;
}

}  // namespace

int main() {
  const Range ranges[] = {
      {"small [0, 9999]", 0, 9999},
      {"medium [0.9e6, 1.1e6]", 900000, 1100000},
      {"large [2^31-2^24, 2^31-2]", INT32_MAX - (1 << 24), INT32_MAX - 1},
  };
  std::printf(
      "bench_primes: calls per second, quorkit against a Miller-Rabin reference "
      "(bases 2, 7, 61) in the same run\n");
  std::printf("ratio = quorkit / reference (above 1: quorkit faster)\n");
  bench::printRunNote();
  std::printf("\n");
  std::printf(
      "| operation | arguments                 | quorkit calls/s | reference calls/s | ratio |\n");
  std::printf(
      "|-----------|---------------------------|----------------:|------------------:|------:|\n");
  bool ok = true;
  unsigned seed = 1;
  for (const Range& r : ranges) {
    const std::vector<std::int32_t> args = sample(r, seed++, 1024);
    ok &= row("isPrime", r, args, quor::isPrime, refIsPrime);
    ok &= row("nextPrime", r, args, quor::nextPrime, refNextPrime);
    ok &= row("prevPrime", r, args, quor::prevPrime, refPrevPrime);
  }
  return ok ? 0 : 1;
}
