// Tests of the prime-number utilities against oracles computed here: a sieve
// for everything up to a few million and a deterministic Miller-Rabin for the
// rest of the 32-bit range. Sweeps cover the table, the thresholds where the
// three operations leave it, and the walks up to the top of the range.
#include "util/Primes.h"

#include "miller_rabin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr std::int32_t kSieveLimit = 2000000;

const std::vector<bool>& sieve() {
  static const std::vector<bool> prime = [] {
    std::vector<bool> p(kSieveLimit + 1, true);
    p[0] = p[1] = false;
    for (std::int64_t i = 2; i * i <= kSieveLimit; ++i) {
      if (!p[i]) continue;
      for (std::int64_t j = i * i; j <= kSieveLimit; j += i) p[j] = false;
    }
    return p;
  }();
  return prime;
}

bool oraclePrime(std::int64_t n) {
  if (n < 2) return false;
  if (n <= kSieveLimit) return sieve()[n];
  return millerRabin::isPrime(n);
}

std::int32_t oracleNext(std::int32_t n) {
  std::int64_t c = n < 2 ? 2 : std::int64_t{n} + 1;
  while (!oraclePrime(c)) ++c;
  return static_cast<std::int32_t>(c);
}

std::int32_t oraclePrev(std::int32_t n) {
  if (n <= 3) return 2;
  std::int32_t c = n - 1;
  while (!oraclePrime(c)) --c;
  return c;
}

TEST(UtilPrimes, IntSqrtIsTheCeilingRootAroundEverySquare) {
  EXPECT_EQ(quor::intSqrt(0), 0);
  EXPECT_EQ(quor::intSqrt(1), 1);
  EXPECT_EQ(quor::intSqrt(2), 2);
  EXPECT_EQ(quor::intSqrt(3), 2);
  EXPECT_EQ(quor::intSqrt(2147483647), 46341);
  // r^2 - 1 rounds up to r, r^2 is exact, r^2 + 1 rounds up to r + 1; the
  // last square in range is 46340^2, after which everything rounds to 46341.
  for (std::int32_t r = 2; r <= 46340; ++r) {
    const std::int32_t sq = r * r;
    ASSERT_EQ(quor::intSqrt(sq - 1), r) << r;
    ASSERT_EQ(quor::intSqrt(sq), r) << r;
    ASSERT_EQ(quor::intSqrt(sq + 1), r + 1) << r;
  }
}

// Below 10000 the answers come from the table, so this sweep also proves that
// the table holds exactly the primes below 10000 and that the search finds
// them; above, it covers the three walks for every start up to 200000.
TEST(UtilPrimes, AllThreeMatchTheOracleFromMinus10To200000) {
  for (std::int32_t n = -10; n <= 200000; ++n) {
    ASSERT_EQ(quor::isPrime(n), oraclePrime(n)) << n;
    ASSERT_EQ(quor::nextPrime(n), oracleNext(n)) << n;
    ASSERT_EQ(quor::prevPrime(n), oraclePrev(n)) << n;
  }
  EXPECT_FALSE(quor::isPrime(INT32_MIN));
  EXPECT_EQ(quor::nextPrime(INT32_MIN), 2);
  EXPECT_EQ(quor::prevPrime(INT32_MIN), 2);
}

TEST(UtilPrimes, IsPrimeMatchesMillerRabinAcrossTheRange) {
  EXPECT_TRUE(quor::isPrime(2147483647));
  EXPECT_FALSE(quor::isPrime(2147483646));
  EXPECT_FALSE(quor::isPrime(1073741825));
  EXPECT_FALSE(quor::isPrime(46337 * 46337));  // square of the largest prime below 46341
  EXPECT_FALSE(quor::isPrime(46337 * 46327));
  std::mt19937 rng(20240601u);
  std::uniform_int_distribution<std::int32_t> any(10000, INT32_MAX);
  for (int i = 0; i < 20000; ++i) {
    const std::int32_t n = any(rng) | 1;  // odd: evens are decided before the walk
    ASSERT_EQ(quor::isPrime(n), millerRabin::isPrime(n)) << n;
  }
}

// Each operation leaves the table at its own limit: isPrime at 10000, nextPrime
// at the last entry 9973, prevPrime above 10000. A limit moved to another's
// value reads past the table's end or answers from the wrong side of it.
TEST(UtilPrimes, ThresholdsDifferBetweenTheOperations) {
  EXPECT_TRUE(quor::isPrime(9973));
  EXPECT_FALSE(quor::isPrime(9999));
  EXPECT_FALSE(quor::isPrime(10000));
  EXPECT_TRUE(quor::isPrime(10007));
  EXPECT_EQ(quor::nextPrime(9972), 9973);
  EXPECT_EQ(quor::nextPrime(9973), 10007);
  EXPECT_EQ(quor::nextPrime(9974), 10007);
  EXPECT_EQ(quor::nextPrime(10000), 10007);
  EXPECT_EQ(quor::nextPrime(10001), 10007);
  EXPECT_EQ(quor::prevPrime(9973), 9967);
  EXPECT_EQ(quor::prevPrime(9974), 9973);
  EXPECT_EQ(quor::prevPrime(10000), 9973);
  EXPECT_EQ(quor::prevPrime(10001), 9973);
  EXPECT_EQ(quor::prevPrime(2), 2);  // no smaller prime, still 2
}

TEST(UtilPrimes, WalksReachTheTopOfTheRange) {
  EXPECT_EQ(quor::prevPrime(2147483647), 2147483629);
  EXPECT_EQ(quor::prevPrime(2147483646), 2147483629);
  EXPECT_EQ(quor::prevPrime(2147483629), oraclePrev(2147483629));
  EXPECT_EQ(quor::nextPrime(2147483629), 2147483647);
  EXPECT_EQ(quor::nextPrime(2147483646), 2147483647);
  EXPECT_EQ(quor::nextPrime(2147483645), 2147483647);
  EXPECT_EQ(quor::nextPrime(2147483647), 2147483647);  // saturates, no wrap
  std::mt19937 rng(7u);
  std::uniform_int_distribution<std::int32_t> high(INT32_MAX - (1 << 24), INT32_MAX - 1);
  for (int i = 0; i < 200; ++i) {
    const std::int32_t n = high(rng);
    ASSERT_EQ(quor::nextPrime(n), oracleNext(n)) << n;
    ASSERT_EQ(quor::prevPrime(n), oraclePrev(n)) << n;
  }
}

// p^2 has no divisor below its ceiling root p, so it is the composite that a
// walk whose divisors stop short of the root (d < bound) takes for a prime.
// The sweep above meets such squares only up to 443^2; these are far beyond.
TEST(UtilPrimes, WalksRejectSquaresOfPrimes) {
  for (std::int32_t p : {4099, 30011, 46327, 46337}) {
    ASSERT_TRUE(oraclePrime(p)) << p;
    const std::int32_t sq = p * p;
    const std::int32_t below = oraclePrev(sq);
    const std::int32_t above = oracleNext(sq);
    EXPECT_EQ(quor::nextPrime(below), above) << p;
    EXPECT_EQ(quor::prevPrime(above), below) << p;
    EXPECT_FALSE(quor::isPrime(sq)) << p;
  }
}

}  // namespace
