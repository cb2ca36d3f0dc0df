// The text, LeakSanitizer and folded-stack renderings of an analysed log.
#ifndef QUORKIT_MEMLOG_REPORT_H
#define QUORKIT_MEMLOG_REPORT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "analysis.h"
#include "symbols.h"

namespace memlog {

// Buffered writer; a null FILE discards (used by the fuzz targets).
class Out {
 public:
  explicit Out(FILE* f) : file_(f) {}
  ~Out() { flush(); }
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;
  void print(const char* fmt, ...) __attribute__((format(MEMLOG_PRINTF_FORMAT, 2, 3)));
  void write(const std::string& s);
  void flush();
  bool failed() const { return failed_; }

 private:
  FILE* file_;
  std::string buf_;
  bool failed_ = false;
};

enum class LeakFormat { Text, Lsan };
enum class TopBy { Calls, Bytes, Peak };
enum class FoldedWeight { Bytes, Count, Live };

struct ReadSummary {
  std::string name;
  uint64_t bytes = 0;
  bool truncated = false;
};

// Blocks live at the end grouped by their shown stack, largest first.
struct LeakGroup {
  uint32_t stack;  // into Analysis::stacks
  uint64_t blocks = 0;
  uint64_t bytes = 0;
  LiveBlock first;  // the earliest allocated (set once blocks > 0)
};
std::vector<LeakGroup> leakGroups(const Analysis& a);

void renderSummary(Out& out, const Analysis& a, const ReadSummary& input);
// Returns the number of leaked blocks.
uint64_t renderLeaks(Out& out, const Analysis& a, const Symbolizer& sym, uint64_t top,
                     LeakFormat format);
void renderTop(Out& out, const Analysis& a, const Symbolizer& sym, TopBy by, uint64_t n);
void renderFolded(Out& out, const Analysis& a, const Symbolizer& sym, FoldedWeight weight);
void renderHistogram(Out& out, const Analysis& a);
void renderFind(Out& out, const Analysis& a, const Symbolizer& sym, uint32_t address);
void renderDiff(Out& out, const Analysis& a, const Symbolizer& symA, const std::string& nameA,
                const Analysis& b, const Symbolizer& symB, const std::string& nameB);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_REPORT_H
