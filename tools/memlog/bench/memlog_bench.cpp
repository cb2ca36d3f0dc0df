// Times quorkit-memlog's summary, leaks and folded of a log against `cat FILE > /dev/null` of the
// same file, rounds alternating so that all see the same page cache and machine load, and reports
// the ratios of medians and the tool's peak resident memory per command.
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
  const char* const commands[] = {"summary", "leaks", "folded"};
  const size_t n = sizeof commands / sizeof commands[0];
  std::vector<double> catTimes, toolTimes[n];
  long rss[n] = {};
  for (int r = 0; r < rounds; ++r) {
    const Run c = spawnTimed({"cat", log});
    catTimes.push_back(c.seconds);
    for (size_t k = 0; k < n; ++k) {
      const Run t = spawnTimed({tool, commands[k], log});
      if (c.status != 0 || t.status != 0) {
        fprintf(stderr, "a run failed (cat status %d, %s status %d)\n", c.status, commands[k],
                t.status);
        return 1;
      }
      toolTimes[k].push_back(t.seconds);
      rss[k] = std::max(rss[k], t.maxRssKb);
    }
  }
  const double mib = double(st.st_size) / 1048576.0, catMed = median(catTimes);
  printf(
      "memlog benchmark: %.0f events (8 frames each), %.1f MiB, native (no emulation), "
      "medians of %d alternating rounds\n",
      events, mib, rounds);
  printf("%-30s %10s %14s %10s %8s %12s\n", "run", "seconds", "events/s", "MiB/s", "ratio",
         "peak RSS MiB");
  printf("%-30s %10.4f %14.0f %10.0f %8s %12s\n", "cat FILE > /dev/null", catMed, events / catMed,
         mib / catMed, "1.00", "-");
  double worst = 0;
  for (size_t k = 0; k < n; ++k) {
    const double med = median(toolTimes[k]);
    worst = std::max(worst, med / catMed);
    printf("%-30s %10.4f %14.0f %10.0f %8.2f %12.1f\n",
           ("quorkit-memlog " + std::string(commands[k]) + " FILE").c_str(), med, events / med,
           mib / med, med / catMed, double(rss[k]) / 1024.0);
  }
  printf("worst ratio to cat: %.2f (bound 5.00)\n", worst);
  return 0;
}
