// Symbols and source lines through GCC's libbacktrace (ELF symbol tables and DWARF line
// tables), and undecoration of C++ names into the form debug-help gives: the qualified name,
// without return type, parameter list or qualifiers.
//
// libbacktrace cannot free its state, and a state knows the modules that were loaded when it
// first read them. A new state is therefore made only when SymInitialize finds the set of loaded
// modules changed since the last one, so that repeated start-ups in one process cost nothing and
// a module loaded in between is still found.
#include <pal/scoped_lock.h>

#include "dbghelp_internal.h"

#include <backtrace.h>
#include <cxxabi.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>

namespace dbghelp {
namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
backtrace_state* g_state = nullptr;
unsigned long long g_stateGeneration = ~0ull;

// Demangling output, reused (grown by __cxa_demangle's realloc) under g_lock.
char* g_demangled = nullptr;
size_t g_demangledSize = 0;

void ignoreError(void*, const char*, int) {}

int generationCallback(struct dl_phdr_info* info, size_t size, void* data) {
  // dlpi_adds/dlpi_subs count every load and unload of the process.
  if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
    *static_cast<unsigned long long*>(data) = info->dlpi_adds * 1000003ull + info->dlpi_subs;
  }
  return 1;
}

unsigned long long moduleGeneration() {
  unsigned long long generation = 0;
  dl_iterate_phdr(generationCallback, &generation);
  return generation;
}

// Caller holds g_lock.
backtrace_state* state() {
  if (g_state == nullptr) {
    g_state = backtrace_create_state(nullptr, 1, ignoreError, nullptr);
    g_stateGeneration = moduleGeneration();
  }
  return g_state;
}

struct SymbolAnswer {
  const char* name;
  uintptr_t start;
  uintptr_t size;
};

void symbolCallback(void* data, uintptr_t, const char* name, uintptr_t start, uintptr_t size) {
  SymbolAnswer* answer = static_cast<SymbolAnswer*>(data);
  answer->name = name;
  answer->start = start;
  answer->size = size;
}

struct LineAnswer {
  const char* file;
  int line;
  bool found;
};

int lineCallback(void* data, uintptr_t, const char* file, int line, const char*) {
  LineAnswer* answer = static_cast<LineAnswer*>(data);
  // The innermost (inlined) location comes first: that is the line of the address.
  if (line > 0) {
    answer->file = file;
    answer->line = line;
    answer->found = true;
  }
  return 1;
}

LineAnswer lineAt(backtrace_state* s, uintptr_t pc) {
  LineAnswer answer = {nullptr, 0, false};
  backtrace_pcinfo(s, pc, lineCallback, ignoreError, &answer);
  return answer;
}

void copyText(char* out, size_t outSize, const char* in, size_t length) {
  if (outSize == 0) return;
  if (length >= outSize) length = outSize - 1;
  memcpy(out, in, length);
  out[length] = '\0';
}

