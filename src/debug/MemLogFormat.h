// MemLogFormat: the layout of the binary allocation log ("MEM_LOG.bin"), defined once for the
// writer in the library (Win32dbghelp) and for the offline reader (tools/memlog). It uses
// fixed-width integers only and includes no Windows header, so that the reader, a portable host
// program, compiles it as it is; a change of layout made here reaches both sides, and the
// static_asserts stop a build whose structs no longer match the bytes on disk.
//
// The file: an optional module block first, then one event block per event. Every block opens
// with a 32-byte record; a record with code MEMOP_MODULE is followed by a 32-bit module count and
// the module table, any other by a stack block. Integers are little-endian on both targets,
// which is why the structs below can stand for the bytes.
#ifndef QUORKIT_MEMLOGFORMAT_H
#define QUORKIT_MEMLOGFORMAT_H

#include <cstddef>
#include <cstdint>

namespace quor {

// ---- Operation codes ----------------------------------------------------------------------

// Operation codes of a log record. The writer stores the new/delete families under the
// malloc-style codes (4 and 5); 6 to 9 are known to the reader only.
enum MemOp : uint32_t {
  MEMOP_NONE = 0,
  MEMOP_MODULE = 1,
  MEMOP_MALLOC = 2,
  MEMOP_MEMALIGN = 3,
  MEMOP_REALLOC = 4,
  MEMOP_FREE = 5,
  MEMOP_NEW = 6,
  MEMOP_DELETE = 7,
  MEMOP_NEW_ARRAY = 8,
  MEMOP_DELETE_ARRAY = 9
};

// Codes 0 to kMemOpCount - 1 are known; anything above is not a valid record.
constexpr uint32_t kMemOpCount = 10;

// The printed name of each code, indexed by the code.
inline constexpr const char* kMemOpNames[kMemOpCount] = {
    "none", "module", "malloc", "memalign",  "realloc",
    "free", "new",    "delete", "new_array", "delete_array"};

// The printed name of a code; an unknown code reads as "none", like code 0.
constexpr const char* memOpName(uint32_t code) {
  return code < kMemOpCount ? kMemOpNames[code] : kMemOpNames[MEMOP_NONE];
}

// ---- Record -------------------------------------------------------------------------------

// Bytes of fields in a record; the stored record is this rounded up to 16, the rest zero.
constexpr uint32_t kRecordFieldsSize = 18;
constexpr uint32_t kRecordSize = (kRecordFieldsSize + 15) & ~15u;

// The fields at the head of a record.
struct MemLogRecord {
  uint32_t code;
  uint32_t id;
  uint32_t address;
  uint32_t size;
  uint16_t region;
};

static_assert(kRecordSize == 32, "a log record is 32 bytes");
static_assert(offsetof(MemLogRecord, code) == 0 && offsetof(MemLogRecord, id) == 4 &&
                  offsetof(MemLogRecord, address) == 8 && offsetof(MemLogRecord, size) == 12 &&
                  offsetof(MemLogRecord, region) == 16,
              "four 32-bit fields, then the 16-bit region");
static_assert(offsetof(MemLogRecord, region) + sizeof(uint16_t) == kRecordFieldsSize,
              "the region ends the record's fields");
static_assert(sizeof(MemLogRecord) <= kRecordSize, "the fields fit the stored record");

// ---- Module block -------------------------------------------------------------------------

// Characters of a module name, NUL-terminated within them.
constexpr uint32_t kModuleNameSize = 2048;
// Stride of ModuleEntry items in the module table and in the log's module block.
constexpr uint32_t kModuleEntrySize = 2052;
// The writer's module table has room for this many entries; a longer listing is cut there.
constexpr uint32_t kModuleTableEntries = 128;

// One loaded module as listed at start-up and stored in the log's module block.
struct ModuleEntry {
  uint32_t base;               // low 32 bits of the load address
  char name[kModuleNameSize];  // NUL-terminated path or name
};
static_assert(offsetof(ModuleEntry, name) == 4, "the name follows the 32-bit base");
static_assert(sizeof(ModuleEntry) == kModuleEntrySize, "module entries are packed at 2,052 bytes");

// Length of a module table of `modules` entries, padded to 16; the count word in front of it
// is not included. 64-bit, so that a reader's hostile count cannot wrap to a short length.
constexpr uint64_t moduleTableLength(uint64_t modules) {
  return (modules * kModuleEntrySize + 15) & ~uint64_t(15);
}

// ---- Stack block --------------------------------------------------------------------------

// Words of the writer's capture buffer: the frame count, then at most kMaxLoggedFrames frames.
constexpr uint32_t kCaptureBufferWords = 32768;
constexpr uint32_t kMaxLoggedFrames = kCaptureBufferWords - 1;

// Length of a stack block of `frames` frames: the count word and the frames, padded to 16.
constexpr uint64_t stackBlockLength(uint64_t frames) {
  return (4 * frames + 4 + 15) & ~uint64_t(15);
}

static_assert(stackBlockLength(0) == 16 && stackBlockLength(3) == 16 && stackBlockLength(4) == 32,
              "a stack block of 0 to 3 frames is 16 bytes, of 4 to 7 frames 32");
static_assert(moduleTableLength(1) == 2064, "one module entry pads to 2,064 bytes");

}  // namespace quor

#endif
