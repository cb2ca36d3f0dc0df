// The prime utilities held against Miller-Rabin (miller_rabin.h), which shares no step with
// them: every argument from -10 to 200000 (the whole table and the three limits at which the
// operations leave it), random odd numbers across the range, and walks far above the table.
#include "util/Primes.h"

#include "miller_rabin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

std::int32_t oracleNext(std::int32_t n) {
  std::int64_t c = n < 2 ? 2 : std::int64_t{n} + 1;
  while (!millerRabin::isPrime(c)) ++c;
  return static_cast<std::int32_t>(c);
}

std::int32_t oraclePrev(std::int32_t n) {
  std::int32_t c = n <= 3 ? 2 : n - 1;
  while (!millerRabin::isPrime(c)) --c;
  return c;
}

TEST(UtilPrimes, IntSqrtIsTheCeilingRootAroundEverySquare) {
  const std::int32_t cases[][2] = {
      {0, 0}, {1, 1}, {2, 2}, {3, 2}, {4, 2}, {5, 3}, {1073741824, 32768}, {2147483647, 46341}};
  for (const auto& c : cases) EXPECT_EQ(quor::intSqrt(c[0]), c[1]) << c[0];
  // r^2 - 1 rounds up to r, r^2 is exact, r^2 + 1 rounds up to r + 1.
  for (std::int32_t r = 2; r <= 46340; ++r) {
    const std::int32_t sq = r * r;
    ASSERT_EQ(quor::intSqrt(sq - 1), r) << r;
    ASSERT_EQ(quor::intSqrt(sq), r) << r;
    ASSERT_EQ(quor::intSqrt(sq + 1), r + 1) << r;
  }
}

TEST(UtilPrimes, AllThreeMatchTheOracleFromMinus10To200000) {
  std::vector<std::int32_t> primes;
  for (std::int32_t n = 2; n <= 200100; ++n) {
    if (millerRabin::isPrime(n)) primes.push_back(n);
  }
  for (std::int32_t n = -10; n <= 200000; ++n) {
    auto atOrAbove = std::lower_bound(primes.begin(), primes.end(), n);
    const bool prime = atOrAbove != primes.end() && *atOrAbove == n;
    ASSERT_EQ(quor::isPrime(n), prime) << n;
    ASSERT_EQ(quor::nextPrime(n), prime ? atOrAbove[1] : *atOrAbove) << n;
    ASSERT_EQ(quor::prevPrime(n), n <= 3 ? 2 : atOrAbove[-1]) << n;
  }
}

TEST(UtilPrimes, IsPrimeMatchesMillerRabinAcrossTheRange) {
  std::mt19937 rng(20240601u);
  std::uniform_int_distribution<std::int32_t> any(10000, INT32_MAX);
  for (int i = 0; i < 20000; ++i) {
    const std::int32_t n = any(rng) | 1;  // odd: evens are decided before the walk
    ASSERT_EQ(quor::isPrime(n), millerRabin::isPrime(n)) << n;
  }
}

// p*p has no divisor below its ceiling root p: a walk whose divisors stop short of the root takes
// it for a prime. The sweep above meets such squares only up to 443*443.
TEST(UtilPrimes, WalksAboveTheTableMatchTheOracle) {
  std::vector<std::int32_t> starts = {INT32_MIN, 10001, 10008, 2147483629, 2147483645, 2147483646};
  for (std::int32_t p : {4099, 30011, 46327, 46337}) {
    for (std::int32_t n : {oraclePrev(p * p), p * p, oracleNext(p * p)}) starts.push_back(n);
  }
  std::mt19937 rng(7u);
  std::uniform_int_distribution<std::int32_t> high(INT32_MAX - (1 << 24), INT32_MAX - 1);
  for (int i = 0; i < 200; ++i) starts.push_back(high(rng));
  for (std::int32_t n : starts) {
    ASSERT_EQ(quor::isPrime(n), millerRabin::isPrime(n)) << n;
    ASSERT_EQ(quor::nextPrime(n), oracleNext(n)) << n;
    ASSERT_EQ(quor::prevPrime(n), oraclePrev(n)) << n;
  }
  EXPECT_TRUE(quor::isPrime(INT32_MAX));
  EXPECT_EQ(quor::prevPrime(INT32_MAX), 2147483629);
}

}  // namespace
