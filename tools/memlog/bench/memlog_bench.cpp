// Times quorkit-memlog's summary of a log against `cat FILE > /dev/null` of the same
// file, rounds alternating so that both see the same page cache and machine load,
// and reports the ratio of medians and the tool's peak resident memory.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Run {
  double seconds;
  long maxRssKb;
  int status;
};

Run spawnTimed(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid;
  if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&fa);
    return {0, 0, -1};
  }
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  return {double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) * 1e-9, ru.ru_maxrss,
          status};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: memlog_bench TOOL LOG EVENTS [ROUNDS]\n");
    return 2;
  }
  const std::string tool = argv[1], log = argv[2];
  const double events = atof(argv[3]);
  const int rounds = argc > 4 ? atoi(argv[4]) : 5;
  struct stat st;
  if (stat(log.c_str(), &st) != 0) {
    perror(log.c_str());
    return 1;
  }
  // Warm the page cache so that neither side pays for the disk.
  spawnTimed({"cat", log});
  std::vector<double> catTimes, toolTimes;
  long rss = 0;
  for (int r = 0; r < rounds; ++r) {
    const Run c = spawnTimed({"cat", log});
    const Run t = spawnTimed({tool, "summary", log});
    if (c.status != 0 || t.status != 0) {
      fprintf(stderr, "a run failed (cat status %d, tool status %d)\n", c.status, t.status);
      return 1;
    }
    catTimes.push_back(c.seconds);
    toolTimes.push_back(t.seconds);
    rss = std::max(rss, t.maxRssKb);
  }
  const double catMed = median(catTimes), toolMed = median(toolTimes);
  printf(
      "memlog benchmark: summary of %.0f events (8 frames each), %.1f MiB, native x86-64 (no "
      "emulation), "
      "median of %d alternating rounds\n",
      events, double(st.st_size) / 1048576.0, rounds);
  printf("%-32s %12s %16s %12s\n", "run", "seconds", "events/s", "MiB/s");
  printf("%-32s %12.4f %16.0f %12.0f\n", "cat FILE > /dev/null", catMed, events / catMed,
         double(st.st_size) / 1048576.0 / catMed);
  printf("%-32s %12.4f %16.0f %12.0f\n", "quorkit-memlog summary FILE", toolMed, events / toolMed,
         double(st.st_size) / 1048576.0 / toolMed);
  printf("ratio (quorkit-memlog / cat): %.2f\n", toolMed / catMed);
  printf("quorkit-memlog peak RSS: %.1f MiB (log size %.1f MiB)\n", double(rss) / 1024.0,
         double(st.st_size) / 1048576.0);
  return 0;
}
