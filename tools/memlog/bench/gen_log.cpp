// Writes a synthetic allocation log for the benchmark: a module block, then N events
// with 8 frames each drawn from a few thousand call stacks, allocations and releases
// mixed so that about a tenth of the blocks stay live. Deterministic (fixed seed).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

void put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

void record(std::vector<uint8_t>& b, uint32_t code, uint32_t id, uint32_t address, uint32_t size,
            uint16_t region) {
  put32(b, code);
  put32(b, id);
  put32(b, address);
  put32(b, size);
  b.push_back(uint8_t(region));
  b.push_back(uint8_t(region >> 8));
  b.insert(b.end(), 14, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: memlog_gen_log FILE [EVENTS]\n");
    return 2;
  }
  const uint64_t events = argc > 2 ? strtoull(argv[2], nullptr, 10) : 1000000;
  FILE* f = fopen(argv[1], "wb");
  if (!f) {
    perror(argv[1]);
    return 1;
  }
  std::vector<uint8_t> b;
  const char* names[] = {"C:\\bench\\app.exe", "C:\\bench\\quorkit.dll",
                         "C:\\Windows\\SYSTEM32\\ntdll.dll", "C:\\Windows\\System32\\KERNEL32.DLL",
                         "C:\\Windows\\System32\\ucrtbase.dll"};
  const uint32_t bases[] = {0x00400000, 0x10000000, 0x77000000, 0x76000000, 0x75000000};
  record(b, 1, 0, 0, 0, 0);
  put32(b, 5);
  for (int i = 0; i < 5; ++i) {
    put32(b, bases[i]);
    char name[2048] = {};
    strncpy(name, names[i], sizeof name - 1);
    b.insert(b.end(), name, name + sizeof name);
  }
  b.insert(b.end(), (16 - (5 * 2052) % 16) % 16, 0);

  std::mt19937 rng(12345);
  const int kStacks = 4000;
  std::vector<uint32_t> stacks(size_t(kStacks) * 8);
  for (int s = 0; s < kStacks; ++s) {
    stacks[size_t(s) * 8 + 0] = 0x10001234;  // the logger's own two frames
    stacks[size_t(s) * 8 + 1] = 0x10001890;
    for (int k = 2; k < 7; ++k) stacks[size_t(s) * 8 + k] = 0x00401000 + (rng() % 0x40000);
    stacks[size_t(s) * 8 + 7] = 0x77012345;
  }
  std::vector<uint32_t> live;
  uint32_t next = 0;
  for (uint64_t i = 0; i < events; ++i) {
    const bool release = !live.empty() && rng() % 100 < 45;
    uint32_t code, address, size = 0;
    if (release) {
      const size_t k = rng() % live.size();
      address = live[k];
      live[k] = live.back();
      live.pop_back();
      code = 5;
    } else {
      address = 0x01000000 + 16 * next++;
      size = 8u << (rng() % 10);
      code = 2 + rng() % 3;
      live.push_back(address);
    }
    record(b, code, uint32_t(i), address, size, uint16_t(rng() % 4));
    put32(b, 8);
    const uint32_t* st = &stacks[size_t(rng() % kStacks) * 8];
    for (int k = 0; k < 8; ++k) put32(b, st[k]);
    b.insert(b.end(), 12, 0);  // 4 + 32 bytes rounded up to 48
    if (b.size() >= (1u << 20)) {
      if (fwrite(b.data(), 1, b.size(), f) != b.size()) return 1;
      b.clear();
    }
  }
  if (fwrite(b.data(), 1, b.size(), f) != b.size() || fclose(f) != 0) return 1;
  return 0;
}
