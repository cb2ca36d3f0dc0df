// The interactive report: one self-contained HTML file with the summary, a chart of live bytes
// over the run, the leak table with each leak's stack, the regions, and flame graphs of live
// memory at the end and at the peak. The data goes in as one inline JSON block that the inline
// script draws; nothing is fetched.
#ifndef QUORKIT_MEMLOG_HTML_REPORT_H
#define QUORKIT_MEMLOG_HTML_REPORT_H

#include <memory>
#include <string>

#include "analysis.h"
#include "commands.h"
#include "report.h"
#include "symbols.h"
#include "timeline.h"

namespace memlog {

void renderHtmlReport(Out& out, const Analysis& a, const Symbolizer& sym, const Timeline& timeline,
                      const std::string& logName);

// The report command's row: the timeline watches the read, then the page is written.
std::unique_ptr<LogVisitor> observeTimeline(const Analysis& a);
void runReport(Out& out, const Job& job);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_HTML_REPORT_H
