// Compiled with -O2 -fomit-frame-pointer: the walk must get through these by their unwind
// tables. level2 even puts a garbage value in ebp while it calls level3, so that no frame-pointer
// chain exists at all at the point of capture.
#include "dbghelp_frames.h"

namespace walk {

__attribute__((noinline)) int level3(WalkFn walker, void* data) {
  int frames = walker(data);
  __asm__ __volatile__("" ::: "memory");
  return frames + 1;
}

__attribute__((noinline)) int level2(WalkFn walker, void* data) {
  // ebp is callee-saved: saved (as the unwind table says) and restored, garbage in between.
  __asm__ __volatile__("movl $0x13572468, %%ebp" ::: "ebp");
  int result = level3(walker, data);
  __asm__ __volatile__("" ::: "memory");
  return result + 1;
}

__attribute__((noinline)) int level1(WalkFn walker, void* data) {
  int result = level2(walker, data);
  __asm__ __volatile__("" ::: "memory");
  return result + 1;
}

void* g_insideTwice = nullptr;
void* g_insideFunctor = nullptr;
void* g_insideScaled = nullptr;

// A function template's mangled name carries its return type: "int walk::scaled<int>(int)".
template <typename T>
__attribute__((noinline)) T scaled(T value) {
  g_insideScaled = returnAddress();
  return value * 5;
}
template int scaled<int>(int);

template <typename T>
__attribute__((noinline)) T Holder<T>::twice(T value) const {
  g_insideTwice = returnAddress();
  return value + value;
}
template struct Holder<int>;

__attribute__((noinline)) int Functor::operator()(int value) const {
  g_insideFunctor = returnAddress();
  return value * 3 + (value >> 1);
}

__attribute__((noinline)) void* returnAddress() { return __builtin_return_address(0); }

}  // namespace walk
