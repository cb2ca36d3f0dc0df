// Functions with known names for the dbghelp.dll tests, compiled without frame pointers.
#ifndef QUORKIT_TESTS_PAL_DBGHELP_FRAMES_H
#define QUORKIT_TESTS_PAL_DBGHELP_FRAMES_H

namespace walk {

typedef int (*WalkFn)(void* data);

// level1 calls level2 calls level3 calls walker(data).
int level1(WalkFn walker, void* data);
int level2(WalkFn walker, void* data);

template <typename T>
struct Holder {
  T twice(T value) const;
};

struct Functor {
  int operator()(int value) const;
};

// The address its call returns to.
void* returnAddress();

// Return addresses inside Holder<int>::twice, Functor::operator() and scaled<int>.
extern void* g_insideTwice;
extern void* g_insideFunctor;
extern void* g_insideScaled;

template <typename T>
T scaled(T value);
extern template int scaled<int>(int);

}  // namespace walk

#endif
