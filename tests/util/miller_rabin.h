// Deterministic Miller-Rabin for 32-bit values: the independent reference that the prime tests
// and bench_primes hold the table-and-trial-division utilities against. It shares no step with
// them (no table, no square root), so a fault in one cannot be repeated by the other.
#ifndef QUORKIT_TESTS_UTIL_MILLER_RABIN_H
#define QUORKIT_TESTS_UTIL_MILLER_RABIN_H

#include <cstdint>

namespace millerRabin {

inline std::uint32_t mulMod(std::uint32_t a, std::uint32_t b, std::uint32_t m) {
  return static_cast<std::uint32_t>(std::uint64_t{a} * b % m);
}

inline std::uint32_t powMod(std::uint32_t base, std::uint32_t exp, std::uint32_t m) {
  std::uint32_t result = 1;
  base %= m;
  while (exp) {
    if (exp & 1) result = mulMod(result, base, m);
    base = mulMod(base, base, m);
    exp >>= 1;
  }
  return result;
}

// The bases 2, 7 and 61 decide primality for every n below 4759123141, which covers the
// whole non-negative signed 32-bit range.
inline bool isPrime(std::int64_t value) {
  if (value < 2) return false;
  const std::uint32_t n = static_cast<std::uint32_t>(value);
  for (std::uint32_t p : {2u, 3u, 5u, 7u}) {
    if (n % p == 0) return n == p;
  }
  std::uint32_t d = n - 1;
  int s = 0;
  while ((d & 1) == 0) {
    d >>= 1;
    ++s;
  }
  for (std::uint32_t a : {2u, 7u, 61u}) {
    if (a % n == 0) continue;
    std::uint32_t x = powMod(a, d, n);
    if (x == 1 || x == n - 1) continue;
    int r = 1;
    for (; r < s; ++r) {
      x = mulMod(x, x, n);
      if (x == n - 1) break;
    }
    if (r == s) return false;
  }
  return true;
}

}  // namespace millerRabin

#endif
