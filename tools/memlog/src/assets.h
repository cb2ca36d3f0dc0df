// The script and style of the HTML report and the script of the flame SVG, compiled in from
// tools/memlog/src/assets so that the files the tool writes need nothing from the network.
#ifndef QUORKIT_MEMLOG_ASSETS_H
#define QUORKIT_MEMLOG_ASSETS_H

namespace memlog {

extern const char kReportScript[];
extern const char kReportStyle[];
extern const char kFlameScript[];

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_ASSETS_H
