// A small document indexer that forgets three blocks. Built against the leak-tracking library, it
// logs every allocation and release with its stack, and at terminate the library writes
// "<this program>.memleak.TXT" naming exactly the three blocks still allocated, each with the
// stack that allocated it. The README's "A leak hunt" follows the hunt from here.
#include <quor/Platform.h>

#include <stdio.h>
#include <string.h>

using quor::Platform;

namespace {

// Debug regions: which phase of the work a block belongs to.
enum Region : unsigned short { REGION_LOAD = 1, REGION_PARSE = 2, REGION_INDEX = 3 };

// Objects allocated through the library's operators (the class's new and delete).
struct Token : Platform {
  char text[24];
  Token* next;
};

struct Document {
  char* bytes;
  unsigned int length;
  Token* tokens;
};

const char kText[] = "the quick brown fox jumps over the lazy dog and the quick cat";

__attribute__((noinline)) char* readFile(unsigned int* length) {
  *length = sizeof kText - 1;
  char* bytes = static_cast<char*>(Platform::malloc(*length + 1));
  if (bytes != nullptr) memcpy(bytes, kText, *length + 1);
  return bytes;
}

__attribute__((noinline)) Token* makeToken(const char* start, unsigned int length) {
  Token* token = new Token;
  if (token == nullptr) return nullptr;
  if (length >= sizeof token->text) length = sizeof token->text - 1;
  memcpy(token->text, start, length);
  token->text[length] = '\0';
  token->next = nullptr;
  return token;
}

__attribute__((noinline)) void tokenize(Document& document) {
  Token** tail = &document.tokens;
  const char* at = document.bytes;
  while (*at != '\0') {
    const char* end = at;
    while (*end != '\0' && *end != ' ') ++end;
    *tail = makeToken(at, static_cast<unsigned int>(end - at));
    if (*tail != nullptr) tail = &(*tail)->next;
    at = *end == ' ' ? end + 1 : end;
  }
}

// Leak 1: the scratch copy of the last word is kept "for later" and never released.
__attribute__((noinline)) char* rememberLastWord(const Token* tokens) {
  const Token* last = tokens;
  while (last != nullptr && last->next != nullptr) last = last->next;
  char* copy = static_cast<char*>(Platform::malloc(16));
  if (copy == nullptr) return nullptr;
  unsigned int length = 0;
  while (last != nullptr && length < 15 && last->text[length] != '\0') {
    copy[length] = last->text[length];
    ++length;
  }
  copy[length] = '\0';
  return copy;
}

__attribute__((noinline)) void releaseTokens(Token* tokens, const Token* keep) {
  while (tokens != nullptr) {
    Token* next = tokens->next;
    // Leak 2: one token is unlinked "to be reused" and nobody reuses it.
    if (tokens != keep) delete tokens;
    tokens = next;
  }
}

// The index: word starts in a growing array, and a bucket table on a cache line.
struct Index {
  unsigned int* offsets;
  unsigned int count;
  unsigned int* buckets;
};

__attribute__((noinline)) bool addOffset(Index& index, unsigned int offset) {
  // Grows one entry at a time, so the log shows a chain of reallocations.
  void* grown = Platform::realloc(index.offsets, (index.count + 1) * sizeof(unsigned int));
  if (grown == nullptr) return false;
  index.offsets = static_cast<unsigned int*>(grown);
  index.offsets[index.count++] = offset;
  return true;
}

__attribute__((noinline)) unsigned int* makeBuckets(unsigned int count) {
  unsigned int* buckets =
      static_cast<unsigned int*>(Platform::memalign(64, count * sizeof(unsigned int)));
  if (buckets != nullptr) memset(buckets, 0, count * sizeof(unsigned int));
  return buckets;
}

__attribute__((noinline)) void buildIndex(const Document& document, Index& index) {
  for (unsigned int i = 0; i < document.length; ++i) {
    if (i == 0 || document.bytes[i - 1] == ' ') addOffset(index, i);
  }
  index.buckets = makeBuckets(32);
  // A second table for a rebuild; leak 3: the first one is dropped without a release.
  index.buckets = makeBuckets(64);
}

__attribute__((noinline)) void releaseIndex(Index& index) {
  Platform::free(index.offsets);
  Platform::free(index.buckets);
}

}  // namespace

int main() {
  Platform::initialize(nullptr);

  Document document = {nullptr, 0, nullptr};
  Platform::pushDebugRegion(REGION_LOAD);
  document.bytes = readFile(&document.length);
  Platform::popDebugRegion();
  if (document.bytes == nullptr) return 1;

  Platform::pushDebugRegion(REGION_PARSE);
  tokenize(document);
  char* lastWord = rememberLastWord(document.tokens);
  const Token* reused = document.tokens != nullptr ? document.tokens->next : nullptr;
  Platform::popDebugRegion();

  Platform::pushDebugRegion(REGION_INDEX);
  Index index = {nullptr, 0, nullptr};
  buildIndex(document, index);
  Platform::popDebugRegion();

  printf("indexed %u words; the last one is \"%s\"\n", index.count,
         lastWord != nullptr ? lastWord : "");
  releaseIndex(index);
  releaseTokens(document.tokens, reused);
  Platform::free(document.bytes);

  printf("allocations %u, releases %u, reallocations %u; still allocated: %u blocks, %u bytes\n",
         Platform::getTotalAllocCount(), Platform::getTotalFreeCount(),
         Platform::getTotalReallocCount(), Platform::getAllocCount(), Platform::getAllocSize());
  // The leak report is written here, one entry per block still allocated.
  Platform::terminate();
  return 0;
}
