// The flame graph of live memory, as a self-contained SVG.
#ifndef QUORKIT_MEMLOG_FLAME_H
#define QUORKIT_MEMLOG_FLAME_H

#include <string>

#include "analysis.h"
#include "report.h"
#include "symbols.h"

namespace memlog {

void renderFlame(Out& out, const Analysis& a, const Symbolizer& sym, bool atPeak,
                 const std::string& title);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_FLAME_H
