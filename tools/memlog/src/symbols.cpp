// Offline symbolisation through binutils; see symbols.h.
#include "symbols.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "host.h"

namespace memlog {

namespace {

enum class ImageKind { Unknown, ElfExecutable, ElfShared, Pe };

struct Image {
  ImageKind kind = ImageKind::Unknown;
  uint64_t linkBase = 0;  // address the module's first byte has in the file's own view
};

bool readAt(FILE* f, uint64_t offset, void* dst, size_t n) {
  return fseek(f, long(offset), SEEK_SET) == 0 && fread(dst, 1, n, f) == n;
}

uint64_t le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// The lowest loaded address of an ELF file (its program headers' PT_LOAD entries) and whether it
// is an executable or a shared object.
void inspectElf(FILE* f, const uint8_t (&h)[64], Image& img) {
  const bool is64 = h[4] == 2;
  const uint16_t type = uint16_t(le(h + 16, 2));
  const uint64_t phoff = is64 ? le(h + 32, 8) : le(h + 28, 4);
  const uint16_t phentsize = uint16_t(le(h + (is64 ? 54 : 42), 2));
  const uint16_t phnum = uint16_t(le(h + (is64 ? 56 : 44), 2));
  const uint32_t entrySize = is64 ? 56 : 32;
  uint64_t lowest = UINT64_MAX;
  for (uint16_t i = 0; i < phnum && phentsize >= entrySize; ++i) {
    uint8_t ph[56];
    if (!readAt(f, phoff + uint64_t(i) * phentsize, ph, entrySize)) break;
    if (le(ph, 4) != 1) continue;  // PT_LOAD
    lowest = std::min(lowest, is64 ? le(ph + 16, 8) : le(ph + 8, 4));
  }
  if (lowest == UINT64_MAX) lowest = 0;
  img.linkBase = lowest & ~uint64_t(0xfff);
  img.kind = type == 2 ? ImageKind::ElfExecutable : ImageKind::ElfShared;
}

// The preferred image base of a PE file (PE32 or PE32+).
void inspectPe(FILE* f, const uint8_t (&h)[64], Image& img) {
  const uint32_t peOff = uint32_t(le(h + 0x3c, 4));
  uint8_t pe[24 + 32] = {};
  if (!readAt(f, peOff, pe, sizeof pe) || memcmp(pe, "PE\0\0", 4) != 0) return;
  const uint16_t magic = uint16_t(le(pe + 24, 2));
  if (magic == 0x10b) {
    img.linkBase = le(pe + 24 + 28, 4);
    img.kind = ImageKind::Pe;
  } else if (magic == 0x20b) {
    img.linkBase = le(pe + 24 + 24, 8);
    img.kind = ImageKind::Pe;
  }
}

// Reads just enough of an ELF or PE header to map a logged address into the
// addresses that the file's debug information uses.
Image inspectImage(const std::string& path) {
  Image img;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return img;
  uint8_t h[64] = {};
  if (readAt(f, 0, h, sizeof h)) {
    if (h[0] == 0x7f && h[1] == 'E' && h[2] == 'L' && h[3] == 'F' && h[5] == 1) {
      inspectElf(f, h, img);
    } else if (h[0] == 'M' && h[1] == 'Z') {
      inspectPe(f, h, img);
    }
  }
  fclose(f);
  return img;
}

bool fileExists(const std::string& path) { return host::isReadableFile(path); }

std::vector<std::string> readLines(const char* path) {
  std::vector<std::string> lines;
  FILE* f = fopen(path, "r");
  if (!f) return lines;
  std::string line;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(char(c));
    }
  }
  if (!line.empty()) lines.push_back(line);
  fclose(f);
  return lines;
}

// A temporary file removed when it goes out of scope.
class TempFile {
 public:
  TempFile() : path_(host::makeTemporaryFile()) {}
  ~TempFile() {
    if (ok()) host::removeFile(path_);
  }
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs one binutils program; false after noting why when it gave nothing to read.
bool runBinutils(const std::vector<std::string>& argv, const std::string& in,
                 const std::string& out, std::string& notes) {
  switch (host::runTool(argv, in, out)) {
    case host::ToolRun::Ok: return true;
    case host::ToolRun::Failed:
      notes += "note: " + argv[0] + " failed on " + argv.back() + "\n";
      break;
    case host::ToolRun::NotStarted:
      notes += "note: cannot run " + argv[0] +
               " (binutils for this module's format): no functions or lines for " + argv.back() +
               "\n";
      break;
  }
  return false;
}

}  // namespace

std::string SymbolOptions::peTool(const char* name) {
  return host::kPeToolPrefix + std::string(name);
}

