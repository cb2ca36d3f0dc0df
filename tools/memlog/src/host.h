// What the tool needs from the operating system beyond standard C++: file facts, terminals,
// temporary files and running binutils. One implementation per host (host_posix.cpp,
// host_windows.cpp), chosen by the build, so the rest of the tool is plain C++.
#ifndef QUORKIT_MEMLOG_HOST_H
#define QUORKIT_MEMLOG_HOST_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace memlog {
namespace host {

bool isReadableFile(const std::string& path);
// Seconds since the epoch; 0 when unknown.
int64_t modificationTime(const std::string& path);
int64_t modificationTime(FILE* f);
// Length of a regular file; -1 for pipes, terminals and when unknown.
int64_t regularFileLength(FILE* f);
// binutils for Windows modules: a cross prefix on Linux, the plain names on Windows itself.
extern const char* const kPeToolPrefix;
bool isTerminal(FILE* f);
// Asks for large pages behind [p, p + n) where the host gives them on request; p is aligned to
// kLargePage. A big table probed at random then takes a page fault and a TLB entry per 2 MiB
// instead of per 4 KiB.
constexpr size_t kLargePage = size_t(2) << 20;
void adviseLargePages(void* p, size_t n);
// The same file under two names (for refusing to write over an input).
bool sameFile(const std::string& a, const std::string& b);
// Creates an empty file of its own; returns its path, or "" on failure.
std::string makeTemporaryFile();
void removeFile(const std::string& path);
// A second thread, for work that overlaps the caller's. start runs work(arg) on it and is false
// when the host cannot start one (nothing runs then); join waits until work has returned.
class Thread {
 public:
  Thread() = default;
  ~Thread() { join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  bool start(void (*work)(void*), void* arg);
  void join();
  // The new thread's body (the host's entry point calls it with the Thread as its argument).
  void run() { work_(arg_); }

 private:
  void* handle_ = nullptr;  // the host's handle, null when no thread runs
  void (*work_)(void*) = nullptr;
  void* arg_ = nullptr;
};
// Gives the processor to another runnable thread, for a wait that has spun long enough.
void yieldThread();
// Processors this process may run on (at least 1): a second thread only pays with two.
unsigned processors();
enum class ToolRun { Ok, Failed, NotStarted };
// Runs a program found on the PATH with standard input and output redirected to files (input
// "" is empty) and standard error discarded.
ToolRun runTool(const std::vector<std::string>& argv, const std::string& inPath,
                const std::string& outPath);

}  // namespace host
}  // namespace memlog

#endif  // QUORKIT_MEMLOG_HOST_H
