// quor::Platform: the library's services to application code — lifecycle and the global lock,
// memory, diagnosis and formatted output, debug regions, runtime facades and timing. Every
// service is a static member; the class has no instance data.
#ifndef QUORKIT_PLATFORM_H
#define QUORKIT_PLATFORM_H

#include <quor/Export.h>

#include <stdarg.h>
#include <stdio.h>

namespace quor {

// Severity of a diagnosis; a lower value is more severe. Passed as a 32-bit signed integer, so
// values outside the four names reach the handlers too: the fixed underlying type makes -1, 4, 5
// and 7 values of the type rather than undefined behaviour.
enum ErrorLevel : int { LEVEL_FATAL = 0, LEVEL_ERROR = 1, LEVEL_WARNING = 2, LEVEL_INFO = 3 };

typedef void (*DiagnosisHandler)(ErrorLevel level, const char* message);

// Debug output channels of the memory-tracking interface, a bit set: setDebugInfo switches
// channels on and off, getDebugInfo is true when every channel named is on, and diprintf prints
// when any channel it names is on. With DEBUG_INFO_MEMORY on, a library built with the memory
// log prints one line per memory event. All channels are off at load; in the default build they
// stay off and diprintf prints nothing.
enum DebugInfo {
  DEBUG_INFO_NONE = 0,
  DEBUG_INFO_MEMORY = 1,
  DEBUG_INFO_REGIONS = 2,
  DEBUG_INFO_ALL = 3
};

// Configuration passed to Platform::initialize. The library fixes the layout and the defaults
// only and reads none of the fields; applications may use them as they see fit.
struct QUOR_API PlatformConfig {
  unsigned char byte0;
  unsigned char byte1;
  unsigned char byte2;
  unsigned char byte3;

  PlatformConfig();
  PlatformConfig& operator=(const PlatformConfig& other);
};

class QUOR_API Platform {
 public:
  // ---- memory tracking ----
  // In the default build every member of this interface is inert: it answers 0, null or false,
  // stores nothing and calls nothing. A library built with the memory log (CMake option
  // QUORKIT_MEMORY_LOG) tracks every block of malloc, memalign, realloc and the class's
  // operators, writes each event with its call stack to "<executable>.MEM_LOG.bin", and at
  // terminate (or process detach) reports each block still allocated to
  // "<executable>.memleak.TXT" and the debugger channel. The descriptions below are that
  // build's; the README's "The leak-tracking build" has the whole story.

  // Switches of the memory tracker (getSpecialDebugState/setSpecialDebugState), all off at load.
  enum DebugFeature {
    FEATURE_NONE = 0,
    // New bytes are filled with 0xCD: a whole block from malloc/memalign/new, the grown tail of
    // a realloc. Shows reads of memory never written.
    FEATURE_FILL_ON_ALLOC = 1,
    // A block is filled with 0xDD before free or delete releases it. Shows use after release.
    FEATURE_FILL_ON_FREE = 2,
    // Every event first checks the tracker's own table as checkMemoryBlocks does (costs time in
    // proportion to the live blocks).
    FEATURE_CHECK_ON_EVERY_CALL = 3
  };

  // One tracked memory block or event, as a tracker callback sees it. The handler of
  // setMemTrackerHandler gets one tag per event (an allocation: the new block; a release: the
  // block released); checkMemoryBlocks, dumpTrackerCb and dumpRegionCb pass one tag per live
  // block, with `op` the operation that allocated it.
  struct DebugMemTag {
    // Operation codes: the allocation log's, with the new/delete forms told apart.
    enum Op {
      OP_MALLOC = 2,
      OP_MEMALIGN = 3,
      OP_REALLOC = 4,  // the block a realloc produced
      OP_FREE = 5,     // free, and the release of the old block inside a realloc
      OP_NEW = 6,
      OP_DELETE = 7,
      OP_NEW_ARRAY = 8,
      OP_DELETE_ARRAY = 9
    };
    void* block;            // the block's address as the application sees it
    unsigned int size;      // bytes asked for
    unsigned int serial;    // per-process allocation number, from 1; the log's event id
    unsigned short region;  // debug region current at the allocation
    unsigned short op;      // an Op
    const char* comment;    // setCurrentComment's text at the allocation, or null
  };

  // Totals of the memory tracker (getMemInfo). The totals count since load: every block
  // produced (realloc's new block included), every block released (realloc's old block
  // included), and every realloc that produced a block; so liveCount is always
  // totalAllocs - totalFrees.
  struct MemInfo {
    // getMemInfo flag: after reading, the peak starts again from the live bytes of the moment.
    enum { RESET_PEAK = 1 };

    unsigned int liveCount;      // blocks allocated and not yet released
    unsigned int liveBytes;      // their bytes
    unsigned int peakBytes;      // the most live bytes seen at once
    unsigned int totalAllocs;    // allocations since load
    unsigned int totalFrees;     // releases since load
    unsigned int totalReallocs;  // reallocations since load
  };

  typedef void (*MemTrackerCallback)(const DebugMemTag& tag);

  // ---- lifecycle and the global lock ----
  static void initialize(const PlatformConfig* config);
  static void terminate();
  static void lock();
  static bool tryLock();
  static void unlock();

  // ---- memory ----
  static void* malloc(unsigned int size);
  static void free(void* block);
  static void* realloc(void* block, unsigned int size);
  static void* memalign(unsigned int alignment, unsigned int size);

