// Block walker for allocation logs; see log_reader.h for the contract.
#include "log_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>

#include "log_format.h"

namespace memlog {

FileSource::FileSource(FILE* f) : file_(f) {
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) length_ = int64_t(st.st_size);
}

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

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}

}  // namespace

ReadResult readLog(Source& source, LogVisitor& visitor) {
  ReadResult r;
  Window w(source);
  std::vector<uint32_t> frames;
  std::vector<ModuleInfo> modules;
  uint64_t lastProgress = 0;

  auto truncated = [&](uint64_t at, const std::string& what) {
    r.status = ReadStatus::Truncated;
    r.problemOffset = at;
    r.message = what;
  };
  auto corrupt = [&](uint64_t at, const std::string& what) {
    r.status = ReadStatus::Corrupt;
    r.problemOffset = at;
    r.message = what;
  };

  for (;;) {
    const uint64_t start = w.offset();
    if (start - lastProgress >= (8u << 20)) {
      lastProgress = start;
      visitor.onProgress(start);
    }
    if (!w.ensure(1)) break;  // clean end between blocks
    if (!w.ensure(kRecordSize)) {
      truncated(start, format("incomplete record, %zu of %u bytes", w.available(), kRecordSize));
      break;
    }
    const uint8_t* rec = w.data();
    for (uint32_t i = kRecordFieldBytes; i < kRecordSize; ++i) {
      if (rec[i] != 0) {
        corrupt(start, format("misaligned block: record byte %u is 0x%02x, not zero", i, rec[i]));
        break;
      }
    }
    if (r.status != ReadStatus::Ok) break;
    const uint32_t code = loadU32(rec + offsetof(MemLogRecord, code));
    if (code >= kOpCount) {
      corrupt(start, format("unknown operation code %" PRIu32, code));
      break;
    }

    if (code == MEMOP_MODULE) {
      if (start != 0) {
        corrupt(start, "misaligned block: a module block may only start the log");
        break;
      }
      if (!w.ensure(kRecordSize + 4)) {
        truncated(start, "incomplete module block, no module count");
        break;
      }
      const uint32_t count = loadU32(w.data() + kRecordSize);
      const uint64_t tableLen = moduleTableLength(count);
      const int64_t fileLen = source.length();
      const bool overruns = fileLen >= 0 && start + kRecordSize + 4 + tableLen > uint64_t(fileLen);
      if (overruns && count > kWriterModuleCapacity) {
        corrupt(start + kRecordSize,
                format("module count %" PRIu32 " overruns the file: %" PRIu64
                       " table bytes, %" PRIu64 " left",
                       count, tableLen, uint64_t(fileLen) - (start + kRecordSize + 4)));
        break;
      }
      w.consume(kRecordSize + 4);
      modules.clear();
      bool ok = true;
      for (uint32_t i = 0; i < count; ++i) {
        if (!w.ensure(kModuleEntrySize)) {
          ok = false;
          break;
        }
        ModuleInfo m;
        m.base = loadU32(w.data() + offsetof(ModuleEntry, base));
        const char* name = reinterpret_cast<const char*>(w.data() + offsetof(ModuleEntry, name));
        m.name.assign(name, strnlen(name, kModuleNameSize));
        modules.push_back(std::move(m));
        w.consume(kModuleEntrySize);
      }
      const uint64_t pad = tableLen - uint64_t(count) * kModuleEntrySize;
      if (ok && !w.ensure(size_t(pad))) ok = false;
      if (!ok) {
        if (count > kWriterModuleCapacity)
          corrupt(start + kRecordSize, format("module count %" PRIu32 " overruns the file", count));
        else
          truncated(start, format("incomplete module table, %" PRIu32 " modules announced", count));
        break;
      }
      w.consume(size_t(pad));
      visitor.onModules(modules);
      r.bytes = w.offset();
      continue;
    }

    if (!w.ensure(kRecordSize + 4)) {
      truncated(start, "incomplete event block, no frame count");
      break;
    }
    const uint32_t n = loadU32(w.data() + kRecordSize);
    if (n > kMaxFrames) {
      corrupt(start + kRecordSize, format("frame count %" PRIu32 " exceeds %u", n, kMaxFrames));
      break;
    }
    const size_t blockLen = size_t(kRecordSize + stackBlockLength(n));
    if (!w.ensure(blockLen)) {
      truncated(start, format("incomplete stack block, %" PRIu32 " frames announced", n));
      break;
    }
    rec = w.data();
    if (frames.size() < n) frames.resize(n);
    for (uint32_t i = 0; i < n; ++i) frames[i] = loadU32(rec + kRecordSize + 4 + 4 * i);
    Event e;
    e.number = ++r.events;
    e.offset = start;
    e.code = code;
    e.id = loadU32(rec + offsetof(MemLogRecord, id));
    e.address = loadU32(rec + offsetof(MemLogRecord, address));
    e.size = loadU32(rec + offsetof(MemLogRecord, size));
    e.region = loadU16(rec + offsetof(MemLogRecord, region));
    e.frameCount = n;
    e.frames = frames.data();
    visitor.onEvent(e);
    w.consume(blockLen);
    r.bytes = w.offset();
  }
  if (r.status == ReadStatus::Ok && source.failed()) {
    r.status = ReadStatus::IoError;
    r.problemOffset = w.offset();
    r.message = "read error";
  }
  return r;
}

}  // namespace memlog
