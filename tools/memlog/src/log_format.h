// Layout of the allocation log ("MEM_LOG.bin") as the debug-help module writes it:
// a 32-byte record heads every block; a record with code 1 is followed by the module
// count and table, any other by a stack block. Everything is little-endian and every
// variable-length part is padded with zeros to a multiple of 16 bytes.
#pragma once

#include <cstdint>
#include <cstring>

namespace memlog {

constexpr uint32_t kRecordSize = 32;
constexpr uint32_t kRecordFieldBytes = 18;      // code, id, address, size, region
constexpr uint32_t kModuleEntrySize = 2052;     // 32-bit base + 2048-character name
constexpr uint32_t kModuleNameSize = 2048;
constexpr uint32_t kMaxFrames = 32767;          // the capture buffer holds 32768 words
// The writer's module table has room for 128 entries. A count above that cannot come
// from a healthy writer, so when such a count also runs past the end of the file the
// count is taken as corrupt rather than the file as cut short.
constexpr uint32_t kWriterModuleCapacity = 128;

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
    MEMOP_DELETE_ARRAY = 9,
};
constexpr uint32_t kOpCount = 10;

inline const char* opName(uint32_t code) {
    static const char* const names[kOpCount] = {"none",   "module", "malloc", "memalign",  "realloc",
                                                 "free",   "new",    "delete", "new_array", "delete_array"};
    return code < kOpCount ? names[code] : "none";
}

inline bool isAllocation(uint32_t code) {
    return code == MEMOP_MALLOC || code == MEMOP_MEMALIGN || code == MEMOP_REALLOC || code == MEMOP_NEW ||
           code == MEMOP_NEW_ARRAY;
}

inline bool isRelease(uint32_t code) {
    return code == MEMOP_FREE || code == MEMOP_DELETE || code == MEMOP_DELETE_ARRAY;
}

constexpr uint64_t roundUp16(uint64_t n) { return (n + 15) & ~uint64_t(15); }

// Length of the stack block holding n frames (count word included).
constexpr uint64_t stackBlockLength(uint64_t frames) { return roundUp16(4 * frames + 4); }

// Length of the module table holding n entries (count word excluded).
constexpr uint64_t moduleTableLength(uint64_t modules) { return roundUp16(modules * kModuleEntrySize); }

inline uint32_t loadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint16_t loadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace memlog
