// Test helpers for the files the allocation log writes beside the executable: their paths, a lock
// around them, and a reader of the log from the file layout, independent of the library's own.
#ifndef QUORKIT_TESTS_MEMLOG_FILE_H
#define QUORKIT_TESTS_MEMLOG_FILE_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quortest {

inline std::string executablePath() {
  char path[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

inline std::string logPath() { return executablePath() + ".MEM_LOG.bin"; }
inline std::string reportPath() { return executablePath() + ".memleak.TXT"; }

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The log and the report are named after the executable, so the parallel processes of one test
// program take turns: each holds this lock from its start to its end (the kernel releases it).
inline const bool kFileLocked = [] {
  const int fd = open((executablePath() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return fd >= 0 && flock(fd, LOCK_EX) == 0;
}();

inline uint32_t word(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);  // the log and the host: little-endian
  return value;
}

inline void putWords(std::string& bytes, std::initializer_list<uint32_t> values) {
  for (uint32_t value : values) bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// One block of the log: the record's fields, then the bases and names of a module block or the
// frame addresses of an event block.
struct LogBlock {
  size_t offset, length;
  uint32_t code, id, address, size;
  uint16_t region;
  std::vector<uint32_t> values;
  std::vector<std::string> names;
};

// Splits a whole log into blocks. Anything malformed fails the calling test: a cut block, a
// non-zero record tail or padding, an unknown code, a count beyond the format's bounds.
inline std::vector<LogBlock> parseLog(const std::string& bytes) {
  std::vector<LogBlock> blocks;
  for (size_t at = 0; at < bytes.size();) {
    uint32_t f[9] = {};  // the record's fields, then the count of entries or frames
    if (bytes.size() - at >= sizeof f) std::memcpy(f, &bytes[at], sizeof f);
    const bool modules = f[0] == 1;
    const size_t used = 4 + size_t(f[8]) * (modules ? 2052 : 4);
    const size_t length =
        32 + (modules ? 4 + ((used + 11) & ~size_t(15)) : (used + 15) & ~size_t(15));
    const bool sane = bytes.size() - at >= std::max(sizeof f, length) && f[0] <= 9 &&
                      f[8] <= (modules ? 128u : 32767u);
    EXPECT_TRUE(sane) << "block at " << at;
    if (!sane) return blocks;
    EXPECT_GE(bytes.find_first_not_of('\0', at + 18), at + 32) << "record tail at " << at;
    EXPECT_GE(bytes.find_first_not_of('\0', at + 32 + used), at + length) << "padding at " << at;
    LogBlock b = {at, length, f[0], f[1], f[2], f[3], uint16_t(f[4]), {}, {}};
    for (size_t i = 0, entry = at + 36; i < f[8]; ++i, entry += modules ? 2052 : 4) {
      b.values.push_back(word(bytes, entry));
      if (modules)
        b.names.emplace_back(bytes.c_str() + entry + 4, strnlen(&bytes[entry + 4], 2048));
    }
    blocks.push_back(b);
    at += length;
  }
  return blocks;
}

}  // namespace quortest

#endif  // QUORKIT_TESTS_MEMLOG_FILE_H
