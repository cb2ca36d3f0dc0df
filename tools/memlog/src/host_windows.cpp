// The host layer on Windows (MinGW-w64); see host.h. binutils runs as a child process through
// CreateProcess with its standard handles on files, as the POSIX layer does with posix_spawn.
#include <windows.h>

#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "host.h"

namespace memlog {
namespace host {

const char* const kPeToolPrefix = "";

namespace {

// One argument quoted for the command line CreateProcess hands to the C runtime's parser:
// backslashes double only before a quote, and a quote is escaped.
std::string quoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

HANDLE openInheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, write ? CREATE_ALWAYS : OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

bool isReadableFile(const std::string& path) {
  struct _stat64 st;
  return !path.empty() && _stat64(path.c_str(), &st) == 0 && (st.st_mode & _S_IFREG);
}

int64_t modificationTime(const std::string& path) {
  struct _stat64 st;
  return _stat64(path.c_str(), &st) == 0 ? int64_t(st.st_mtime) : 0;
}

int64_t modificationTime(FILE* f) {
  struct _stat64 st;
  return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFREG) ? int64_t(st.st_mtime) : 0;
}

// Windows gives large pages only to a process holding the lock-memory privilege, which a tool
// run by a user does not have: ordinary pages.
void adviseLargePages(void*, size_t) {}

int64_t regularFileLength(FILE* f) {
  struct _stat64 st;
  return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFREG) ? int64_t(st.st_size) : -1;
}

bool isTerminal(FILE* f) { return _isatty(_fileno(f)) != 0; }

bool sameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return fileIdentity(a, ia) && fileIdentity(b, ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::string makeTemporaryFile() {
  char dir[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > sizeof dir || GetTempFileNameA(dir, "mlg", 0, path) == 0) return std::string();
  return path;
}

void removeFile(const std::string& path) { DeleteFileA(path.c_str()); }

namespace {

DWORD WINAPI runThread(LPVOID thread) {
  static_cast<Thread*>(thread)->run();
  return 0;
}

}  // namespace

// CreateThread suffices: the C runtime is msvcrt.dll, which makes and frees its per-thread data
// itself, on the DLL's thread notifications.
bool Thread::start(void (*work)(void*), void* arg) {
  join();
  work_ = work;
  arg_ = arg;
  HANDLE thread = CreateThread(nullptr, 0, runThread, this, 0, nullptr);
  if (!thread) return false;
  handle_ = thread;
  return true;
}

void Thread::join() {
  if (!handle_) return;
  WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

void yieldThread() { SwitchToThread(); }

unsigned processors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  unsigned n = 0;
  for (; process; process &= process - 1) ++n;
  return n;
}

ToolRun runTool(const std::vector<std::string>& argv, const std::string& inPath,
                const std::string& outPath) {
  std::string commandLine;
  for (const std::string& a : argv)
    commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(a);
  HANDLE in = openInheritable(inPath.empty() ? "NUL" : inPath, false);
  HANDLE out = openInheritable(outPath, true);
  HANDLE err = openInheritable("NUL", true);
  ToolRun result = ToolRun::NotStarted;
  if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE) {
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi;
    if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &si, &pi)) {
      WaitForSingleObject(pi.hProcess, INFINITE);
      DWORD code = 1;
      result = GetExitCodeProcess(pi.hProcess, &code) && code == 0 ? ToolRun::Ok : ToolRun::Failed;
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }
  for (HANDLE h : {in, out, err})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return result;
}

}  // namespace host
}  // namespace memlog
