// Streaming reader of allocation logs. It walks the file block by block through a
// bounded buffer and hands each module table and event to a visitor, so memory does
// not grow with the length of the log. Damage is classified: a file that simply stops
// inside a block is "truncated" (everything before it is good), while values no writer
// can produce are "corrupt"; both carry the byte offset where the reader gave up.
#ifndef QUORKIT_MEMLOG_LOG_READER_H
#define QUORKIT_MEMLOG_LOG_READER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace memlog {

struct ModuleInfo {
  uint32_t base = 0;
  std::string name;  // path as logged, may be a Windows path
};

struct Event {
  uint64_t number = 0;  // 1-based among event blocks
  uint64_t offset = 0;  // of the block's record
  uint32_t code = 0;
  uint32_t id = 0;
  uint32_t address = 0;
  uint32_t size = 0;
  uint16_t region = 0;
  uint32_t frameCount = 0;
  const uint32_t* frames = nullptr;  // innermost first; valid during the callback only
};

class Source {
 public:
  virtual ~Source() = default;
  // Reads up to n bytes; returns fewer only at the end or on error.
  virtual size_t read(void* dst, size_t n) = 0;
  virtual bool failed() const { return false; }
  // Total length when known in advance, -1 otherwise (pipes).
  virtual int64_t length() const { return -1; }
};

class FileSource final : public Source {
 public:
  explicit FileSource(FILE* f);
  size_t read(void* dst, size_t n) override;
  bool failed() const override;
  int64_t length() const override { return length_; }

 private:
  FILE* file_;
  int64_t length_ = -1;
};

class MemorySource final : public Source {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t read(void* dst, size_t n) override;
  int64_t length() const override { return int64_t(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class LogVisitor {
 public:
  virtual ~LogVisitor() = default;
  virtual void onModules(const std::vector<ModuleInfo>& modules) = 0;
  virtual void onEvent(const Event& event) = 0;
  // A run of events in log order, whose frames stay valid until this returns. The reader hands
  // over runs when no observer has to follow each event: a call per run instead of per event.
  virtual void onEvents(const Event* events, size_t count) {
    for (size_t i = 0; i < count; ++i) onEvent(events[i]);
  }
  // Called once when the reading stops, whether at the end or at damage.
  virtual void onEnd() {}
};

// Told now and then how far a reading has come.
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  virtual void onProgress(uint64_t bytes, uint64_t events) = 0;
};

enum class ReadStatus { Ok, Truncated, Corrupt, IoError };

struct ReadResult {
  ReadStatus status = ReadStatus::Ok;
  uint64_t events = 0;         // event blocks delivered
  uint64_t bytes = 0;          // end of the last complete block
  uint64_t problemOffset = 0;  // where the damage starts (Truncated, Corrupt)
  std::string message;         // what is wrong, without the file name
};

// observer, when given, sees every module table and event right after the visitor (a command's
// own view of the run); without one, the visitor is given runs of events.
ReadResult readLog(Source& source, LogVisitor& visitor, LogVisitor* observer = nullptr,
                   ProgressListener* progress = nullptr);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_LOG_READER_H
