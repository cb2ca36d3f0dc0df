// The memory tracker of the library built with the memory log: the live side of quor::Platform's
// memory-tracking interface. Every event of the memory services (PlatformMemoryLogged.cpp) comes
// through here: the block enters or leaves the live-block table, the counters move, the event is
// written to the allocation log with its call stack (Win32dbghelp's logMemoryEvent), and the
// application's handler sees it. When the library terminates, or the process detaches without
// terminate, each block still live is reported with the stack of its allocation
// (Win32dbghelp's reportLeak), followed by one summary line on the debugger channel.
//
// Serialisation and lock order. The debug-help module's record and capture buffers are single and
// unlocked, so its calls must not overlap; the module's own critical section is taken inside it,
// around the debug-help queries. Every event here, from the table lookup to the last byte
// written, runs under the library's global lock, and the leak report at terminate/detach does
// too. So the order is always global lock, then the module's lock, never the reverse: nothing
// inside the module takes the global lock (it calls no Platform member and allocates nothing
// through these services). The only code that runs under the global lock and can take it again
// is the application's: the diagnosis of a bad release (as for any diagnosis of the library) and
// the tracker handler, both on the thread that holds it (the lock is recursive).
//
// A null release (free(nullptr), delete of a null pointer) is no event: it is passed to the
// allocator, which ignores it, and it is not logged, counted or shown to the handler.
#include <windows.h>

#include <quor/Platform.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "ModuleId.h"
#include "PlatformInternal.h"
#include "debug/MemLogFormat.h"
#include "debug/Win32dbghelp.h"
#include "memlog/MemoryTracker.h"