  static void* operator new(size_t size) noexcept;
  static void* operator new[](size_t size) noexcept;
  static void operator delete(void* block) noexcept;
  static void operator delete[](void* block) noexcept;
  static void* operator new(size_t size, void* where) noexcept;
  static void* operator new[](size_t size, void* where) noexcept;
  static void operator delete(void* block, void* where) noexcept;
  static void operator delete[](void* block, void* where) noexcept;

  // ---- memory tracking (inert in the default build; see DebugFeature above) ----
  // Prints through printf when `level` is at most the debug level (0 at load). Returns the
  // characters printed, 0 when nothing was.
  static int dprintf(int level, const char* format, ...);
  // Prints through printf when any channel of `info` is on (see DebugInfo).
  static int diprintf(DebugInfo info, const char* format, ...);
  static unsigned int getAllocCount();         // live blocks
  static unsigned int getAllocSize();          // their bytes
  static unsigned int getTotalAllocCount();    // as MemInfo::totalAllocs
  static unsigned int getTotalFreeCount();     // as MemInfo::totalFrees
  static unsigned int getTotalReallocCount();  // as MemInfo::totalReallocs
  static int getDebugLevel();
  // The text that later allocations carry in their tag, process-wide; the caller keeps it alive.
  static const char* getCurrentComment();
  // The handler sees every event after it happened, with the library's lock held; events of its
  // own allocations are tracked but not shown to it again. Returns the previous handler.
  static MemTrackerCallback setMemTrackerHandler(MemTrackerCallback handler);
  static void setDebugLevel(int level);
  static void setCurrentComment(const char* comment);
  static void setDebugInfo(DebugInfo info, bool enabled);
  static void setSpecialDebugState(DebugFeature feature, bool enabled);
  // The allocation that gets this serial calls DebugBreak once it is complete; 0 disarms.
  static void setBreakBySerial(unsigned int serial);
  // Diagnoses (LEVEL_ERROR) a pointer that is not the start of a live block.
  static void validateMemoryBlock(void* block);
  // Checks the tracker's table against its counters (a mismatch is diagnosed at LEVEL_ERROR),
  // then calls `callback` (may be null) once per live block, in serial order, without the lock.
  static void checkMemoryBlocks(MemTrackerCallback callback);
  // One line per live block, in serial order, to the file (created anew) or, for a null name,
  // to the debugger channel.
  static void dumpTracker(const char* fileName);
  static void dumpTrackerCb(MemTrackerCallback callback);
  // As dumpTracker/dumpTrackerCb, for the blocks allocated in regions first..last inclusive.
  static void dumpRegion(unsigned short first, unsigned short last, const char* fileName);
  static void dumpRegionCb(MemTrackerCallback callback, unsigned short first, unsigned short last);
  // Fills every member of `info`; `flags` may hold MemInfo::RESET_PEAK.
  static void getMemInfo(MemInfo& info, unsigned int flags);
  static bool getDebugInfo(DebugInfo info);
  static bool getSpecialDebugState(DebugFeature feature);

  // ---- diagnosis and formatted output ----
  static void diagnosis(ErrorLevel level, const char* format, ...);
  static DiagnosisHandler setDiagnosisHandler(DiagnosisHandler handler);
  static void setOutputStream(FILE* stream);
  static int _assert_fail(const char* expression, const char* file, int line);
  static void halt();
  static int printf(const char* format, ...);
  static int vprintf(const char* format, va_list arguments);
  static int vfprintf(FILE* stream, const char* format, va_list arguments);
  static int sprintf(char* destination, const char* format, ...);
  static int vsprintf(char* destination, const char* format, va_list arguments);

  // ---- debug regions ----
  static void pushDebugRegion(unsigned short region);
  static unsigned short popDebugRegion();
  static unsigned short getCurrentDebugRegion();

  // ---- runtime facades and system services ----
  static unsigned int strlen(const char* text);
  static char* strcpy(char* destination, const char* source);
  static char* strncpy(char* destination, const char* source, unsigned int count);
  static int strcmp(const char* left, const char* right);
  static void* memcpy(void* destination, const void* source, unsigned int count);
  static void* memset(void* destination, int value, unsigned int count);
  static int atoi(const char* text);
  static FILE* fopen(const char* path, const char* mode);
  static FILE* freopen(const char* path, const char* mode, FILE* stream);
  static int fclose(FILE* stream);
  static unsigned int fread(void* buffer, unsigned int size, unsigned int count, FILE* stream);
  static unsigned int fwrite(const void* data, unsigned int size, unsigned int count, FILE* stream);
  static int feof(FILE* stream);
  static int fflush(FILE* stream);
  static int fseek(FILE* stream, long offset, int origin);
  static long ftell(FILE* stream);
  static void* fastMemCopy(void* destination, const void* source, unsigned int count);
  static unsigned int getFileSize(const char* path);
  static void sleep(unsigned int milliseconds);
  static unsigned int getTimeHighPrec();

  Platform& operator=(const Platform& other);

 private:
  // The installed diagnosis handler; null (none) at load. Exported as data.
  static DiagnosisHandler _pDiagnosisHandler;

  static void initializeMutex();
  static void terminateMutex();
  static void* raw_malloc(unsigned int size);
  static void* raw_memalign(unsigned int alignment, unsigned int size);
  static void* raw_realloc(void* block, unsigned int size);
  static void raw_free(void* block);
};

// Ready-made diagnosis handlers for setDiagnosisHandler.
QUOR_API void defaultDiagnosisHandler(ErrorLevel level, const char* message);
QUOR_API void diagnosisHandlerWin32CUI(ErrorLevel level, const char* message);
QUOR_API void diagnosisHandlerWin32GUI(ErrorLevel level, const char* message);

}  // namespace quor

#endif
