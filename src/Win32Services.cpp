// Windows services of quor::Platform beside the runtime facades: the SSE block copy behind
// memcpy, a file's size by name, sleeping, and a microsecond clock from the performance counter.
#include <windows.h>

#include <quor/Platform.h>

#include "ModuleId.h"

#include <emmintrin.h>
#include <stdint.h>

QUOR_MODULE_ID(kWin32ServicesModuleId, "Win32Services.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

namespace {

// Word and byte moves through types that may alias anything and sit at any address, so the tail
// needs no call (not even the compiler's own memcpy) at any optimisation level.
typedef uint32_t __attribute__((may_alias, aligned(1))) UnalignedWord;
typedef uint8_t __attribute__((may_alias)) Byte;

}  // namespace

// The library is built for any i686; only this function uses SSE2, and it does so without a
// feature check, so the instruction set is enabled for it alone.
//
// The block loop is a copy loop the optimiser could recognise and replace with a call to the
// runtime's memcpy (which is what Platform::memcpy must not be), so the empty asm with a memory
// clobber keeps each block a separate, opaque step. The tail is at most 3 words and 3 bytes and
// is written out without loops for the same reason.
//
// The streaming stores are weakly ordered and no fence follows them: data handed to another
// thread is ordered by the hand-off's own synchronisation.
__attribute__((target("sse2"))) void* Platform::fastMemCopy(void* destination, const void* source,
                                                            unsigned int count) {
  Byte* to = static_cast<Byte*>(destination);
  const Byte* from = static_cast<const Byte*>(source);
  unsigned int blocks = count >> 4;
  unsigned int tail = count & 15;

  if (blocks != 0) {
    if ((reinterpret_cast<uintptr_t>(to) & 15) == 0) {
      // Bypass the caches: a large copy does not evict the caller's working set.
      for (unsigned int i = 0; i < blocks; ++i) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        _mm_stream_si128(reinterpret_cast<__m128i*>(to), block);
        from += 16;
        to += 16;
        __asm__ volatile("" ::: "memory");
      }
    } else {
      for (unsigned int i = 0; i < blocks; ++i) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), block);
        from += 16;
        to += 16;
        __asm__ volatile("" ::: "memory");
      }
    }
  }

  UnalignedWord* toWord = reinterpret_cast<UnalignedWord*>(to);
  const UnalignedWord* fromWord = reinterpret_cast<const UnalignedWord*>(from);
  switch (tail >> 2) {
    case 3: toWord[2] = fromWord[2]; [[fallthrough]];
    case 2: toWord[1] = fromWord[1]; [[fallthrough]];
    case 1: toWord[0] = fromWord[0]; [[fallthrough]];
    default: break;
  }
  to += tail & ~3u;
  from += tail & ~3u;
  switch (tail & 3) {
    case 3: to[2] = from[2]; [[fallthrough]];
    case 2: to[1] = from[1]; [[fallthrough]];
    case 1: to[0] = from[0]; [[fallthrough]];
    default: break;
  }
  return destination;
}

// Opens the file for reading only and shares nothing but reading, so the size comes from a file
// that nobody is changing: while another handle may write to it (even one that shares writing),
// the open is a sharing conflict. A file that cannot be opened reads as 0, like an empty one; a
// failed size query gives the system's 0xFFFFFFFF unchanged.
unsigned int Platform::getFileSize(const char* path) {
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD size = GetFileSize(file, nullptr);
  CloseHandle(file);
  return size;
}

void Platform::sleep(unsigned int milliseconds) { Sleep(milliseconds); }

// Microseconds from the counter's own origin, wrapping every 2^32 (compare readings by unsigned
// subtraction). Integer arithmetic only: no floating-point conversion of the counter.
//
// At one megahertz or more, the counter is divided by whole ticks per unit, so the unit is a
// microsecond exactly when the frequency is a whole number of megahertz and a little shorter
// otherwise (3,579,545 Hz gives 3 ticks per unit).
//
// Below one megahertz there is less than one tick per microsecond and that divisor would be 0.
// There the result is the counter converted to whole microseconds instead, from its whole
// seconds and the remainder separately so that no product can overflow; it steps by more than
// one at a time. Without a counter (frequency 0, or a failed query) the result is 0.
unsigned int Platform::getTimeHighPrec() {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  counter.QuadPart = 0;
  frequency.QuadPart = 0;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);

  const long long kMicrosecondsPerSecond = 1000000;
  long long ticksPerUnit = frequency.QuadPart / kMicrosecondsPerSecond;
  if (ticksPerUnit > 0) return static_cast<unsigned int>(counter.QuadPart / ticksPerUnit);
  if (frequency.QuadPart <= 0) return 0;
  long long seconds = counter.QuadPart / frequency.QuadPart;
  long long remainder = counter.QuadPart % frequency.QuadPart;
  return static_cast<unsigned int>(seconds * kMicrosecondsPerSecond +
                                   remainder * kMicrosecondsPerSecond / frequency.QuadPart);
}

}  // namespace quor
