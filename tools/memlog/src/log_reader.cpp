// Block walker for allocation logs; see log_reader.h for the contract.
#include "log_reader.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>

#include "host.h"
#include "log_format.h"

namespace memlog {

FileSource::FileSource(FILE* f) : file_(f), length_(host::regularFileLength(f)) {}

size_t FileSource::read(void* dst, size_t n) { return fread(dst, 1, n, file_); }

bool FileSource::failed() const { return ferror(file_) != 0; }

size_t MemorySource::read(void* dst, size_t n) {
  size_t take = std::min(n, size_ - pos_);
  if (take) memcpy(dst, data_ + pos_, take);
  pos_ += take;
  return take;
}

namespace {

// A window over the source. The window grows only to the largest block seen, and
// only after the bytes it needs have actually arrived, so a lying length field in a
// short file cannot make the reader reserve memory the file cannot back.
class Window {
 public:
  explicit Window(Source& s) : src_(s), length_(s.length()) {}

  // Makes n bytes available at data(); false when the source ends first.
  bool ensure(size_t n) {
    if (end_ - pos_ >= n) return true;
    if (pos_ > 0) {
      memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
      end_ -= pos_;
      consumedBase_ += pos_;
      pos_ = 0;
    }
    while (end_ < n) {
      if (eof_) return false;
      // Read ahead a chunk, but no further than the file goes, and grow the buffer
      // at most one step past the bytes already held.
      uint64_t cap = std::max<uint64_t>(n, kChunk);
      if (length_ >= 0) {
        const uint64_t held = consumedBase_ + end_;
        const uint64_t rest = uint64_t(length_) > held ? uint64_t(length_) - held : 0;
        cap = std::min<uint64_t>(cap, end_ + std::max<uint64_t>(rest, 1));
      }
      cap = std::min<uint64_t>(cap, end_ + kStep);
      if (buf_.size() < cap) buf_.resize(size_t(cap));
      const size_t got = src_.read(buf_.data() + end_, buf_.size() - end_);
      if (got == 0) eof_ = true;
      end_ += got;
    }
    return true;
  }
  size_t available() const { return end_ - pos_; }
  const uint8_t* data() const { return buf_.data() + pos_; }
  void consume(size_t n) { pos_ += n; }
  uint64_t offset() const { return consumedBase_ + pos_; }

