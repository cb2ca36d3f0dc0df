// Prime-number utilities: the table of primes below 10000, the ceiling integer
// square root and the three trial-division walks built on them.
//
// The table is sieved by the compiler rather than typed in, so its contents
// cannot drift from the definition; the static_asserts below pin what the rest
// of this file relies on (its length, first and last entries).
#include "util/Primes.h"

namespace quor {
namespace {

// isPrime answers from the table below this limit and prevPrime up to it;
// nextPrime leaves the table earlier, at its last entry (see there).
constexpr std::int32_t kTableLimit = 10000;
constexpr int kLastIndex = kPrimeTableSize - 1;

struct SievedPrimes {
  std::array<std::int32_t, kPrimeTableSize> primes;
  int count;
};

// Sieve of Eratosthenes below kTableLimit, evaluated at compile time. The count
// is returned separately so that a wrong table length shows up as a failed
// static_assert instead of a silently truncated table.
constexpr SievedPrimes sievePrimes() {
  bool composite[kTableLimit] = {};
  SievedPrimes out{{}, 0};
  for (std::int32_t i = 2; i < kTableLimit; ++i) {
    if (composite[i]) continue;
    if (out.count < kPrimeTableSize) out.primes[out.count] = i;
    ++out.count;
    for (std::int32_t j = i * i; j < kTableLimit; j += i) composite[j] = true;
  }
  return out;
}

constexpr SievedPrimes kSieved = sievePrimes();
static_assert(kSieved.count == kPrimeTableSize, "there are 1229 primes below 10000");
static_assert(kSieved.primes[0] == 2, "the table starts at 2");
static_assert(kSieved.primes[1] == 3, "the table holds 3 at index 1");
static_assert(kSieved.primes[kLastIndex] == 9973, "the table ends at 9973");
static_assert(kSieved.primes[kLastIndex - 1] == 9967, "9967 precedes 9973");

// Binary search whose "greater" branch steps past mid (hi = mid - 1), so it
// may stop next to n rather than on the first entry >= n. The index it returns
// holds n itself, the largest entry below n or the smallest entry above n;
// each caller settles which with one comparison. At most 10 halvings.
int searchTable(std::int32_t n) {
  int lo = 0;
  int hi = kLastIndex;
  while (hi > lo) {
    const int mid = (lo + hi) / 2;
    const std::int32_t entry = primeTable[mid];
    if (entry < n) {
      lo = mid + 1;
    } else if (entry > n) {
      hi = mid - 1;
    } else {
      lo = hi = mid;
    }
  }
  return lo;
}

// True when some odd d in [3, bound] divides the odd value n. The callers pass
// bound = ceil(sqrt(n)) (the walks keep it exact by their one-step updates),
// and every n they pass is above 9973, so d never reaches n itself and never
// overflows (bound <= 46341).
bool hasOddDivisor(std::int32_t n, std::int32_t bound) {
  for (std::int32_t d = 3; d <= bound; d += 2) {
    if (n % d == 0) return true;
  }
  return false;
}

// bound * bound compared in unsigned arithmetic: the largest bound used,
// 46341, squares to 2147488281, just past the signed range.
bool squareBelow(std::int32_t bound, std::int32_t value) {
  const std::uint32_t b = static_cast<std::uint32_t>(bound);
  return b * b < static_cast<std::uint32_t>(value);
}

}  // namespace

const std::array<std::int32_t, kPrimeTableSize> primeTable = kSieved.primes;

std::int32_t intSqrt(std::int32_t n) {
  if (n < 0) return 0;
  const std::uint32_t x = static_cast<std::uint32_t>(n);
  auto pair = [x](int k) { return (x >> (2 * k)) & 3u; };

  // Skip the leading zero pairs; pair 0 is where an all-zero argument starts.
  int k = 15;
  while (k > 0 && pair(k) == 0) --k;

  // Digit-by-digit root: each pair brings in one bit of the root. With P the
  // root built so far (at its own scale), the next bit is 1 exactly when the
  // remainder covers (2P + 1)^2 - (2P)^2 = 4P + 1, which is twiceRoot + 1
  // once twiceRoot (2P) has been doubled for the new position.
  std::uint32_t root = 0;
  std::uint32_t remainder = 0;
  std::uint32_t twiceRoot = 0;
  for (; k >= 0; --k) {
    remainder = remainder * 4 + pair(k);
    twiceRoot *= 2;
    if (remainder >= twiceRoot + 1) {
      root += 1u << k;
      remainder -= twiceRoot + 1;
      twiceRoot += 2;
    }
  }
  // A non-zero remainder means n is not a perfect square: round up.
  return static_cast<std::int32_t>(remainder > 0 ? root + 1 : root);
}

bool isPrime(std::int32_t n) {
  if (n < kTableLimit) return primeTable[searchTable(n)] == n;
  if ((n & 1) == 0) return false;
  return !hasOddDivisor(n, intSqrt(n));
}

std::int32_t nextPrime(std::int32_t n) {
  // The table can answer only while a larger entry exists, hence the limit at
  // its last entry rather than at 10000. Negatives land on index 0 (2).
  const std::int32_t last = primeTable[kLastIndex];
  if (n < last) {
    const int lo = searchTable(n);
    return n >= primeTable[lo] ? primeTable[lo + 1] : primeTable[lo];
  }
  // No larger prime fits in 32 bits; answer with the argument rather than
  // let the candidate below overflow.
  if (n == INT32_MAX) return n;

  // An odd n is at most 2147483645 here, so n + 2 still fits.
  std::int32_t candidate = (n & 1) ? n + 2 : n + 1;
  std::int32_t bound = intSqrt(candidate);
  for (;;) {
    if (!hasOddDivisor(candidate, bound)) return candidate;
    // Cannot overflow: 2147483647 is prime, so the walk stops there at the latest.
    candidate += 2;
    // Between consecutive odd candidates the ceiling root grows by at most
    // one, so it is carried along instead of being recomputed.
    if (squareBelow(bound, candidate)) ++bound;
  }
}

std::int32_t prevPrime(std::int32_t n) {
  if (n <= 3) return 2;
  if (n <= kTableLimit) {
    // n >= 4 puts lo at index 1 or beyond, so lo - 1 is valid.
    const int lo = searchTable(n);
    return n > primeTable[lo] ? primeTable[lo] : primeTable[lo - 1];
  }

  std::int32_t candidate = (n & 1) ? n - 2 : n - 1;
  std::int32_t bound = intSqrt(candidate);
  while (candidate > 3) {
    if (!hasOddDivisor(candidate, bound)) return candidate;
    candidate -= 2;
    // The ceiling root shrinks by at most one per step: it is bound - 1
    // exactly when (bound - 1)^2 still covers the new candidate.
    if (!squareBelow(bound - 1, candidate)) --bound;
  }
  // Not reached for n > 10000 (9973 is found first); kept so the loop has a
  // defined exit for every candidate.
  return candidate;
}

}  // namespace quor
