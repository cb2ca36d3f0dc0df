// Prime-number utilities: ceiling square root, primality, next and previous
// prime over signed 32-bit integers. Small arguments are answered from a
// constant table of the primes below 10000, larger ones by trial division with
// odd divisors. Internal to the library: nothing here is exported, so none of
// it carries QUOR_API.
//
// Every function is pure (no state, no allocation, no error reporting) and may
// be called from any thread, also before the library is initialised.
#ifndef QUORKIT_PRIMES_H
#define QUORKIT_PRIMES_H

#include <array>
#include <cstdint>

namespace quor {

// Number of primes below 10000.
constexpr int kPrimeTableSize = 1229;

// The primes below 10000 in ascending order: primeTable[0] == 2,
// primeTable[kPrimeTableSize - 1] == 9973. Computed at compile time; see
// Primes.cpp for the checks that pin its size and ends.
extern const std::array<std::int32_t, kPrimeTableSize> primeTable;

// Square root rounded up: the smallest r with r * r >= n, for
// 0 <= n <= 2147483647. A negative n is outside the contract and gives 0.
std::int32_t intSqrt(std::int32_t n);

// True exactly when n is prime; false for everything below 2.
bool isPrime(std::int32_t n);

// The smallest prime strictly greater than n; 2 for every n below 2.
// n must be below 2147483647. For 2147483647 itself, where no larger prime
// fits, the result is 2147483647 (the argument, not a wrapped value).
std::int32_t nextPrime(std::int32_t n);

// The largest prime strictly less than n for n >= 3; 2 for every n <= 3
// (so prevPrime(2) is 2 although no smaller prime exists).
std::int32_t prevPrime(std::int32_t n);

}  // namespace quor

#endif  // QUORKIT_PRIMES_H
