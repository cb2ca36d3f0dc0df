// Tests of the prime-number utilities against oracles computed here: a sieve
// for everything up to a few million and a deterministic Miller-Rabin for the
// rest of the 32-bit range. Sweeps cover the table, the thresholds where the
// three operations leave it, and the carried square-root bound of the walks.
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

TEST(UtilPrimes, TableHoldsExactlyThePrimesBelow10000) {
    ASSERT_EQ(quor::primeTable.size(), 1229u);
    int index = 0;
    for (std::int32_t n = 2; n < 10000; ++n) {
        if (!sieve()[n]) continue;
        ASSERT_LT(index, 1229);
        EXPECT_EQ(quor::primeTable[index], n) << "index " << index;
        ++index;
    }
    EXPECT_EQ(index, 1229);
    EXPECT_EQ(quor::primeTable.front(), 2);
    EXPECT_EQ(quor::primeTable.back(), 9973);
}

TEST(UtilPrimes, IntSqrtIsTheCeilingRootAroundEverySquare) {
    EXPECT_EQ(quor::intSqrt(0), 0);
    EXPECT_EQ(quor::intSqrt(1), 1);
    EXPECT_EQ(quor::intSqrt(2), 2);
    EXPECT_EQ(quor::intSqrt(3), 2);
    EXPECT_EQ(quor::intSqrt(4), 2);
    EXPECT_EQ(quor::intSqrt(5), 3);
    EXPECT_EQ(quor::intSqrt(1073741824), 32768);
    EXPECT_EQ(quor::intSqrt(2147483647), 46341);
    // r^2 - 1 rounds up to r, r^2 is exact, r^2 + 1 rounds up to r + 1; the
    // last square in range is 46340^2, after which everything rounds to 46341.
    for (std::int32_t r = 2; r <= 46340; ++r) {
        const std::int32_t sq = r * r;
        ASSERT_EQ(quor::intSqrt(sq - 1), r) << r;
        ASSERT_EQ(quor::intSqrt(sq), r) << r;
        ASSERT_EQ(quor::intSqrt(sq + 1), r + 1) << r;
    }
    EXPECT_EQ(quor::intSqrt(46340 * 46340 + 46340), 46341);
}

TEST(UtilPrimes, IsPrimeMatchesTheSieveFromMinus10To200000) {
    for (std::int32_t n = -10; n <= 200000; ++n) ASSERT_EQ(quor::isPrime(n), sieve()[n < 0 ? 0 : n]) << n;
    EXPECT_FALSE(quor::isPrime(INT32_MIN));
    EXPECT_FALSE(quor::isPrime(-7));
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

TEST(UtilPrimes, NextAndPrevMatchTheSieveFromMinus10To200000) {
    for (std::int32_t n = -10; n <= 200000; ++n) {
        ASSERT_EQ(quor::nextPrime(n), oracleNext(n)) << n;
        ASSERT_EQ(quor::prevPrime(n), oraclePrev(n)) << n;
    }
    EXPECT_EQ(quor::nextPrime(INT32_MIN), 2);
    EXPECT_EQ(quor::prevPrime(INT32_MIN), 2);
}

TEST(UtilPrimes, ThresholdsDifferBetweenTheOperations) {
    // isPrime leaves the table at 10000, nextPrime at 9973, prevPrime above
    // 10000: each value below sits on one side of one of those limits.
    EXPECT_TRUE(quor::isPrime(9973));
    EXPECT_FALSE(quor::isPrime(9999));
    EXPECT_FALSE(quor::isPrime(10000));
    EXPECT_TRUE(quor::isPrime(10007));
    EXPECT_EQ(quor::nextPrime(9972), 9973);
    EXPECT_EQ(quor::nextPrime(9973), 10007);
    EXPECT_EQ(quor::nextPrime(9974), 10007);
    EXPECT_EQ(quor::nextPrime(10000), 10007);
    EXPECT_EQ(quor::nextPrime(10001), 10007);
    EXPECT_EQ(quor::nextPrime(10007), 10009);
    EXPECT_EQ(quor::prevPrime(9973), 9967);
    EXPECT_EQ(quor::prevPrime(9974), 9973);
    EXPECT_EQ(quor::prevPrime(10000), 9973);
    EXPECT_EQ(quor::prevPrime(10001), 9973);
    EXPECT_EQ(quor::prevPrime(10008), 10007);
    // Below the table's start: everything up to 3 gives 2, prevPrime(2) included.
    for (std::int32_t n : {-5, 0, 1, 2, 3}) EXPECT_EQ(quor::prevPrime(n), 2) << n;
    for (std::int32_t n : {-5, 0, 1}) EXPECT_EQ(quor::nextPrime(n), 2) << n;
    EXPECT_EQ(quor::nextPrime(2), 3);
    EXPECT_EQ(quor::nextPrime(3), 5);
    EXPECT_EQ(quor::prevPrime(4), 3);
    EXPECT_EQ(quor::prevPrime(5), 3);
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

TEST(UtilPrimes, WalksStepOverSquaresOfPrimes) {
    // p^2 is the only composite near it whose smallest factor equals its
    // ceiling root, so a walk that crosses it rejects it only if the bound
    // carried from the walk's start is still exactly right when it gets there.
    const std::int32_t primes[] = {101, 997, 4099, 30011, 46307, 46327, 46337};
    for (std::int32_t p : primes) {
        ASSERT_TRUE(oraclePrime(p)) << p;
        const std::int32_t sq = p * p;
        const std::int32_t below = oraclePrev(sq);
        const std::int32_t above = oracleNext(sq);
        EXPECT_EQ(quor::nextPrime(below), above) << p;
        EXPECT_EQ(quor::nextPrime(below - 1), below) << p;
        EXPECT_EQ(quor::prevPrime(above), below) << p;
        EXPECT_EQ(quor::prevPrime(above + 1), above) << p;
        EXPECT_FALSE(quor::isPrime(sq)) << p;
    }
}

}  // namespace