Symbolizer::Symbolizer(const std::vector<ModuleInfo>& modules) {
  // Names come from the file: keep control characters away from terminals.
  auto printable = [](std::string text) {
    for (char& c : text)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text;
  };
  for (const ModuleInfo& m : modules)
    modules_.push_back({m.base, m.name, printable(baseName(m.name)), printable(m.name)});
  std::stable_sort(modules_.begin(), modules_.end(),
                   [](const Module& a, const Module& b) { return a.base < b.base; });
  for (size_t i = 0; i < modules_.size(); ++i)
    if (modules_[i].name.empty()) modules_[i].name = "module" + std::to_string(i);
}

std::string Symbolizer::baseName(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

int Symbolizer::moduleOf(uint32_t address) const {
  auto it = std::upper_bound(modules_.begin(), modules_.end(), address,
                             [](uint32_t a, const Module& m) { return a < m.base; });
  if (it == modules_.begin()) return -1;
  --it;
  // Of several modules logged at one base, the first listed wins.
  while (it != modules_.begin() && (it - 1)->base == it->base) --it;
  return int(it - modules_.begin());
}

const Symbolizer::Resolved* Symbolizer::lookup(uint32_t address) const {
  auto it = resolved_.find(address);
  return it == resolved_.end() ? nullptr : &it->second;
}

namespace {

// Lower-case hexadecimal of at least `digits` digits, as printf's %0*x: without printf, because
// the views print a frame per line of a stack.
void appendHex(std::string& s, uint32_t v, int digits) {
  char text[8];
  int n = 0;
  do {
    text[n++] = "0123456789abcdef"[v & 15];
    v >>= 4;
  } while (v || n < digits);
  while (n) s += text[--n];
}

}  // namespace

void Symbolizer::appendFrameText(std::string& s, uint32_t address) const {
  const int m = moduleOf(address);
  if (m < 0) {
    s += "0x";
    appendHex(s, address, 8);
    return;
  }
  s += modules_[m].name;
  const Resolved* r = lookup(address);
  if (r && !r->function.empty()) {
    s += '!';
    s += r->function;
    if (!r->hasStart) return;
    s += " + 0x";
    appendHex(s, r->functionOffset, 1);
    return;
  }
  s += " + 0x";
  appendHex(s, address - modules_[m].base, 1);
}

void Symbolizer::appendFrameKey(std::string& s, uint32_t address) const {
  const int m = moduleOf(address);
  const Resolved* r = m >= 0 ? lookup(address) : nullptr;
  if (!r || r->function.empty()) return appendFrameText(s, address);
  s += modules_[m].name;
  s += '!';
  s += r->function;
}

std::string Symbolizer::functionName(uint32_t address) const {
  const Resolved* r = lookup(address);
  return r ? r->function : std::string();
}

uint32_t Symbolizer::functionKey(uint32_t address) const {
  const Resolved* r = lookup(address);
  return r && !r->function.empty() ? r->functionKey : address;
}

void Symbolizer::assignFunctionKeys() {
  std::map<std::string, uint32_t> lowest;
  for (const auto& kv : resolved_) {
    if (kv.second.function.empty()) continue;
    auto it = lowest.emplace(frameKey(kv.first), kv.first).first;
    it->second = std::min(it->second, kv.first);
  }
  for (auto& kv : resolved_)
    if (!kv.second.function.empty()) kv.second.functionKey = lowest[frameKey(kv.first)];
}

std::string Symbolizer::fileLine(uint32_t address) const {
  const Resolved* r = lookup(address);
  if (!r || r->file.empty()) return std::string();
  return r->file + "(" + std::to_string(r->line) + ")";
}

std::string Symbolizer::lsanFrame(uint32_t address) const {
  char buf[64];
  snprintf(buf, sizeof buf, "0x%08" PRIx32, address);
  std::string s = buf;
  const int m = moduleOf(address);
  const Resolved* r = m >= 0 ? lookup(address) : nullptr;
  if (r && !r->function.empty()) {
    s += " in " + r->function;
    if (!r->file.empty()) return s + " " + r->file + ":" + std::to_string(r->line);
    s += " ";
  } else {
    s += "  ";
  }
  if (m < 0) return s + "(<unknown module>)";
  snprintf(buf, sizeof buf, "+0x%" PRIx32 ")", address - modules_[m].base);
  return s + "(" + modules_[m].shownPath + buf;
}

void Symbolizer::resolve(const std::vector<uint32_t>& addresses, const SymbolOptions& options,
                         std::string& notes) {
  std::map<int, std::vector<uint32_t>> byModule;
  for (uint32_t a : addresses) {
    const int m = moduleOf(a);
    if (m >= 0) byModule[m].push_back(a);
  }
  for (auto& entry : byModule) {
    std::vector<uint32_t>& list = entry.second;
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    resolveModule(entry.first, list, options, notes);
  }
  assignFunctionKeys();
}

// The search directories first, so that a user can point at the binaries of the run even when
// the logged path still holds a file; a file changed after the log was written is named, since
// its lines are no longer those of the run.
std::string Symbolizer::findModuleFile(const Module& mod, const SymbolOptions& options,
                                       std::string& notes) const {
  std::string path;
  for (size_t i = 0; path.empty() && i < options.searchDirs.size(); ++i) {
    const std::string candidate = options.searchDirs[i] + "/" + mod.name;
    if (fileExists(candidate)) path = candidate;
  }
  if (path.empty() && fileExists(mod.path)) path = mod.path;
  if (path.empty()) {
    notes += "note: no file for module " + mod.name + " (logged as " + mod.path + ")\n";
    return path;
  }
  if (options.logTime > 0 && host::modificationTime(path) > options.logTime)
    notes += "warning: " + path +
             " changed after the log was written: its functions and lines may not be those of "
             "the run (--search-dir DIR points at the run's binaries)\n";
  return path;
}

namespace {

// The sorted addresses of the file's defined functions, as nm lists them (empty when nm fails).
std::vector<uint64_t> functionStarts(const std::string& nm, const std::string& path,
                                     const std::string& scratch, std::string& notes) {
  std::vector<uint64_t> starts;
  if (!runBinutils({nm, "--defined-only", path}, "", scratch, notes)) return starts;
  for (const std::string& l : readLines(scratch.c_str())) {
    unsigned long long value = 0;
    char type = 0;
    if (sscanf(l.c_str(), "%llx %c", &value, &type) == 2 &&
        (type == 'T' || type == 't' || type == 'W' || type == 'w'))
      starts.push_back(value);
  }
  std::sort(starts.begin(), starts.end());
  return starts;
}

}  // namespace

// One answer of addr2line -f: the function's line ("??" when unknown) and its "file:line" (with
// an optional discriminator, "??:0" or "??:?" when unknown).
Symbolizer::Resolved Symbolizer::parseAddr2line(const std::string& function, std::string location) {
  Resolved r;
  if (function != "??") r.function = function;
  const size_t disc = location.find(" (discriminator");
  if (disc != std::string::npos) location.erase(disc);
  const size_t colon = location.rfind(':');
  if (colon != std::string::npos && location.compare(0, 2, "??") != 0) {
    const unsigned long line = strtoul(location.c_str() + colon + 1, nullptr, 10);
    if (line > 0) {
      r.file = location.substr(0, colon);
      r.line = uint32_t(line);
    }
  }
  return r;
}

void Symbolizer::resolveModule(int module, const std::vector<uint32_t>& addresses,
                               const SymbolOptions& options, std::string& notes) {
  const Module& mod = modules_[module];
  const std::string path = findModuleFile(mod, options, notes);
  if (path.empty()) return;
  const Image img = inspectImage(path);
  if (img.kind == ImageKind::Unknown) {
    notes += "note: not an ELF or PE file: " + path + "\n";
    return;
  }
  const bool pe = img.kind == ImageKind::Pe;
  // A fixed-address executable is mapped where it was linked: its addresses need no
  // rebasing. Everything else moves by (logged base - link base).
  auto toFile = [&](uint32_t a) -> uint64_t {
    if (img.kind == ImageKind::ElfExecutable) return a;
    return img.linkBase + (a - mod.base);
  };

  TempFile in, out;
  if (!in.ok() || !out.ok()) {
    notes += "note: cannot create temporary files for symbolisation\n";
    return;
  }
  {
    FILE* f = fopen(in.path().c_str(), "w");
    if (!f) return;
    for (uint32_t a : addresses) fprintf(f, "0x%" PRIx64 "\n", toFile(a));
    fclose(f);
  }
  const std::string& a2l = pe ? options.peAddr2line : options.elfAddr2line;
  if (!runBinutils({a2l, "-f", "-C", "-e", path}, in.path(), out.path(), notes)) return;
  const std::vector<std::string> lines = readLines(out.path().c_str());
  if (lines.size() < 2 * addresses.size()) {
    notes += "note: " + a2l + " gave too little output for " + path + "\n";
    return;
  }

  // Function starts, to express frames as function + offset.
  const std::string& nm = pe ? options.peNm : options.elfNm;
  const std::vector<uint64_t> starts = functionStarts(nm, path, out.path(), notes);

  for (size_t i = 0; i < addresses.size(); ++i) {
    Resolved r = parseAddr2line(lines[2 * i], lines[2 * i + 1]);
    if (!r.function.empty() && !starts.empty()) {
      const uint64_t fa = toFile(addresses[i]);
      auto it = std::upper_bound(starts.begin(), starts.end(), fa);
      if (it != starts.begin()) {
        r.hasStart = true;
        r.functionOffset = uint32_t(fa - *(it - 1));
      }
    }
    if (!r.function.empty() || !r.file.empty()) resolved_[addresses[i]] = std::move(r);
  }
}

}  // namespace memlog
