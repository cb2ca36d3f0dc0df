// The host layer on Linux and other POSIX systems; see host.h.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host.h"

extern char** environ;

namespace memlog {
namespace host {

const char* const kPeToolPrefix = "i686-w64-mingw32-";

bool isReadableFile(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         access(path.c_str(), R_OK) == 0;
}

int64_t modificationTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? int64_t(st.st_mtime) : 0;
}

int64_t modificationTime(FILE* f) {
  struct stat st;
  return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_mtime) : 0;
}

int64_t regularFileLength(FILE* f) {
  struct stat st;
  return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
}

bool isTerminal(FILE* f) { return isatty(fileno(f)) == 1; }

void adviseLargePages(void* p, size_t n) {
#ifdef MADV_HUGEPAGE  // Linux's transparent huge pages; other POSIX systems decide alone
  madvise(p, n, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string makeTemporaryFile() {
  const char* dir = getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/memlog.XXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd < 0) return std::string();
  close(fd);
  return path;
}

void removeFile(const std::string& path) { unlink(path.c_str()); }

namespace {

void* runThread(void* thread) {
  static_cast<Thread*>(thread)->run();
  return nullptr;
}

void avoidCallersProcessor(pthread_attr_t& attr) {
#ifdef __linux__  // the affinity calls are Linux's; elsewhere the scheduler decides alone
  cpu_set_t allowed;
  const int here = sched_getcpu();
  if (here < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  CPU_CLR(here, &allowed);
  if (CPU_COUNT(&allowed) > 0) pthread_attr_setaffinity_np(&attr, sizeof allowed, &allowed);
#else
  (void)attr;
#endif
}

}  // namespace

// The new thread is kept off the caller's processor when there is another: left to itself, Linux
// may start it beside the caller and leave both sharing one processor for the whole of a short
// run, which then takes twice as long.
bool Thread::start(void (*work)(void*), void* arg) {
  join();
  work_ = work;
  arg_ = arg;
  pthread_t* thread = new pthread_t;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  avoidCallersProcessor(attr);
  const int rc = pthread_create(thread, &attr, runThread, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete thread;
    return false;
  }
  handle_ = thread;
  return true;
}

void Thread::join() {
  if (!handle_) return;
  pthread_t* thread = static_cast<pthread_t*>(handle_);
  pthread_join(*thread, nullptr);
  delete thread;
  handle_ = nullptr;
}

void yieldThread() { sched_yield(); }

unsigned processors() {
#ifdef __linux__  // the processors this process is allowed, which a container may restrict
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return unsigned(CPU_COUNT(&allowed));
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 1 ? unsigned(online) : 1;
}

ToolRun runTool(const std::vector<std::string>& argv, const std::string& inPath,
                const std::string& outPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inPath.empty() ? "/dev/null" : inPath.c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return ToolRun::NotStarted;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return ToolRun::Failed;
  // posix_spawnp reports a missing program through the child on some C libraries.
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return ToolRun::NotStarted;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ToolRun::Ok : ToolRun::Failed;
}

}  // namespace host
}  // namespace memlog
