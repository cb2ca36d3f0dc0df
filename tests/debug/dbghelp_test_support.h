// Helpers shared by the debug-help module's tests: what went to the debugger channel, the
// files beside the executable, and a reader of the allocation log written here, independent of
// the module's own reader.
#ifndef QUORKIT_TESTS_DBGHELP_TEST_SUPPORT_H
#define QUORKIT_TESTS_DBGHELP_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <pal/testing.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "debug/Win32dbghelp.h"

namespace dbgtest {

// Every OutputDebugStringA text, one element per call.
inline std::vector<std::string>& debugPieces() {
  static std::vector<std::string> pieces;
  return pieces;
}

inline void collectDebugText(const char* text) { debugPieces().push_back(text ? text : "<null>"); }

inline std::string joinedDebugText(size_t from = 0) {
  std::string all;
  for (size_t i = from; i < debugPieces().size(); ++i) all += debugPieces()[i];
  return all;
}

inline std::string executablePath() {
  char path[4096] = {};
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

inline std::string logPath() { return executablePath() + ".MEM_LOG.bin"; }
inline std::string reportPath() { return executablePath() + ".memleak.TXT"; }

inline bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

inline std::string readText(const std::string& path) {
  std::vector<uint8_t> bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t word(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes.at(offset)) |
         static_cast<uint32_t>(bytes.at(offset + 1)) << 8 |
         static_cast<uint32_t>(bytes.at(offset + 2)) << 16 |
         static_cast<uint32_t>(bytes.at(offset + 3)) << 24;
}

inline void putWord(std::vector<uint8_t>& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline size_t roundUp16(size_t n) { return (n + 15) & ~size_t(15); }

// One block of the log as this test reads the format, not as the module does.
struct LogBlock {
  size_t offset = 0;
  size_t length = 0;
  uint32_t code = 0, id = 0, address = 0, size = 0;
  uint16_t region = 0;
  bool recordTailZero = false;     // the 14 bytes after region
  std::vector<uint32_t> values;    // module block: bases; event block: frame addresses
  std::vector<std::string> names;  // module block only
  bool paddingZero = false;
};

// Splits a whole log into blocks; stops (and returns false) at anything malformed.
inline bool parseLog(const std::vector<uint8_t>& bytes, std::vector<LogBlock>& blocks) {
  size_t at = 0;
  while (at < bytes.size()) {
    LogBlock b;
    b.offset = at;
    if (bytes.size() - at < 36) return false;
    b.code = word(bytes, at);
    b.id = word(bytes, at + 4);
    b.address = word(bytes, at + 8);
    b.size = word(bytes, at + 12);
    b.region = static_cast<uint16_t>(bytes[at + 16] | bytes[at + 17] << 8);
    b.recordTailZero = true;
    for (size_t i = 18; i < 32; ++i) b.recordTailZero = b.recordTailZero && bytes[at + i] == 0;
    const uint32_t n = word(bytes, at + 32);
    size_t body;
    size_t used;
    if (b.code == 1) {
      body = 4 + roundUp16(size_t(n) * 2052);
      used = 4 + size_t(n) * 2052;
    } else {
      body = roundUp16(4 * size_t(n) + 4);
      used = 4 + 4 * size_t(n);
    }
    if (bytes.size() - at - 32 < body) return false;
    const size_t start = at + 36;
    for (uint32_t i = 0; i < n; ++i) {
      if (b.code == 1) {
        const size_t entry = start + size_t(i) * 2052;
        b.values.push_back(word(bytes, entry));
        const char* name = reinterpret_cast<const char*>(&bytes[entry + 4]);
        b.names.push_back(std::string(name, strnlen(name, 2048)));
      } else {
        b.values.push_back(word(bytes, start + 4 * size_t(i)));
      }
    }
    b.paddingZero = true;
    for (size_t i = at + 32 + used; i < at + 32 + body; ++i)
      b.paddingZero = b.paddingZero && bytes[i] == 0;
    b.length = 32 + body;
    blocks.push_back(b);
    at += b.length;
  }
  return true;
}

// Shutdown returns the module to "not started": the blocks it made are freed (their handles are
// dead), every entry point and reference is cleared, the log is closed and the lock deleted.
inline void expectShutDown() {
  const quor::DbgHelpState& s = quor::_dbgHelp;
  const HLOCAL blocks[] = {s.hSymbolBuffer, s.hRecordBuffer, s.hModuleTable};
  EXPECT_TRUE(quor::terminateDbgHelp());
  for (HLOCAL block : blocks)
    EXPECT_TRUE(block == nullptr || LocalLock(block) == nullptr) << "block still live";
  const quor::DbgHelpApi none = {};
  EXPECT_EQ(std::memcmp(&s.api, &none, sizeof none), 0) << "entry points left";
  EXPECT_TRUE(!s.hDbgHelp && !s.hKernel32 && !s.pRtlCaptureContext) << "library references left";
  EXPECT_TRUE(!s.hSymbolBuffer && !s.hRecordBuffer && !s.pRecord && !s.hModuleTable &&
              !s.pModuleTable);
  EXPECT_EQ(s.hLogFile, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(s.lockCreated);
}

// Whether another thread can take the module's lock now, i.e. no operation left it held.
inline bool lockIsFree() {
  bool entered = false;
  std::thread other([&] {
    entered = TryEnterCriticalSection(&quor::_dbgHelp.lock) != FALSE;
    if (entered) LeaveCriticalSection(&quor::_dbgHelp.lock);
  });
  other.join();
  return entered;
}

// The log and report files are named after the executable, so the cases of one program that
// ctest runs in parallel processes take turns through a lock file beside it.
inline int& fileLock() {
  static int fd = -1;
  return fd;
}

// Each test starts from a module that is not started, a clean channel and no files.
inline void resetModule() {
  if (fileLock() < 0) {
    fileLock() = open((executablePath() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fileLock() >= 0) flock(fileLock(), LOCK_EX);
  }
  quor::terminateDbgHelp();
  quor::_dbgHelp.firstReport = true;
  pal_clear_failures();
  pal_set_debug_sink(collectDebugText);
  debugPieces().clear();
  std::remove(logPath().c_str());
  std::remove(reportPath().c_str());
}

inline void finishModule() {
  quor::terminateDbgHelp();
  pal_clear_failures();
  pal_set_debug_sink(nullptr);
  std::remove(logPath().c_str());
  std::remove(reportPath().c_str());
  if (fileLock() >= 0) {
    flock(fileLock(), LOCK_UN);
    close(fileLock());
    fileLock() = -1;
  }
}

}  // namespace dbgtest

#endif  // QUORKIT_TESTS_DBGHELP_TEST_SUPPORT_H
