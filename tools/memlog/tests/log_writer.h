// Test-only producer of allocation logs, byte for byte in the layout the debug-help
// module writes, so that the reader can be checked against files of known content.
#ifndef QUORKIT_MEMLOG_TESTS_LOG_WRITER_H
#define QUORKIT_MEMLOG_TESTS_LOG_WRITER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace memlog_test {

class LogWriter {
 public:
  // The module block; written first when given.
  LogWriter& modules(const std::vector<std::pair<uint32_t, std::string>>& list) {
    record(1, 0, 0, 0, 0);
    u32(uint32_t(list.size()));
    for (const auto& m : list) {
      u32(m.first);
      std::string name = m.second.substr(0, 2047);
      name.resize(2048, '\0');
      bytes_ += name;
    }
    pad(list.size() * 2052);
    return *this;
  }

  LogWriter& event(uint32_t code, uint32_t id, uint32_t address, uint32_t size, uint16_t region,
                   const std::vector<uint32_t>& frames) {
    record(code, id, address, size, region);
    u32(uint32_t(frames.size()));
    for (uint32_t f : frames) u32(f);
    pad(4 * frames.size() + 4);
    return *this;
  }

  // A stack block whose count says more than follows, for damaged-file tests.
  LogWriter& rawEvent(uint32_t code, uint32_t frameCount) {
    record(code, 0, 0, 0, 0);
    u32(frameCount);
    return *this;
  }

  const std::string& bytes() const { return bytes_; }
  std::string& mutableBytes() { return bytes_; }

  bool save(const std::string& path) const { return saveFile(path, bytes_); }
  static bool saveFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    const bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return f && fclose(f) == 0 && ok;
  }

 private:
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(char(v >> (8 * i)));
  }
  void record(uint32_t code, uint32_t id, uint32_t address, uint32_t size, uint16_t region) {
    u32(code);
    u32(id);
    u32(address);
    u32(size);
    bytes_.push_back(char(region & 0xff));
    bytes_.push_back(char(region >> 8));
    bytes_.append(14, '\0');
  }
  void pad(size_t written) {
    const size_t rounded = (written + 15) & ~size_t(15);
    bytes_.append(rounded - written, '\0');
  }
  std::string bytes_;
};

}  // namespace memlog_test

#endif  // QUORKIT_MEMLOG_TESTS_LOG_WRITER_H
