// Helpers of the leak-tracking build's tests: the files beside the executable, a lock that makes
// the parallel ctest cases of one program take turns with them, and a reader of the allocation
// log and of the leak report written here from the file layouts, independent of the library's
// own readers.
#ifndef QUORKIT_TESTS_MEMLOG_TEST_SUPPORT_H
#define QUORKIT_TESTS_MEMLOG_TEST_SUPPORT_H

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace memlogtest {

inline std::string executablePath() {
  char path[4096] = {};
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

inline std::string logPath() { return executablePath() + ".MEM_LOG.bin"; }
inline std::string reportPath() { return executablePath() + ".memleak.TXT"; }

inline std::vector<uint8_t> readFile(const std::string& path, size_t from = 0) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (from >= bytes.size()) return {};
  return std::vector<uint8_t>(bytes.begin() + static_cast<long>(from), bytes.end());
}

inline size_t fileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<size_t>(in.tellg()) : 0;
}

// The log and the report are named after the executable, so every case of one program holds this
// lock for its whole process: from before its first tracked event to its exit (detach included).
class FileLockEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    int fd = open((executablePath() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) flock(fd, LOCK_EX);  // released by the kernel when the process ends
  }
};

inline uint32_t word(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
         uint32_t(bytes[at + 3]) << 24;
}

// One block of the log.
struct Event {
  uint32_t code, id, address, size;
  uint16_t region;
  uint32_t frames;  // stack block's frame count (module block: module count)
};

// Reads blocks from a block boundary to the end; false, with `error` set, at anything malformed:
// a cut block, non-zero record tail or stack padding, an unknown code, an absurd frame count.
inline bool parseLog(const std::vector<uint8_t>& bytes, std::vector<Event>& events,
                     std::string& error) {
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 36) {
      error = "cut record at " + std::to_string(at);
      return false;
    }
    Event e;
    e.code = word(bytes, at);
    e.id = word(bytes, at + 4);
    e.address = word(bytes, at + 8);
    e.size = word(bytes, at + 12);
    e.region = uint16_t(bytes[at + 16] | bytes[at + 17] << 8);
    for (size_t i = 18; i < 32; ++i) {
      if (bytes[at + i] != 0) {
        error = "record tail not zero at " + std::to_string(at);
        return false;
      }
    }
    if (e.code > 9) {
      error = "unknown code " + std::to_string(e.code) + " at " + std::to_string(at);
      return false;
    }
    e.frames = word(bytes, at + 32);
    size_t body;
    size_t used;
    if (e.code == 1) {
      if (e.frames > 128) {
        error = "module count " + std::to_string(e.frames);
        return false;
      }
      used = 4 + size_t(e.frames) * 2052;
      body = 4 + ((size_t(e.frames) * 2052 + 15) & ~size_t(15));
    } else {
      if (e.frames > 32767) {
        error = "frame count " + std::to_string(e.frames);
        return false;
      }
      used = 4 + 4 * size_t(e.frames);
      body = (used + 15) & ~size_t(15);
    }
    if (bytes.size() - at - 32 < body) {
      error = "cut block at " + std::to_string(at);
      return false;
    }
    for (size_t i = used; i < body; ++i) {
      if (bytes[at + 32 + i] != 0) {
        error = "padding not zero at " + std::to_string(at);
        return false;
      }
    }
    events.push_back(e);
    at += 32 + body;
  }
  return true;
}

// Event blocks only (the module block left out).
inline std::vector<Event> readEvents(size_t from) {
  std::vector<Event> all;
  std::string error;
  const bool parsed = parseLog(readFile(logPath(), from), all, error);
  EXPECT_TRUE(parsed) << error;
  std::vector<Event> events;
  for (const Event& e : all) {
    if (e.code != 1) events.push_back(e);
  }
  return events;
}

// A record line of the leak report: "<<name>>: {0xID} 0xADDRESS, N bytes. region 0xRRRR".
struct ReportedBlock {
  std::string name;
  uint32_t id, address, size, region;
};

inline std::vector<ReportedBlock> reportedBlocks(const std::string& text) {
  std::vector<ReportedBlock> blocks;
  size_t at = 0;
  while ((at = text.find("<<", at)) != std::string::npos) {
    const size_t close = text.find(">>", at);
    if (close == std::string::npos) break;
    ReportedBlock block;
    block.name = text.substr(at + 2, close - at - 2);
    unsigned int id = 0, address = 0, size = 0, region = 0;
    if (sscanf(text.c_str() + close, ">>: {0x%8X} 0x%X, %u bytes. region 0x%4X", &id, &address,
               &size, &region) == 4) {
      block.id = id;
      block.address = address;
      block.size = size;
      block.region = region;
      blocks.push_back(block);
    }
    at = close;
  }
  return blocks;
}

inline uint32_t addressOf(const void* block) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block));
}

}  // namespace memlogtest

#endif  // QUORKIT_TESTS_MEMLOG_TEST_SUPPORT_H
