// Which frames of a logged stack a reader sees, and which stacks count as one. Every stack the
// log holds begins inside the logger (the capture, the log writer, the tracker, the Platform
// memory member the program called); hiding those puts the program's own call first, and
// grouping by what is shown merges stacks that differ only there. With symbols, frames are
// recognised by function and stacks grouped by function, so that runs of different builds
// compare; without, the library module is hidden as a whole and frames keep their addresses.
#ifndef QUORKIT_MEMLOG_FRAME_FILTER_H
#define QUORKIT_MEMLOG_FRAME_FILTER_H

#include <cstdint>
#include <string>
#include <vector>

#include "log_reader.h"

namespace memlog {

class Symbolizer;

class FrameFilter {
 public:
  FrameFilter() = default;
  // symbols: null, or a symboliser that has resolved the log's frames.
  FrameFilter(bool keepLoggerFrames, const Symbolizer* symbols)
      : keepLoggerFrames_(keepLoggerFrames), symbols_(symbols) {}

  void setModules(const std::vector<ModuleInfo>& modules);

  // Index of the first frame shown. A stack made only of logger frames is shown whole: it is the
  // library's own allocation, and an empty stack would tell nothing.
  uint32_t firstShown(const uint32_t* frames, uint32_t count) const;
  bool groupsByFunction() const { return symbols_ != nullptr; }
  // Equal for two frames of one function (with symbols), else the address itself.
  uint32_t groupKey(uint32_t address) const;

  // True for the library's module file names: libquorkit.so, libquorkit.so.1..., quorkit.dll.
  static bool isLibraryModule(const std::string& path);
  // True for the functions of the logging path, as addr2line -C names them.
  static bool isLoggerFunction(const std::string& function);

 private:
  bool isLoggerFrame(uint32_t address) const;

  bool keepLoggerFrames_ = false;
  const Symbolizer* symbols_ = nullptr;
  std::vector<std::pair<uint32_t, bool>> moduleStarts_;  // base, is the library; by base
};

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_FRAME_FILTER_H
