// QUOR_API marks what quorkit exports: dllexport while building the DLL, dllimport for its
// clients, and default visibility on Linux where everything else is hidden. Programs linked to
// the static core (tests, benchmarks, the tour) define QUORKIT_STATIC and import nothing.
#ifndef QUORKIT_EXPORT_H
#define QUORKIT_EXPORT_H

#if defined(_WIN32)
#if defined(QUORKIT_STATIC)
#define QUOR_API
#elif defined(QUORKIT_BUILDING)
#define QUOR_API __declspec(dllexport)
#else
#define QUOR_API __declspec(dllimport)
#endif
#else
#define QUOR_API __attribute__((visibility("default")))
#endif

#endif
