// Shared between the files of the Linux dbghelp.dll: module lookup, unwinding, symbols.
#ifndef QUORKIT_DBGHELP_INTERNAL_H
#define QUORKIT_DBGHELP_INTERNAL_H

#include <dbghelp.h>

#include <stddef.h>
#include <stdint.h>

namespace dbghelp {

// One loaded ELF object.
struct ModuleRecord {
  uintptr_t base;        // lowest PT_LOAD address, page-aligned (where the ELF header is)
  uintptr_t end;         // end of the highest PT_LOAD
  uintptr_t bias;        // dlpi_addr: what the object's virtual addresses are moved by
  uintptr_t ehFrameHdr;  // run-time address of .eh_frame_hdr, 0 if none
  uintptr_t ehLow;       // the PT_LOAD segment holding it, bounds for every unwind-table read
  uintptr_t ehHigh;
  bool executable;  // the program itself (listed first)
  char path[1024];  // full path; the executable's from GetModuleFileNameA
};

// The object whose loaded segments contain address; false if none.
bool findModule(uintptr_t address, ModuleRecord* out);
// The same without the path (out->path is left alone): the walk's lookups, several per frame.
bool findModuleRange(uintptr_t address, ModuleRecord* out);

// Every loaded object, the executable first; returns the count (at most capacity).
size_t listModules(ModuleRecord* out, size_t capacity);

// The name a module goes by without directory and extension ("libc" for /lib/libc.so.6).
void shortModuleName(const char* path, char* out, size_t outSize);

// Reads memory for the walk: the caller's routine when given, otherwise only the calling
// thread's stack (saved registers and return addresses live nowhere else), so that a corrupt
// frame cannot make the walk touch unmapped memory.
struct MemoryReader {
  PREAD_PROCESS_MEMORY_ROUTINE64 routine;
  HANDLE process;
  uintptr_t stackLow;
  uintptr_t stackHigh;
  bool read32(uintptr_t address, uint32_t* value) const;
};
void currentStackBounds(uintptr_t* low, uintptr_t* high);

// Register numbers of the i386 DWARF/eh_frame numbering.
enum Register { EAX = 0, ECX, EDX, EBX, ESP, EBP, ESI, EDI, EIP, kRegisterCount };

struct Registers {
  uint32_t value[kRegisterCount];
  uint32_t valid;  // bit per register
  bool has(int r) const { return (valid >> r) & 1u; }
  void set(int r, uint32_t v) {
    value[r] = v;
    valid |= 1u << r;
  }
};

enum class StepResult { Ok, End, NoUnwindData, BadRead, BadFrame };

// The FDE covering pc in its module's .eh_frame, or null.
const uint8_t* findFde(uintptr_t pc);

// Moves regs from a frame to its caller. pcIsExact: the frame's pc is the faulting/current
// instruction itself rather than a return address (a frame interrupted by a signal).
// *callerPcIsExact tells the same for the caller.
// *fde: the unwind entry used, null when there was none.
StepResult unwindStep(Registers* regs, bool pcIsExact, const MemoryReader& memory,
                      bool* callerPcIsExact, const uint8_t** fde);

// Symbols and lines through libbacktrace; all false when nothing is known.
bool symbolize(uintptr_t pc, char* name, size_t nameSize, uintptr_t* start, uintptr_t* size,
               bool undecorate);
bool lineOf(uintptr_t pc, const char** file, int* line, uintptr_t* lineStart);
// Prepares the tables for the modules loaded now (SymInitialize).
void refreshSymbolTables();

// "ns::Type<int>::method" from a demangled "void ns::Type<int>::method(int) const".
void stripToQualifiedName(const char* demangled, char* out, size_t outSize);

}  // namespace dbghelp

#endif
