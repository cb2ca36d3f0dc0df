// Logger frames and stack grouping; see frame_filter.h.
#include "frame_filter.h"

#include <algorithm>
#include <cctype>

#include "symbols.h"

namespace memlog {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// "quor::(anonymous namespace)::publishEvent(quor::LiveBlock const&, ...)" -> "quor::publishEvent"
std::string qualifiedName(std::string function) {
  const std::string anonymous = "(anonymous namespace)::";
  for (size_t at; (at = function.find(anonymous)) != std::string::npos;)
    function.erase(at, anonymous.size());
  const size_t args = function.find('(');
  if (args != std::string::npos) function.erase(args);
  return function;
}

}  // namespace

bool FrameFilter::isLibraryModule(const std::string& path) {
  const std::string name = lower(Symbolizer::baseName(path));
  return name == "quorkit.dll" || name.compare(0, 13, "libquorkit.so") == 0;
}

bool FrameFilter::isLoggerFunction(const std::string& function) {
  // The capture, the log writer, the tracker's event path, and the memory members of Platform
  // through which every tracked allocation and release enters it.
  static const char* const kLogging[] = {"quor::captureStack",  "quor::logMemoryEvent",
                                         "quor::publishEvent",  "quor::recordAllocation",
                                         "quor::recordRelease", "quor::trackAllocation",
                                         "quor::trackRelease",  "quor::trackReallocation"};
  static const char* const kPlatformMemory[] = {"malloc",   "free",         "realloc",
                                                "memalign", "operator new", "operator delete"};
  const std::string name = qualifiedName(function);
  for (const char* f : kLogging)
    if (name == f) return true;
  const std::string platform = "quor::Platform::";
  if (name.compare(0, platform.size(), platform) != 0) return false;
  const std::string member = name.substr(platform.size());
  for (const char* m : kPlatformMemory)
    if (member == m || member == std::string(m) + "[]") return true;
  return false;
}

void FrameFilter::setModules(const std::vector<ModuleInfo>& modules) {
  moduleStarts_.clear();
  for (const ModuleInfo& m : modules) moduleStarts_.push_back({m.base, isLibraryModule(m.name)});
  // Of several modules at one base the first listed wins, as in the symboliser.
  std::stable_sort(moduleStarts_.begin(), moduleStarts_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

bool FrameFilter::isLoggerFrame(uint32_t address) const {
  if (symbols_) {
    const std::string function = symbols_->functionName(address);
    if (!function.empty()) return isLoggerFunction(function);
  }
  auto it = std::upper_bound(moduleStarts_.begin(), moduleStarts_.end(), address,
                             [](uint32_t a, const auto& m) { return a < m.first; });
  if (it == moduleStarts_.begin()) return false;
  const uint32_t base = (--it)->first;
  while (it != moduleStarts_.begin() && (it - 1)->first == base) --it;
  return it->second;
}

uint32_t FrameFilter::firstShown(const uint32_t* frames, uint32_t count) const {
  if (keepLoggerFrames_) return 0;
  uint32_t first = 0;
  while (first < count && isLoggerFrame(frames[first])) ++first;
  return first == count ? 0 : first;
}

uint32_t FrameFilter::groupKey(uint32_t address) const {
  return symbols_ ? symbols_->functionKey(address) : address;
}

}  // namespace memlog
