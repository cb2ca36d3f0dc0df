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
// short file cannot make the reader reserve memory the file cannot back. Its storage is words,
// so that frames can be read where they lie: every block starts at a multiple of 4.
class Window {
 public:
  explicit Window(Source& s) : src_(s), length_(s.length()) {}

  // Makes n bytes available at data(); false when the source ends first.
  bool ensure(size_t n) {
    if (end_ - pos_ >= n) return true;
    if (pos_ > 0) {
      memmove(bytes(), bytes() + pos_, end_ - pos_);
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
      if (capacity() < cap) words_.resize(size_t((cap + 3) / 4));
      const size_t got = src_.read(bytes() + end_, capacity() - end_);
      if (got == 0) eof_ = true;
      end_ += got;
    }
    return true;
  }
  size_t available() const { return end_ - pos_; }
  const uint8_t* data() const { return bytes() + pos_; }
  void consume(size_t n) { pos_ += n; }
  uint64_t offset() const { return consumedBase_ + pos_; }

 private:
  static constexpr size_t kChunk = 128 << 10;  // read into, then parsed from, the L2 cache
  static constexpr size_t kStep = 256 << 10;
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(words_.data()); }
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(words_.data()); }
  size_t capacity() const { return 4 * words_.size(); }
  Source& src_;
  const int64_t length_;
  std::vector<uint32_t> words_;
  size_t pos_ = 0;
  size_t end_ = 0;
  uint64_t consumedBase_ = 0;
  bool eof_ = false;
};

constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

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
  BlockReader(Source& source, LogVisitor& visitor, LogVisitor* observer, ProgressListener* progress)
      : source_(source),
        visitor_(visitor),
        observer_(observer),
        progress_(progress),
        window_(source) {}

  ReadResult run() {
    do {
      deliverWholeEvents();
    } while (nextBlock());
    visitor_.onEnd();
    if (observer_) observer_->onEnd();
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
    if (progress_ && start_ - lastProgress_ >= (8u << 20)) {
      lastProgress_ = start_;
      progress_->onProgress(start_, result_.events);
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

  // The bulk of a log: sound event blocks wholly in the window, delivered where they lie. It stops
  // at anything else (the module block, damage, a block the window cuts) for nextBlock to read or
  // explain.
  void deliverWholeEvents() {
    const uint8_t* const base = window_.data();
    const uint8_t* const end = base + window_.available();
    const uint8_t* p = base;
    uint64_t number = result_.events, offset = window_.offset();
    size_t held = 0;
    uint32_t code;
    while (size_t(end - p) >= kRecordSize + 4 && recordIsSound(p, code) && code != MEMOP_MODULE) {
      const uint32_t n = loadU32(p + kRecordSize);
      const size_t blockLen = size_t(kRecordSize + stackBlockLength(n));
      if (n > kMaxFrames || size_t(end - p) < blockLen) break;
      fillEvent(run_[held], p, code, n, ++number, offset);
      if (observer_) {
        deliver(run_[held]);
      } else if (++held == kRun) {
        visitor_.onEvents(run_, held);
        held = 0;
      }
      p += blockLen;
      offset += blockLen;
    }
    if (held) visitor_.onEvents(run_, held);
    result_.events = number;
    window_.consume(size_t(p - base));
    if (p != base) result_.bytes = window_.offset();
  }

  static constexpr size_t kRun = 32;  // events handed over at once

  // The event of the block at rec, whose whole stack is in the window.
  void fillEvent(Event& e, const uint8_t* rec, uint32_t code, uint32_t n, uint64_t number,
                 uint64_t offset) {
    e.number = number;
    e.offset = offset;
    e.code = code;
    e.id = loadU32(rec + offsetof(MemLogRecord, id));
    e.address = loadU32(rec + offsetof(MemLogRecord, address));
    e.size = loadU32(rec + offsetof(MemLogRecord, size));
    e.region = loadU16(rec + offsetof(MemLogRecord, region));
    e.frameCount = n;
    e.frames = framesAt(rec + kRecordSize + 4, n);
  }

  // The frames as the host's words, where they lie: every block starts at a multiple of 4 (a
  // record and a stack block are multiples of 16, a module block 4 more), and so does the window.
  // A big-endian host turns them around in place; they are read once.
  const uint32_t* framesAt(const uint8_t* at, uint32_t n) {
    uint32_t* words = reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(at));
    if (!kLittleEndianHost)
      for (uint32_t i = 0; i < n; ++i) words[i] = loadU32(at + size_t{4} * i);
    return words;
  }

  void deliver(const Event& e) {
    visitor_.onEvent(e);
    if (observer_) observer_->onEvent(e);
  }

  bool recordIsSound(uint32_t& code) const { return recordIsSound(window_.data(), code); }

  // The common case, without building a message: zero padding and a known code.
  static bool recordIsSound(const uint8_t* rec, uint32_t& code) {
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
    if (observer_) observer_->onModules(modules_);
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
    Event e;
    fillEvent(e, window_.data(), code, n, ++result_.events, start_);
    if (observer_)
      deliver(e);
    else
      visitor_.onEvents(&e, 1);  // one of the run the window cut
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
  LogVisitor* const observer_;
  ProgressListener* const progress_;
  Window window_;
  ReadResult result_;
  Event run_[kRun];
  std::vector<ModuleInfo> modules_;
  uint64_t start_ = 0;  // offset of the block being read
  uint64_t lastProgress_ = 0;
};

}  // namespace

ReadResult readLog(Source& source, LogVisitor& visitor, LogVisitor* observer,
                   ProgressListener* progress) {
  return BlockReader(source, visitor, observer, progress).run();
}

}  // namespace memlog