 private:
  static constexpr size_t kChunk = 1 << 20;
  static constexpr size_t kStep = 256 << 10;
  Source& src_;
  const int64_t length_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
  uint64_t consumedBase_ = 0;
  bool eof_ = false;
};

std::string format(const char* fmt, ...) __attribute__((format(MEMLOG_PRINTF_FORMAT, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}

// Walks the blocks one at a time. Each step either delivers a block and returns true, or records
// why the walk ends (clean end, truncation, corruption) and returns false.
class BlockReader {
 public:
  BlockReader(Source& source, LogVisitor& visitor)
      : source_(source), visitor_(visitor), window_(source) {}

  ReadResult run() {
    while (nextBlock()) {
    }
    visitor_.onEnd();
    if (result_.status == ReadStatus::Ok && source_.failed()) {
      result_.status = ReadStatus::IoError;
      result_.problemOffset = window_.offset();
      result_.message = "read error";
    }
    return result_;
  }

 private:
  bool nextBlock() {
    start_ = window_.offset();
    if (start_ - lastProgress_ >= (8u << 20)) {
      lastProgress_ = start_;
      visitor_.onProgress(start_);
    }
    if (!window_.ensure(1)) return atEnd();
    uint32_t code = 0;
    if (!readRecord(code)) return false;
    const bool ok = code == MEMOP_MODULE ? readModuleBlock() : readEventBlock(code);
    if (ok) result_.bytes = window_.offset();
    return ok;
  }

  // A clean end between blocks; but a real log holds at least one event.
  bool atEnd() {
    if (start_ == 0) return corrupt(0, "not an allocation log: the file is empty");
    if (result_.events == 0) return truncated(start_, "no event after the module block");
    return false;
  }

  // The first bytes of a file must be a record: anything else is another kind of file, not a log
  // cut short.
  bool readRecord(uint32_t& code) {
    const bool whole = window_.ensure(kRecordSize);
    if (whole && recordIsSound(code)) return true;
    const std::string problem =
        whole ? recordProblem(code)
              : format("incomplete record, %zu of %u bytes", window_.available(), kRecordSize);
    if (problem.empty()) return true;
    if (start_ == 0) return corrupt(0, "not an allocation log: " + problem);
    return whole ? corrupt(start_, problem) : truncated(start_, problem);
  }

  // The common case, without building a message: zero padding and a known code.
  bool recordIsSound(uint32_t& code) const {
    const uint8_t* rec = window_.data();
    uint16_t head;
    uint32_t middle;
    uint64_t tail;
    static_assert(kRecordFieldBytes == 18 && kRecordSize == 32, "padding is bytes 18 to 31");
    memcpy(&head, rec + 18, 2);
    memcpy(&middle, rec + 20, 4);
    memcpy(&tail, rec + 24, 8);
    code = loadU32(rec + offsetof(MemLogRecord, code));
    return (head | middle | tail) == 0 && code < kOpCount;
  }

  std::string recordProblem(uint32_t& code) const {
    const uint8_t* rec = window_.data();
    for (uint32_t i = kRecordFieldBytes; i < kRecordSize; ++i)
      if (rec[i] != 0)
        return format("misaligned block: record byte %u is 0x%02x, not zero", i, rec[i]);
    code = loadU32(rec + offsetof(MemLogRecord, code));
    if (code >= kOpCount) return format("unknown operation code %" PRIu32, code);
    return std::string();
  }

  bool readModuleBlock() {
    if (start_ != 0)
      return corrupt(start_, "misaligned block: a module block may only start the log");
    if (!window_.ensure(kRecordSize + 4))
      return truncated(start_, "incomplete module block, no module count");
    const uint32_t count = loadU32(window_.data() + kRecordSize);
    const uint64_t tableLen = moduleTableLength(count);
    const int64_t fileLen = source_.length();
    const uint64_t tableStart = start_ + kRecordSize + 4;
    if (fileLen >= 0 && tableStart + tableLen > uint64_t(fileLen) && count > kWriterModuleCapacity)
      return corrupt(start_ + kRecordSize,
                     format("module count %" PRIu32 " overruns the file: %" PRIu64
                            " table bytes, %" PRIu64 " left",
                            count, tableLen, uint64_t(fileLen) - tableStart));
    window_.consume(kRecordSize + 4);
    const uint64_t pad = tableLen - uint64_t(count) * kModuleEntrySize;
    if (!readModuleEntries(count) || !window_.ensure(size_t(pad))) {
      if (count > kWriterModuleCapacity)
        return corrupt(start_ + kRecordSize,
                       format("module count %" PRIu32 " overruns the file", count));
      return truncated(start_,
                       format("incomplete module table, %" PRIu32 " modules announced", count));
    }
    window_.consume(size_t(pad));
    visitor_.onModules(modules_);
    return true;
  }

  bool readModuleEntries(uint32_t count) {
    modules_.clear();
    for (uint32_t i = 0; i < count; ++i) {
      if (!window_.ensure(kModuleEntrySize)) return false;
      ModuleInfo m;
      m.base = loadU32(window_.data() + offsetof(ModuleEntry, base));
      const char* name =
          reinterpret_cast<const char*>(window_.data() + offsetof(ModuleEntry, name));
      m.name.assign(name, strnlen(name, kModuleNameSize));
      modules_.push_back(std::move(m));
      window_.consume(kModuleEntrySize);
    }
    return true;
  }

  bool readEventBlock(uint32_t code) {
    if (!window_.ensure(kRecordSize + 4))
      return truncated(start_, "incomplete event block, no frame count");
    const uint32_t n = loadU32(window_.data() + kRecordSize);
    if (n > kMaxFrames)
      return corrupt(start_ + kRecordSize,
                     format("frame count %" PRIu32 " exceeds %u", n, kMaxFrames));
    const size_t blockLen = size_t(kRecordSize + stackBlockLength(n));
    if (!window_.ensure(blockLen))
      return truncated(start_, format("incomplete stack block, %" PRIu32 " frames announced", n));
    const uint8_t* rec = window_.data();
    if (frames_.size() < n) frames_.resize(n);
    for (uint32_t i = 0; i < n; ++i) frames_[i] = loadU32(rec + kRecordSize + 4 + 4 * i);
    Event e;
    e.number = ++result_.events;
    e.offset = start_;
    e.code = code;
    e.id = loadU32(rec + offsetof(MemLogRecord, id));
    e.address = loadU32(rec + offsetof(MemLogRecord, address));
    e.size = loadU32(rec + offsetof(MemLogRecord, size));
    e.region = loadU16(rec + offsetof(MemLogRecord, region));
    e.frameCount = n;
    e.frames = frames_.data();
    visitor_.onEvent(e);
    window_.consume(blockLen);
    return true;
  }

  bool truncated(uint64_t at, const std::string& what) {
    return stop(ReadStatus::Truncated, at, what);
  }
  bool corrupt(uint64_t at, const std::string& what) { return stop(ReadStatus::Corrupt, at, what); }
  bool stop(ReadStatus status, uint64_t at, const std::string& what) {
    result_.status = status;
    result_.problemOffset = at;
    result_.message = what;
    return false;
  }

  Source& source_;
  LogVisitor& visitor_;
  Window window_;
  ReadResult result_;
  std::vector<uint32_t> frames_;
  std::vector<ModuleInfo> modules_;
  uint64_t start_ = 0;  // offset of the block being read
  uint64_t lastProgress_ = 0;
};

}  // namespace

ReadResult readLog(Source& source, LogVisitor& visitor) {
  return BlockReader(source, visitor).run();
}

}  // namespace memlog
