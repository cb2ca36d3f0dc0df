// fastMemCopy against the C runtime's memcpy, side by side in one run: sizes from 0 bytes to
// 16 MiB, each with a 16-byte aligned destination (streaming stores) and a misaligned one
// (unaligned stores). The two copies alternate sample by sample on the same buffers, and each
// keeps its best sample, so both see the same machine state.
#include <quor/Platform.h>

#include "bench_util.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

typedef void* (*CopyFn)(void*, const void*, unsigned int);

void* runtimeMemcpy(void* destination, const void* source, unsigned int count) {
  return memcpy(destination, source, count);
}

// Called through volatile pointers so that neither copy is inlined or specialised for the size.
CopyFn volatile g_fast = &quor::Platform::fastMemCopy;
CopyFn volatile g_runtime = &runtimeMemcpy;

// Seconds per copy, averaged over one batch of `repeats` copies.
double secondsPerCopy(CopyFn copy, unsigned char* destination, const unsigned char* source,
                      unsigned int size, unsigned int repeats) {
  double start = bench::nowSeconds();
  for (unsigned int i = 0; i < repeats; ++i) {
    copy(destination, source, size);
    bench::keep(destination[0]);
  }
  return (bench::nowSeconds() - start) / repeats;
}

void formatSize(char* text, size_t capacity, unsigned int size) {
  if (size >= (1u << 20) && size % (1u << 20) == 0) {
    snprintf(text, capacity, "%u MiB", size >> 20);
  } else if (size >= 1024 && size % 1024 == 0) {
    snprintf(text, capacity, "%u KiB", size >> 10);
  } else {
    snprintf(text, capacity, "%u B", size);
  }
}

}  // namespace

int main() {
  const unsigned int sizes[] = {0, 15, 16, 37, 64, 256, 4096, 65536, 1u << 20, 16u << 20};
  const unsigned int largest = 16u << 20;
  // 64 bytes of slack: room for the misaligned destination and for aligning both buffers.
  unsigned char* sourceBlock = static_cast<unsigned char*>(malloc(largest + 64));
  unsigned char* destinationBlock = static_cast<unsigned char*>(malloc(largest + 64));
  if (sourceBlock == nullptr || destinationBlock == nullptr) {
    fprintf(stderr, "bench_memcopy: out of memory\n");
    return 1;
  }
  unsigned char* source = sourceBlock + (16 - reinterpret_cast<uintptr_t>(sourceBlock) % 16);
  unsigned char* aligned =
      destinationBlock + (16 - reinterpret_cast<uintptr_t>(destinationBlock) % 16);
  for (unsigned int i = 0; i < largest + 32; ++i)
    source[i] = static_cast<unsigned char>(i * 13 + 7);
  memset(destinationBlock, 0, largest + 64);

  printf("fastMemCopy vs C runtime memcpy: best of 7 alternating samples per copy\n");
  printf("ratio = memcpy time / fastMemCopy time (above 1: fastMemCopy is faster)\n");
  bench::printRunNote();
  printf("\n%-8s %-11s %14s %14s %8s\n", "size", "destination", "fastMemCopy", "memcpy", "ratio");
  printf("%-8s %-11s %14s %14s %8s\n", "", "", "ns/copy", "ns/copy", "");

  for (unsigned int size : sizes) {
    for (int misaligned = 0; misaligned <= 1; ++misaligned) {
      unsigned char* destination = aligned + misaligned;
      // About 64 MiB of copying per sample (a copy of under 64 bytes counts as 64: the call
      // dominates).
      unsigned int bytesPerCopy = size < 64 ? 64 : size;
      unsigned int repeats = static_cast<unsigned int>((64u << 20) / bytesPerCopy);
      if (repeats < 3) repeats = 3;
      double fast = 1e30;
      double runtime = 1e30;
      for (int sample = 0; sample < 7; ++sample) {
        double f = secondsPerCopy(g_fast, destination, source, size, repeats);
        double r = secondsPerCopy(g_runtime, destination, source, size, repeats);
        if (f < fast) fast = f;
        if (r < runtime) runtime = r;
      }
      if (memcmp(destination, source, size) != 0) {
        fprintf(stderr, "bench_memcopy: copy of %u bytes differs\n", size);
        return 1;
      }
      char label[16];
      formatSize(label, sizeof label, size);
      printf("%-8s %-11s %14.1f %14.1f %8.2f\n", label, misaligned ? "16n+1" : "aligned",
             fast * 1e9, runtime * 1e9, runtime / fast);
    }
  }
  free(sourceBlock);
  free(destinationBlock);
  return 0;
}
