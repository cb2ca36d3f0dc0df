// Turns frame addresses into text. Without symbols a frame is "module + 0xOFFSET",
// the module being the one with the greatest logged base at or below the address.
// With --symbolize the module files are found (logged path or a search directory)
// and binutils fills in functions and lines: one addr2line run per module for all of
// that module's addresses, plus one nm run for function starts.
#ifndef QUORKIT_MEMLOG_SYMBOLS_H
#define QUORKIT_MEMLOG_SYMBOLS_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "log_reader.h"

namespace memlog {

struct SymbolOptions {
  std::vector<std::string> searchDirs;  // tried before the logged path
  int64_t logTime = 0;                  // the log's modification time (seconds), 0 if unknown
  std::string elfAddr2line = "addr2line";
  std::string peAddr2line = peTool("addr2line");
  std::string elfNm = "nm";
  std::string peNm = peTool("nm");
  static std::string peTool(const char* name);
};

class Symbolizer {
 public:
  explicit Symbolizer(const std::vector<ModuleInfo>& modules);

  // Resolves functions and lines for the given addresses. Problems (module file not found or
  // changed since the log, tool failed) are appended to notes, one line each, each line starting
  // with "note: " or "warning: ".
  void resolve(const std::vector<uint32_t>& addresses, const SymbolOptions& options,
               std::string& notes);

  // "module!function + 0x1c", "module + 0x1234" or "0x00401234".
  std::string frameText(uint32_t address) const {
    std::string s;
    appendFrameText(s, address);
    return s;
  }
  // Grouping name for flame graphs and diffs: "module!function" when known, else as
  // frameText (offsets within a function would split one function into many boxes).
  std::string frameKey(uint32_t address) const {
    std::string s;
    appendFrameKey(s, address);
    return s;
  }
  // The same appended to a line being built: the views print a frame per line of a stack, tens
  // of thousands on a big log, so no string of its own each.
  void appendFrameText(std::string& line, uint32_t address) const;
  void appendFrameKey(std::string& line, uint32_t address) const;
  // The function as addr2line names it, or "".
  std::string functionName(uint32_t address) const;
  // One address standing for every address of the same module!function (the lowest of them),
  // or the address itself when its function is unknown.
  uint32_t functionKey(uint32_t address) const;
  // "file(line)" or "".
  std::string fileLine(uint32_t address) const;
  // LeakSanitizer's frame body after "#N ".
  std::string lsanFrame(uint32_t address) const;

  // Index into the sorted module list, -1 when the address lies below every base.
  int moduleOf(uint32_t address) const;
  static std::string baseName(const std::string& path);

 private:
  struct Module {
    uint32_t base;
    std::string path;       // as logged, to open
    std::string name;       // base name, printable
    std::string shownPath;  // printable
  };
  struct Resolved {
    std::string function;
    std::string file;
    uint32_t line = 0;
    bool hasStart = false;
    uint32_t functionOffset = 0;
    uint32_t functionKey = 0;
  };
  const Resolved* lookup(uint32_t address) const;
  static Resolved parseAddr2line(const std::string& function, std::string location);
  std::string findModuleFile(const Module& module, const SymbolOptions& options,
                             std::string& notes) const;
  void assignFunctionKeys();
  void resolveModule(int module, const std::vector<uint32_t>& addresses,
                     const SymbolOptions& options, std::string& notes);

  std::vector<Module> modules_;
  std::unordered_map<uint32_t, Resolved> resolved_;
};

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_SYMBOLS_H