QUOR_MODULE_ID(kWin32MemoryTrackerModuleId, "Win32MemoryTracker.cpp",
               "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

namespace {

typedef Platform::DebugMemTag Tag;

const unsigned char kFillOnAlloc = 0xCD;
const unsigned char kFillOnFree = 0xDD;

// Everything the tracker keeps; read and written only with the global lock held, except the
// plain switches (debug level, channels, features, break serial, comment), which are single
// words set by the application and read as they are.
struct TrackerState {
  LiveBlockTable table;
  unsigned int nextSerial = 1;
  unsigned int liveBytes = 0;
  unsigned int peakBytes = 0;
  unsigned int totalAllocs = 0;
  unsigned int totalFrees = 0;
  unsigned int totalReallocs = 0;
  unsigned int breakSerial = 0;
  Platform::MemTrackerCallback handler = nullptr;
  bool inHandler = false;  // events of the handler's own allocations are not shown to it
  const char* comment = nullptr;
  int debugLevel = 0;
  unsigned int debugInfo = 0;  // DebugInfo bits that are on
  unsigned int features = 0;   // bit n: DebugFeature n is on
  bool moduleStarted = false;  // the debug-help module was started by the tracker
  bool tracked = false;        // at least one event was recorded
  bool terminated = false;     // terminate reported the live blocks
  bool detached = false;       // process detach ran: the lock is gone, logging is over
};

TrackerState g_tracker;

// The public operation codes are the log's: a tag's op is written to the log as it is and named
// by the log's table, so the two enumerations must not drift apart.
constexpr bool sameCode(unsigned int op, MemOp code) {
  return op == static_cast<unsigned int>(code);
}
static_assert(sameCode(Tag::OP_MALLOC, MEMOP_MALLOC) &&
                  sameCode(Tag::OP_MEMALIGN, MEMOP_MEMALIGN) &&
                  sameCode(Tag::OP_REALLOC, MEMOP_REALLOC) && sameCode(Tag::OP_FREE, MEMOP_FREE),
              "the malloc-family codes are the log's");
static_assert(sameCode(Tag::OP_NEW, MEMOP_NEW) && sameCode(Tag::OP_DELETE, MEMOP_DELETE) &&
                  sameCode(Tag::OP_NEW_ARRAY, MEMOP_NEW_ARRAY) &&
                  sameCode(Tag::OP_DELETE_ARRAY, MEMOP_DELETE_ARRAY),
              "the new/delete codes are the log's");

unsigned int addressOf(const void* block) {
  return static_cast<unsigned int>(reinterpret_cast<DWORD_PTR>(block));
}

void* pointerOf(unsigned int address) {
  return reinterpret_cast<void*>(static_cast<DWORD_PTR>(address));
}

bool featureOn(Platform::DebugFeature feature) { return (g_tracker.features >> feature) & 1u; }

Tag tagOf(const LiveBlock& block, unsigned short op) {
  Tag tag;
  tag.block = pointerOf(block.address);
  tag.size = block.size;
  tag.serial = block.serial;
  tag.region = block.region;
  tag.op = op;
  tag.comment = block.comment;
  return tag;
}

// Checks the table against the counters and every block's reachability by its own address;
// diagnoses the first mismatch. Under the lock.
void checkTable() {
  LiveBlockTable& table = g_tracker.table;
  unsigned int blocks = 0;
  unsigned int bytes = 0;
  for (unsigned int i = 0; i < table.capacity(); ++i) {
    const LiveBlock& block = table.slot(i);
    if (block.address == 0) continue;
    ++blocks;
    bytes += block.size;
    if (table.find(block.address) != &block) {
      Platform::diagnosis(LEVEL_ERROR,
                          "memory tracker: block 0x%08X cannot be found by its address.",
                          block.address);
      return;
    }
  }
  const unsigned int live = g_tracker.totalAllocs - g_tracker.totalFrees;
  if (blocks != table.count() || blocks != live || bytes != g_tracker.liveBytes) {
    Platform::diagnosis(LEVEL_ERROR,
                        "memory tracker: the table holds %u blocks, %u bytes; the counters say %u "
                        "blocks, %u bytes.",
                        blocks, bytes, live, g_tracker.liveBytes);
  }
}

// Common head of every event, under the lock: the optional self-check, and the debug-help module
// started before the first event is logged, so that even the first one has its stack.
void beginEvent() {
  if (featureOn(Platform::FEATURE_CHECK_ON_EVERY_CALL)) checkTable();
  if (!g_tracker.moduleStarted) {
    g_tracker.moduleStarted = true;
    if (_dbgHelp.pRecord == nullptr) initializeDbgHelp();
  }
  g_tracker.tracked = true;
}

// Logs one event (with the calling thread's current region) and shows it to the channel and the
// handler, under the lock.
void publishEvent(const LiveBlock& block, unsigned short op, unsigned short region) {
  logMemoryEvent(memOpName(op), block.serial, block.address, block.size, region);
  if (g_tracker.debugInfo & DEBUG_INFO_MEMORY) {
    Platform::printf("memory: %s {%u} 0x%08X, %u bytes, region 0x%04X\n", memOpName(op),
                     block.serial, block.address, block.size, static_cast<unsigned int>(region));
  }
  if (g_tracker.handler != nullptr && !g_tracker.inHandler) {
    g_tracker.inHandler = true;
    const Tag tag = tagOf(block, op);
    g_tracker.handler(tag);
    g_tracker.inHandler = false;
  }
}

// A new block into the table and the log; false when the table is full. Under the lock.
bool recordAllocation(unsigned short op, void* block, unsigned int size, unsigned int* serial) {
  LiveBlock entry;
  entry.address = addressOf(block);
  entry.size = size;
  entry.serial = g_tracker.nextSerial;
  entry.region = Platform::getCurrentDebugRegion();
  entry.op = static_cast<unsigned char>(op);
  entry.reported = 0;
  entry.comment = g_tracker.comment;
  if (!g_tracker.table.insert(entry)) return false;
  ++g_tracker.nextSerial;
  ++g_tracker.totalAllocs;
  g_tracker.liveBytes += size;
  if (g_tracker.liveBytes > g_tracker.peakBytes) g_tracker.peakBytes = g_tracker.liveBytes;
  *serial = entry.serial;
  publishEvent(entry, op, entry.region);
  return true;
}

// A live block out of the table and into the log. Under the lock.
void recordRelease(unsigned short op, const LiveBlock& removed) {
  ++g_tracker.totalFrees;
  g_tracker.liveBytes -= removed.size;
  publishEvent(removed, op, Platform::getCurrentDebugRegion());
}

void diagnoseNotLive(const char* what, const void* block) {
  Platform::diagnosis(LEVEL_ERROR, "%s of 0x%08X, which is not a live block.", what,
                      addressOf(block));
}

// Stops at the allocation the application asked for, after the event is complete and the lock
// released, so that a debugger finds the block in the table and no thread waiting on the lock.
void breakIfAsked(unsigned int serial) {
  if (serial != 0 && serial == g_tracker.breakSerial) DebugBreak();
}

// One line of a dump, in the leak report's own layout, plus the comment when there is one.
int formatBlockLine(char* line, size_t size, const LiveBlock& block) {
  return snprintf(line, size, "<<%s>>: {0x%08X} 0x%08X, %u bytes. region 0x%04X%s%s%s\n",
                  memOpName(block.op), block.serial, block.address, block.size,
                  static_cast<unsigned int>(block.region), block.comment ? " \"" : "",
                  block.comment ? block.comment : "", block.comment ? "\"" : "");
}

// One value of the tracker read under the lock, so that a reader never sees a counter half-way
// through an event.
template <typename Read>
unsigned int readUnderLock(Read read) {
  Platform::lock();
  const unsigned int value = read();
  Platform::unlock();
  return value;
}

// The live blocks of the regions first..last, in serial order, copied under the lock.
bool snapshotBlocks(LiveBlockSnapshot& snapshot, unsigned short first, unsigned short last) {
  Platform::lock();
  const bool taken = snapshot.take(g_tracker.table, first, last);
  Platform::unlock();
  return taken;
}

void callBack(Platform::MemTrackerCallback callback, unsigned short first, unsigned short last) {
  if (callback == nullptr) return;
  LiveBlockSnapshot snapshot;
  if (!snapshotBlocks(snapshot, first, last)) return;
  for (unsigned int i = 0; i < snapshot.count(); ++i) callback(tagOf(snapshot[i], snapshot[i].op));
}

void dumpBlocks(const char* fileName, unsigned short first, unsigned short last) {
  LiveBlockSnapshot snapshot;
  if (!snapshotBlocks(snapshot, first, last)) {
    OutputDebugStringA("memory tracker: no memory for the dump\n");
    return;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  if (fileName != nullptr) {
    file = CreateFileA(fileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
  }
  char line[1024];
  unsigned int bytes = 0;
  for (unsigned int i = 0; i <= snapshot.count(); ++i) {
    int length;
    if (i < snapshot.count()) {
      bytes += snapshot[i].size;
      length = formatBlockLine(line, sizeof line, snapshot[i]);
    } else {
      length = snprintf(line, sizeof line, "%u blocks, %u bytes\n", snapshot.count(), bytes);
    }
    if (length < 0) continue;
    if (length >= static_cast<int>(sizeof line)) length = sizeof line - 1;
    if (file == INVALID_HANDLE_VALUE) {
      OutputDebugStringA(line);
    } else {
      DWORD written = 0;
      WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    }
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace

// ---- the events -----------------------------------------------------------------------------

void* trackAllocation(unsigned short op, void* block, unsigned int size) {
  if (block == nullptr) return nullptr;
  if (g_tracker.detached) return block;
  unsigned int serial = 0;
  Platform::lock();
  beginEvent();
  const bool recorded = recordAllocation(op, block, size, &serial);
  Platform::unlock();
  if (!recorded) {
    // No room to track it: the application gets what any failed allocation gives.
    sysFree(block);
    return nullptr;
  }
  if (featureOn(Platform::FEATURE_FILL_ON_ALLOC)) memset(block, kFillOnAlloc, size);
  breakIfAsked(serial);
  return block;
}

bool trackRelease(unsigned short op, void* block) {
  if (block == nullptr) return true;
  if (g_tracker.detached) return g_tracker.table.remove(addressOf(block), nullptr);
  Platform::lock();
  beginEvent();
  LiveBlock removed;
  const bool live = g_tracker.table.remove(addressOf(block), &removed);
  if (live) {
    recordRelease(op, removed);
  } else {
    diagnoseNotLive(memOpName(op), block);
  }
  Platform::unlock();
  if (live && featureOn(Platform::FEATURE_FILL_ON_FREE)) memset(block, kFillOnFree, removed.size);
  return live;
}

void* trackReallocation(void* block, unsigned int size, Reallocator reallocate) {
  if (g_tracker.detached) return reallocate(block, size);
  unsigned int serial = 0;
  void* result = nullptr;
  Platform::lock();
  beginEvent();
  LiveBlock* old = block != nullptr ? g_tracker.table.find(addressOf(block)) : nullptr;
  if (block != nullptr && old == nullptr) {
    // Handing the allocator a pointer it never gave out could bring the process down.
    diagnoseNotLive("realloc", block);
  } else {
    const unsigned int oldSize = old != nullptr ? old->size : 0;
    result = reallocate(block, size);
    // Null with a size asked for: the old block is untouched and still live, nothing happened.
    // Null for size 0: the allocator released the old block.
    if (old != nullptr && (result != nullptr || size == 0)) {
      LiveBlock removed;
      g_tracker.table.remove(addressOf(block), &removed);
      recordRelease(Tag::OP_FREE, removed);
    }
    if (result != nullptr) {
      ++g_tracker.totalReallocs;
      // Cannot fail after a removal: the table has just given back the slot it needs. Only a
      // realloc of null (an allocation) can meet a full table.
      if (!recordAllocation(Tag::OP_REALLOC, result, size, &serial)) {
        --g_tracker.totalReallocs;
        sysFree(result);
        result = nullptr;
      } else if (featureOn(Platform::FEATURE_FILL_ON_ALLOC) && size > oldSize) {
        memset(static_cast<char*>(result) + oldSize, kFillOnAlloc, size - oldSize);
      }
    }
  }
  Platform::unlock();
  breakIfAsked(serial);
  return result;
}

LiveBlockTable& trackedBlocksForTesting() { return g_tracker.table; }

// ---- terminate and process detach -----------------------------------------------------------

void reportLiveBlocks(bool atDetach) {
  if (g_tracker.detached) return;
  Platform::lock();
  if (!g_tracker.tracked) {
    g_tracker.detached = atDetach;
    Platform::unlock();
    return;
  }
  // Blocks already named by terminate are not named again at detach; the summary is repeated
  // only when detach had something new to say.
  unsigned int reported = 0;
  LiveBlockSnapshot snapshot;
  LiveBlockTable& table = g_tracker.table;
  if (snapshot.take(table, 0, 0xFFFF)) {
    for (unsigned int i = 0; i < snapshot.count(); ++i) {
      LiveBlock* block = table.find(snapshot[i].address);
      if (block == nullptr || block->reported) continue;
      reportLeak(block->serial, block->address, block->size);
      block->reported = 1;
      ++reported;
    }
  } else {
    // No memory for the serial order: table order will do.
    for (unsigned int i = 0; i < table.capacity(); ++i) {
      LiveBlock& block = table.slot(i);
      if (block.address == 0 || block.reported) continue;
      reportLeak(block.serial, block.address, block.size);
      block.reported = 1;
      ++reported;
    }
  }
  if (!atDetach || !g_tracker.terminated || reported != 0) {
    char line[128];
    snprintf(line, sizeof line, "quorkit: %u blocks, %u bytes still allocated\n", table.count(),
             g_tracker.liveBytes);
    OutputDebugStringA(line);
  }
  if (atDetach) {
    closeMemLog();
    g_tracker.detached = true;
  } else {
    g_tracker.terminated = true;
  }
  Platform::unlock();
}

// ---- the tracking interface -----------------------------------------------------------------

int Platform::dprintf(int level, const char* format, ...) {
  if (level > g_tracker.debugLevel) return 0;
  va_list arguments;
  va_start(arguments, format);
  const int result = vprintf(format, arguments);
  va_end(arguments);
  return result;
}

int Platform::diprintf(DebugInfo info, const char* format, ...) {
  if ((g_tracker.debugInfo & static_cast<unsigned int>(info)) == 0) return 0;
  va_list arguments;
  va_start(arguments, format);
  const int result = vprintf(format, arguments);
  va_end(arguments);
  return result;
}

unsigned int Platform::getAllocCount() {
  return readUnderLock([] { return g_tracker.table.count(); });
}

unsigned int Platform::getAllocSize() {
  return readUnderLock([] { return g_tracker.liveBytes; });
}

unsigned int Platform::getTotalAllocCount() {
  return readUnderLock([] { return g_tracker.totalAllocs; });
}

unsigned int Platform::getTotalFreeCount() {
  return readUnderLock([] { return g_tracker.totalFrees; });
}

unsigned int Platform::getTotalReallocCount() {
  return readUnderLock([] { return g_tracker.totalReallocs; });
}

int Platform::getDebugLevel() { return g_tracker.debugLevel; }

void Platform::setDebugLevel(int level) { g_tracker.debugLevel = level; }

const char* Platform::getCurrentComment() { return g_tracker.comment; }

void Platform::setCurrentComment(const char* comment) { g_tracker.comment = comment; }

Platform::MemTrackerCallback Platform::setMemTrackerHandler(MemTrackerCallback handler) {
  lock();
  MemTrackerCallback previous = g_tracker.handler;
  g_tracker.handler = handler;
  unlock();
  return previous;
}

void Platform::setDebugInfo(DebugInfo info, bool enabled) {
  if (enabled) {
    g_tracker.debugInfo |= static_cast<unsigned int>(info);
  } else {
    g_tracker.debugInfo &= ~static_cast<unsigned int>(info);
  }
}

bool Platform::getDebugInfo(DebugInfo info) {
  const unsigned int bits = static_cast<unsigned int>(info);
  return bits != 0 && (g_tracker.debugInfo & bits) == bits;
}

void Platform::setSpecialDebugState(DebugFeature feature, bool enabled) {
  if (feature <= FEATURE_NONE || feature > FEATURE_CHECK_ON_EVERY_CALL) return;
  if (enabled) {
    g_tracker.features |= 1u << feature;
  } else {
    g_tracker.features &= ~(1u << feature);
  }
}

bool Platform::getSpecialDebugState(DebugFeature feature) {
  if (feature <= FEATURE_NONE || feature > FEATURE_CHECK_ON_EVERY_CALL) return false;
  return featureOn(feature);
}

void Platform::setBreakBySerial(unsigned int serial) { g_tracker.breakSerial = serial; }

void Platform::validateMemoryBlock(void* block) {
  lock();
  if (g_tracker.table.find(addressOf(block)) == nullptr)
    diagnoseNotLive("validateMemoryBlock", block);
  unlock();
}

void Platform::checkMemoryBlocks(MemTrackerCallback callback) {
  lock();
  checkTable();
  unlock();
  callBack(callback, 0, 0xFFFF);
}

void Platform::dumpTracker(const char* fileName) { dumpBlocks(fileName, 0, 0xFFFF); }

void Platform::dumpTrackerCb(MemTrackerCallback callback) { callBack(callback, 0, 0xFFFF); }

void Platform::dumpRegion(unsigned short first, unsigned short last, const char* fileName) {
  dumpBlocks(fileName, first, last);
}

void Platform::dumpRegionCb(MemTrackerCallback callback, unsigned short first,
                            unsigned short last) {
  callBack(callback, first, last);
}

void Platform::getMemInfo(MemInfo& info, unsigned int flags) {
  lock();
  info.liveCount = g_tracker.table.count();
  info.liveBytes = g_tracker.liveBytes;
  info.peakBytes = g_tracker.peakBytes;
  info.totalAllocs = g_tracker.totalAllocs;
  info.totalFrees = g_tracker.totalFrees;
  info.totalReallocs = g_tracker.totalReallocs;
  if (flags & MemInfo::RESET_PEAK) g_tracker.peakBytes = g_tracker.liveBytes;
  unlock();
}

}  // namespace quor
