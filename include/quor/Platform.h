// quor::Platform: the library's services to application code — lifecycle and the global lock,
// memory, diagnosis and formatted output, debug regions, runtime facades and timing. Every
// service is a static member; the class has no instance data.
#ifndef QUOR_PLATFORM_H
#define QUOR_PLATFORM_H

#include <quor/Export.h>

#include <stdarg.h>
#include <stdio.h>

namespace quor {

// Severity of a diagnosis; a lower value is more severe. Passed as a 32-bit signed integer, so
// values outside the four names reach the handlers too.
enum ErrorLevel {
  LEVEL_FATAL = 0,
  LEVEL_ERROR = 1,
  LEVEL_WARNING = 2,
  LEVEL_INFO = 3
};

typedef void (*DiagnosisHandler)(ErrorLevel level, const char* message);

// Selects debug output channels of the memory-tracking interface (its diprintf).
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
  // Switches of the memory tracker (getSpecialDebugState/setSpecialDebugState).
  enum DebugFeature {
    FEATURE_NONE = 0,
    FEATURE_FILL_ON_ALLOC = 1,
    FEATURE_FILL_ON_FREE = 2,
    FEATURE_CHECK_ON_EVERY_CALL = 3
  };

  // One tracked memory block, as a tracker callback sees it.
  struct DebugMemTag {
    void* block;             // the block's address as the application sees it
    unsigned int size;       // bytes asked for
    unsigned int serial;     // per-process allocation number, from 1
    unsigned short region;   // debug region current at the allocation
    unsigned short op;       // operation code of the event (the allocation log's codes)
    const char* comment;     // the comment current at the allocation, or null
  };

  // Totals of the memory tracker (getMemInfo).
  struct MemInfo {
    unsigned int liveCount;     // blocks allocated and not yet released
    unsigned int liveBytes;     // their bytes
    unsigned int peakBytes;     // the most live bytes seen at once
    unsigned int totalAllocs;   // allocations since load
    unsigned int totalFrees;    // releases since load
    unsigned int totalReallocs; // reallocations since load
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

  // ---- memory tracking (inert unless the library is built with the memory log) ----
  static int dprintf(int level, const char* format, ...);
  static int diprintf(DebugInfo info, const char* format, ...);
  static unsigned int getAllocCount();
  static unsigned int getAllocSize();
  static unsigned int getTotalAllocCount();
  static unsigned int getTotalFreeCount();
  static unsigned int getTotalReallocCount();
  static int getDebugLevel();
  static const char* getCurrentComment();
  static MemTrackerCallback setMemTrackerHandler(MemTrackerCallback handler);
  static void setDebugLevel(int level);
  static void setCurrentComment(const char* comment);
  static void setDebugInfo(DebugInfo info, bool enabled);
  static void setSpecialDebugState(DebugFeature feature, bool enabled);
  static void setBreakBySerial(unsigned int serial);
  static void validateMemoryBlock(void* block);
  static void checkMemoryBlocks(MemTrackerCallback callback);
  static void dumpTracker(const char* fileName);
  static void dumpTrackerCb(MemTrackerCallback callback);
  static void dumpRegion(unsigned short first, unsigned short last, const char* fileName);
  static void dumpRegionCb(MemTrackerCallback callback, unsigned short first, unsigned short last);
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
