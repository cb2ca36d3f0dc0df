// Identification text carried by each platform module: library, revision line, build stamp,
// platform and compiler. Kept in the binary for people reading it (strings, a debugger); no code
// reads it.
#ifndef QUORKIT_MODULE_ID_H
#define QUORKIT_MODULE_ID_H

#define QUOR_STRINGIFY_(x) #x
#define QUOR_STRINGIFY(x) QUOR_STRINGIFY_(x)

// NOLINTBEGIN(bugprone-macro-parentheses): name is the declared identifier, file and revision
// literals joined to the text; none of them can stand in parentheses.
#define QUOR_MODULE_ID(name, file, revision)                        \
  [[maybe_unused]] __attribute__((used)) static const char name[] = \
      "quorkit $Id: " file " " revision " $ built " __DATE__ " " __TIME__ " i686 gcc " __VERSION__
// NOLINTEND(bugprone-macro-parentheses)

#endif