bool startsWordAt(const char* text, size_t at, const char* word) {
  size_t length = strlen(word);
  if (strncmp(text + at, word, length) != 0) return false;
  if (at > 0) {
    char before = text[at - 1];
    if (before == '_' || (before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z') ||
        (before >= '0' && before <= '9')) {
      return false;
    }
  }
  return true;
}

bool endsWith(const char* text, size_t length, const char* suffix) {
  size_t suffixLength = strlen(suffix);
  return length >= suffixLength && memcmp(text + length - suffixLength, suffix, suffixLength) == 0;
}

// GCC's clones ("[clone .cold]", "[clone .constprop.0]") are parts of one function: the length
// without them.
size_t withoutClones(const char* demangled, size_t length) {
  while (length > 0 && demangled[length - 1] == ']') {
    const char* clone = nullptr;
    for (size_t i = 0; i + 8 <= length; ++i) {
      if (strncmp(demangled + i, " [clone ", 8) == 0) clone = demangled + i;
    }
    if (clone == nullptr) break;
    length = static_cast<size_t>(clone - demangled);
  }
  return length;
}

// The length without the qualifiers after the parameter list.
size_t withoutQualifiers(const char* demangled, size_t length) {
  static const char* const qualifiers[] = {" const", " volatile", " &&",
                                           " &",     " noexcept", " transaction_safe"};
  for (bool again = true; again;) {
    again = false;
    for (const char* qualifier : qualifiers) {
      if (endsWith(demangled, length, qualifier)) {
        length -= strlen(qualifier);
        again = true;
      }
    }
  }
  return length;
}

// The length without the parameter list: up to the parenthesis that matches the last one.
size_t withoutParameters(const char* demangled, size_t length) {
  if (length == 0 || demangled[length - 1] != ')') return length;
  int depth = 0;
  for (size_t i = length; i-- > 0;) {
    if (demangled[i] == ')') ++depth;
    if (demangled[i] == '(' && --depth == 0) return i;
  }
  return length;
}

// Where the name starts after the return type (template functions only): after the last space
// outside brackets. An operator's own name (operator<, operator new) is not searched for brackets.
size_t nameStartOf(const char* demangled, size_t length) {
  size_t searchEnd = length;
  for (size_t i = 0; i + 8 <= length; ++i) {
    if (startsWordAt(demangled, i, "operator")) searchEnd = i;
  }
  size_t nameStart = 0;
  int depth = 0;
  for (size_t i = 0; i < searchEnd; ++i) {
    char c = demangled[i];
    if (c == '<' || c == '(' || c == '[' || c == '{') ++depth;
    if ((c == '>' || c == ')' || c == ']' || c == '}') && depth > 0) --depth;
    if (c == ' ' && depth == 0) nameStart = i + 1;
  }
  return nameStart;
}

}  // namespace

void stripToQualifiedName(const char* demangled, char* out, size_t outSize) {
  size_t length = withoutClones(demangled, strlen(demangled));
  length = withoutParameters(demangled, withoutQualifiers(demangled, length));
  size_t nameStart = nameStartOf(demangled, length);
  copyText(out, outSize, demangled + nameStart, length - nameStart);
}

void refreshSymbolTables() {
  pal::ScopedLock lock(g_lock);
  if (g_state == nullptr || g_stateGeneration != moduleGeneration()) {
    g_state = nullptr;  // the old state stays allocated: libbacktrace cannot release one
    state();
  }
}

bool symbolize(uintptr_t pc, char* name, size_t nameSize, uintptr_t* start, uintptr_t* size,
               bool undecorate) {
  pal::ScopedLock lock(g_lock);
  backtrace_state* s = state();
  if (s == nullptr) return false;
  SymbolAnswer answer = {nullptr, 0, 0};
  backtrace_syminfo(s, pc, symbolCallback, ignoreError, &answer);
  if (answer.name == nullptr) return false;
  *start = answer.start;
  *size = answer.size;
  if (undecorate && answer.name[0] == '_' && answer.name[1] == 'Z') {
    int status = -1;
    size_t capacity = g_demangledSize;
    char* text = abi::__cxa_demangle(answer.name, g_demangled, &capacity, &status);
    if (status == 0 && text != nullptr) {
      g_demangled = text;
      g_demangledSize = capacity;
      stripToQualifiedName(text, name, nameSize);
      return true;
    }
  }
  copyText(name, nameSize, answer.name, strlen(answer.name));
  return true;
}

bool lineOf(uintptr_t pc, const char** file, int* line, uintptr_t* lineStart) {
  pal::ScopedLock lock(g_lock);
  backtrace_state* s = state();
  if (s == nullptr) return false;
  LineAnswer answer = lineAt(s, pc);
  if (!answer.found) return false;
  *file = answer.file;
  *line = answer.line;
  // Where this line's code begins: step back while the line stays the same (bounded; the
  // displacement is a courtesy, the line is what callers print).
  uintptr_t begin = pc;
  for (int step = 0; step < 256 && begin > 0; ++step) {
    LineAnswer before = lineAt(s, begin - 1);
    if (!before.found || before.line != answer.line) break;
    if ((before.file == nullptr) != (answer.file == nullptr)) break;
    if (before.file != nullptr && before.file != answer.file &&
        strcmp(before.file, answer.file) != 0)
      break;
    --begin;
  }
  *lineStart = begin;
  return true;
}

}  // namespace dbghelp
