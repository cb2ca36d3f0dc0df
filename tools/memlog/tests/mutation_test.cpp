// Seeded mutation loop, after every truncation of the seeds: valid logs are damaged in many small
// ways (bytes flipped, runs overwritten, counts replaced with extremes, cuts, splices) and pushed
// through the reader and every report. It must neither crash nor, under the sanitizers, touch
// memory it does not own; the exit code must stay 0 or 3. Deterministic: seed 1.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "driver.h"
#include "log_writer.h"

using memlog_test::LogWriter;

namespace {

std::vector<std::string> seeds() {
  std::vector<std::string> out;
  LogWriter a;
  a.modules({{0x00400000, "C:\\app\\app.exe"}, {0x10000000, "/opt/lib/libquorkit.so"}})
      .event(2, 1, 0x1000, 64, 0, {0x10001000, 0x00401000, 0x00402000})
      .event(4, 2, 0x2000, 8, 1, {0x10001000, 0x00401000, 0x00402000, 0x00403000, 0x00404000})
      .event(5, 3, 0x1000, 0, 1, {0x10001000})
      .event(6, 4, 0x3000, 4096, 2, {})
      .event(5, 5, 0x9999, 0, 0, {0x00401000})
      .event(8, 6, 0x2000, 12, 0, {0x00402000, 0x00401000});
  out.push_back(a.bytes());
  LogWriter b;
  for (uint32_t i = 0; i < 24; ++i) {
    std::vector<uint32_t> frames;
    for (uint32_t k = 0; k < i % 9; ++k) frames.push_back(0x00401000 + 16 * k + i);
    b.event(i % 3 == 2 ? 5 : 2, i, 0x5000 + 16 * (i % 5), i * 3, uint16_t(i % 4), frames);
  }
  out.push_back(b.bytes());
  return out;
}

void put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4 && at + i < s.size(); ++i) s[at + i] = char(v >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? atol(argv[1]) : 10000;
  const std::vector<std::string> base = seeds();
  std::mt19937 rng(1);
  static const uint32_t extremes[] = {0,      1,      2,          9,          10,  0x7fff,
                                      0x8000, 0xffff, 0x7fffffff, 0xffffffff, 128, 129};
  long ran = 0, bad = 0;
  // Every cut of every seed first: a cut log is never corrupt, only truncated.
  for (const std::string& seed : base) {
    for (size_t cut = 0; cut <= seed.size(); ++cut) {
      if (memlog::exerciseAllReports(reinterpret_cast<const uint8_t*>(seed.data()), cut) != 0) {
        fprintf(stderr, "cut at %zu of a valid log was taken as corrupt\n", cut);
        return 1;
      }
    }
  }
  for (long i = 0; i < count; ++i) {
    std::string s = base[size_t(rng()) % base.size()];
    const int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits && !s.empty(); ++e) {
      const size_t at = rng() % s.size();
      switch (rng() % 6) {
        case 0: s[at] = char(s[at] ^ (1 << (rng() % 8))); break;
        case 1: s[at] = char(rng()); break;
        case 2:  // a count or code word replaced by an extreme, on a word boundary
          put32(s, at & ~size_t(3), extremes[rng() % (sizeof extremes / sizeof extremes[0])]);
          break;
        case 3: s.resize(at); break;
        case 4: {  // duplicate a slice (shifts what follows)
          const size_t len = 1 + rng() % 64;
          s.insert(at, s.substr(at, len));
          break;
        }
        default: s.erase(at, 1 + rng() % 16); break;
      }
    }
    const int rc = memlog::exerciseAllReports(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    if (rc != 0 && rc != 3) {
      fprintf(stderr, "input %ld: unexpected exit code %d\n", i, rc);
      return 1;
    }
    bad += rc == 3;
    ++ran;
  }
  // A loop that never reached the error paths would prove little.
  if (bad == 0 || bad == ran) {
    fprintf(stderr, "mutation loop did not exercise both outcomes (%ld of %ld rejected)\n", bad,
            ran);
    return 1;
  }
  printf("%ld mutated logs read, %ld rejected as corrupt\n", ran, bad);
  return 0;
}
