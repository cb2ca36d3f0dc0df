// The memory-tracking interface of quor::Platform, inert: every entry point is exported so that
// applications built against a tracking library link and run unchanged, and each answers "nothing
// tracked". A build with the live tracker replaces this whole file (it must then also provide the
// two placement deletes, which share the do-nothing body here, and reportLiveBlocks).
//
// The interface requires exactly three inert bodies, one without parameters per behaviour (answer
// 0 or null, do nothing, answer false), each shared by every member of its group; that is not a
// shortcut to be replaced by one definition per member. So the member names are aliases of those
// three bodies: the same code answers getAllocCount, setMemTrackerHandler, dprintf and the rest,
// and a member's address is its group's body. That is sound because static members use the cdecl
// convention, where the caller pushes and removes the arguments, so a body that reads none of
// them serves any parameter list, variadic ones included; and every result here (0, null, false)
// is a zero in the same return register.
//
// An alias has to be declared under the member's linkage name, which C++ cannot spell for a
// member, so the aliases are declared as C functions whose names are those linkage names (the
// Itanium mangling that both GCC targets use). Both compilers then emit the symbol, with the
// export marking of QUOR_API, exactly where the member's own definition would be. A misspelt
// name shows up as an undefined member at link time and as a difference in the DLL's export
// check.
#include <quor/Platform.h>

#include "ModuleId.h"

QUOR_MODULE_ID(kPlatformMemoryTrackingModuleId, "PlatformMemoryTracking.cpp",
               "1.0 2026/12/06 04:00:00 quorkit");

extern "C" {

// The three bodies, reached only through the aliases below (hence "used").
__attribute__((used)) static int inertReturnZero() noexcept { return 0; }
__attribute__((used)) static void inertNothing() noexcept {}
__attribute__((used)) static bool inertReturnFalse() noexcept { return false; }

#define QUOR_INERT(body, type, linkageName) \
  QUOR_API type linkageName() noexcept __attribute__((alias(#body)))

// Returns 0 or null.
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform7dprintfEiPKcz);                // dprintf
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform8diprintfENS_9DebugInfoEPKcz);  // diprintf
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform13getAllocCountEv);             // getAllocCount
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform12getAllocSizeEv);              // getAllocSize
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform18getTotalAllocCountEv);  // getTotalAllocCount
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform17getTotalFreeCountEv);   // getTotalFreeCount
QUOR_INERT(inertReturnZero, int,
           _ZN4quor8Platform20getTotalReallocCountEv);                     // getTotalReallocCount
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform13getDebugLevelEv);      // getDebugLevel
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform17getCurrentCommentEv);  // getCurrentComment
QUOR_INERT(inertReturnZero, int, _ZN4quor8Platform20setMemTrackerHandlerEPFvRKNS0_11DebugMemTagEE);

// Does nothing.
QUOR_INERT(inertNothing, void, _ZN4quor8PlatformdlEPvS1_);  // operator delete(void*, void*)
QUOR_INERT(inertNothing, void, _ZN4quor8PlatformdaEPvS1_);  // operator delete[](void*, void*)
QUOR_INERT(inertNothing, void, _ZN4quor8Platform13setDebugLevelEi);        // setDebugLevel
QUOR_INERT(inertNothing, void, _ZN4quor8Platform17setCurrentCommentEPKc);  // setCurrentComment
QUOR_INERT(inertNothing, void, _ZN4quor8Platform12setDebugInfoENS_9DebugInfoEb);  // setDebugInfo
QUOR_INERT(inertNothing, void, _ZN4quor8Platform20setSpecialDebugStateENS0_12DebugFeatureEb);
QUOR_INERT(inertNothing, void, _ZN4quor8Platform16setBreakBySerialEj);      // setBreakBySerial
QUOR_INERT(inertNothing, void, _ZN4quor8Platform19validateMemoryBlockEPv);  // validateMemoryBlock
QUOR_INERT(inertNothing, void, _ZN4quor8Platform17checkMemoryBlocksEPFvRKNS0_11DebugMemTagEE);
QUOR_INERT(inertNothing, void, _ZN4quor8Platform11dumpTrackerEPKc);  // dumpTracker
QUOR_INERT(inertNothing, void, _ZN4quor8Platform13dumpTrackerCbEPFvRKNS0_11DebugMemTagEE);
QUOR_INERT(inertNothing, void, _ZN4quor8Platform10dumpRegionEttPKc);  // dumpRegion
QUOR_INERT(inertNothing, void, _ZN4quor8Platform12dumpRegionCbEPFvRKNS0_11DebugMemTagEEtt);
QUOR_INERT(inertNothing, void, _ZN4quor8Platform10getMemInfoERNS0_7MemInfoEj);  // getMemInfo

// Returns false.
QUOR_INERT(inertReturnFalse, bool, _ZN4quor8Platform12getDebugInfoENS_9DebugInfoE);  // getDebugInfo
QUOR_INERT(inertReturnFalse, bool, _ZN4quor8Platform20getSpecialDebugStateENS0_12DebugFeatureE);

#undef QUOR_INERT

}  // extern "C"

namespace quor {

// Nothing is tracked, so terminate and process detach have nothing to report.
void reportLiveBlocks(bool) {}

}  // namespace quor
