// The reader's view of the allocation log ("MEM_LOG.bin") as the debug-help module writes it:
// a 32-byte record heads every block; a record with code 1 is followed by the module
// count and table, any other by a stack block. Everything is little-endian and every
// variable-length part is padded with zeros to a multiple of 16 bytes. The reader takes the
// names it uses into its own namespace and adds what only it needs: which codes allocate or
// release, and little-endian loads that do not depend on the host's byte order.
#ifndef QUORKIT_MEMLOG_LOG_FORMAT_H
#define QUORKIT_MEMLOG_LOG_FORMAT_H

#include <cstdint>
#include <cstring>

// The layout itself (codes, record, module and stack blocks) is the library's own definition,
// shared with the writer, so the two cannot drift apart.
#include "debug/MemLogFormat.h"

namespace memlog {

using quor::kModuleEntrySize;
using quor::kModuleNameSize;
using quor::kRecordSize;
using quor::MemLogRecord;
using quor::ModuleEntry;
using quor::moduleTableLength;
using quor::stackBlockLength;

constexpr uint32_t kRecordFieldBytes = quor::kRecordFieldsSize;  // code, id, address, size, region
constexpr uint32_t kMaxFrames = quor::kMaxLoggedFrames;
// A count above the writer's table capacity cannot come from a healthy writer, so when such a
// count also runs past the end of the file the count is taken as corrupt rather than the file
// as cut short.
constexpr uint32_t kWriterModuleCapacity = quor::kModuleTableEntries;

using quor::MemOp;
using quor::MEMOP_DELETE;
using quor::MEMOP_DELETE_ARRAY;
using quor::MEMOP_FREE;
using quor::MEMOP_MALLOC;
using quor::MEMOP_MEMALIGN;
using quor::MEMOP_MODULE;
using quor::MEMOP_NEW;
using quor::MEMOP_NEW_ARRAY;
using quor::MEMOP_NONE;
using quor::MEMOP_REALLOC;
constexpr uint32_t kOpCount = quor::kMemOpCount;

inline const char* opName(uint32_t code) { return quor::memOpName(code); }

// One bit per code: a test per event instead of a chain of comparisons.
constexpr uint32_t kAllocatingCodes = 1u << MEMOP_MALLOC | 1u << MEMOP_MEMALIGN |
                                      1u << MEMOP_REALLOC | 1u << MEMOP_NEW | 1u << MEMOP_NEW_ARRAY;
constexpr uint32_t kReleasingCodes =
    1u << MEMOP_FREE | 1u << MEMOP_DELETE | 1u << MEMOP_DELETE_ARRAY;

inline bool isAllocation(uint32_t code) { return code < 32 && (kAllocatingCodes >> code & 1); }

inline bool isRelease(uint32_t code) { return code < 32 && (kReleasingCodes >> code & 1); }

inline uint32_t loadU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint16_t loadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_LOG_FORMAT_H
