// Helpers for tests that drive the command line in-process: a scratch directory and
// captured output streams.
#ifndef QUORKIT_MEMLOG_TESTS_TEST_UTIL_H
#define QUORKIT_MEMLOG_TESTS_TEST_UTIL_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"

namespace memlog_test {

class ScratchDir {
 public:
  ScratchDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/memlog_test.XXXXXX";
    if (mkdtemp(&pattern[0])) path_ = pattern;
  }
  ~ScratchDir() {
    if (!path_.empty()) {
      const std::string cmd = "rm -rf '" + path_ + "'";
      if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string slurp(FILE* f) {
  std::string s;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

inline std::string readFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return std::string();
  std::string s = slurp(f);
  fclose(f);
  return s;
}

struct RunResult {
  int code;
  std::string out;
  std::string err;
};

inline RunResult run(const std::vector<std::string>& args) {
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  RunResult r{memlog::runCommandLine(args, out, err), slurp(out), slurp(err)};
  fclose(out);
  fclose(err);
  return r;
}

}  // namespace memlog_test

#endif  // QUORKIT_MEMLOG_TESTS_TEST_UTIL_H
