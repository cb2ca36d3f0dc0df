// One step of an i386 stack walk from the unwind tables (.eh_frame through .eh_frame_hdr's
// sorted table), so that code compiled without frame pointers is walked as surely as code with
// them. Rejected: libgcc's _Unwind_Backtrace can only walk the calling thread from where it
// stands, one complete walk per call, while StackWalk64 must go one frame per call from any
// given frame; a frame-pointer chain alone breaks at the first -fomit-frame-pointer function.
//
// Every read of the tables stays inside the loaded segment that holds .eh_frame_hdr, and every
// read of the stack goes through the MemoryReader, so corrupt tables or frames end the walk
// instead of faulting.
#include "dbghelp_internal.h"

#include <string.h>

namespace dbghelp {
namespace {

// Pointer encodings of .eh_frame (DW_EH_PE_*).
constexpr uint8_t kOmit = 0xff;
constexpr uint8_t kAbsPtr = 0x00, kULeb = 0x01, kUData2 = 0x02, kUData4 = 0x03, kUData8 = 0x04,
                  kSLeb = 0x09, kSData2 = 0x0a, kSData4 = 0x0b, kSData8 = 0x0c;
constexpr uint8_t kPcRel = 0x10, kDataRel = 0x30, kIndirect = 0x80;

// A bounded cursor over table bytes.
struct Cursor {
  const uint8_t* p;
  const uint8_t* end;
  bool ok = true;

  bool need(size_t n) {
    if (!ok || static_cast<size_t>(end - p) < n) ok = false;
    return ok;
  }
  uint8_t u8() {
    if (!need(1)) return 0;
    return *p++;
  }
  uint16_t u16() {
    uint16_t v = 0;
    if (need(2)) memcpy(&v, p, 2), p += 2;
    return v;
  }
  uint32_t u32() {
    uint32_t v = 0;
    if (need(4)) memcpy(&v, p, 4), p += 4;
    return v;
  }
  uint64_t u64() {
    uint64_t v = 0;
    if (need(8)) memcpy(&v, p, 8), p += 8;
    return v;
  }
  uint64_t uleb() {
    uint64_t result = 0;
    unsigned shift = 0;
    for (;;) {
      uint8_t byte = u8();
      if (!ok) return 0;
      if (shift < 64) result |= static_cast<uint64_t>(byte & 0x7f) << shift;
      shift += 7;
      if (!(byte & 0x80)) return result;
    }
  }
  int64_t sleb() {
    int64_t result = 0;
    unsigned shift = 0;
    uint8_t byte;
    do {
      byte = u8();
      if (!ok) return 0;
      if (shift < 64) result |= static_cast<int64_t>(byte & 0x7f) << shift;
      shift += 7;
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) result |= -(static_cast<int64_t>(1) << shift);
    return result;
  }
  // An encoded pointer. dataBase: start of .eh_frame_hdr for datarel.
  uintptr_t pointer(uint8_t encoding, uintptr_t dataBase) {
    if (encoding == kOmit) return 0;
    uintptr_t here = reinterpret_cast<uintptr_t>(p);
    uintptr_t value = 0;
    switch (encoding & 0x0f) {
      case kAbsPtr: value = u32(); break;
      case kULeb: value = static_cast<uintptr_t>(uleb()); break;
      case kUData2: value = u16(); break;
      case kUData4: value = u32(); break;
      case kUData8: value = static_cast<uintptr_t>(u64()); break;
      case kSLeb: value = static_cast<uintptr_t>(sleb()); break;
      case kSData2: value = static_cast<uintptr_t>(static_cast<int16_t>(u16())); break;
      case kSData4: value = static_cast<uintptr_t>(static_cast<int32_t>(u32())); break;
      case kSData8: value = static_cast<uintptr_t>(u64()); break;
      default: ok = false; return 0;
    }
    switch (encoding & 0x70) {
      case 0: break;
      case kPcRel: value += here; break;
      case kDataRel: value += dataBase; break;
      default: ok = false; return 0;  // textrel/funcrel/aligned: not produced for i386 ELF
    }
    if (encoding & kIndirect) ok = false;  // only personality pointers are indirect; not read
    return value;
  }
};

struct Cie {
  uint64_t codeAlign;
  int64_t dataAlign;
  unsigned returnColumn;
  uint8_t fdeEncoding;
  bool signalFrame;
  const uint8_t* instructions;
  const uint8_t* instructionsEnd;
};

bool parseCie(const uint8_t* cie, const ModuleRecord& module, Cie* out) {
  Cursor c{cie, reinterpret_cast<const uint8_t*>(module.ehHigh)};
  uint32_t length = c.u32();
  if (!c.ok || length == 0 || length == 0xffffffffu) return false;
  const uint8_t* end = c.p + length;
  if (end > c.end || end < c.p) return false;
  c.end = end;
  if (c.u32() != 0) return false;  // CIE id
  uint8_t version = c.u8();
  if (version != 1 && version != 3 && version != 4) return false;
  const char* augmentation = reinterpret_cast<const char*>(c.p);
  while (c.u8() != 0 && c.ok) {
  }
  if (!c.ok) return false;
  if (version == 4) {
    c.u8();  // address size
    c.u8();  // segment selector size
  }
  out->codeAlign = c.uleb();
  out->dataAlign = c.sleb();
  out->returnColumn = version == 1 ? c.u8() : static_cast<unsigned>(c.uleb());
  out->fdeEncoding = kAbsPtr;
  out->signalFrame = false;
  if (augmentation[0] == 'z') {
    uint64_t augmentationLength = c.uleb();
    if (!c.need(augmentationLength)) return false;
    const uint8_t* data = c.p;
    Cursor a{data, data + augmentationLength};
    for (const char* letter = augmentation + 1; *letter != '\0'; ++letter) {
      switch (*letter) {
        case 'R': out->fdeEncoding = a.u8(); break;
        case 'L': a.u8(); break;
        case 'P': {
          uint8_t encoding = a.u8();
          a.pointer(static_cast<uint8_t>(encoding & ~kIndirect), 0);
          break;
        }
        case 'S': out->signalFrame = true; break;
        case 'B': break;
        default: return false;  // an augmentation we cannot size: do not guess
      }
    }
    c.p = data + augmentationLength;
  } else if (augmentation[0] != '\0') {
    return false;
  }
  out->instructions = c.p;
  out->instructionsEnd = end;
  return c.ok;
}

struct Fde {
  uintptr_t start;
  uintptr_t range;
  const uint8_t* instructions;
  const uint8_t* instructionsEnd;
  Cie cie;
};

bool parseFde(const uint8_t* fde, const ModuleRecord& module, Fde* out) {
  Cursor c{fde, reinterpret_cast<const uint8_t*>(module.ehHigh)};
  if (fde < reinterpret_cast<const uint8_t*>(module.ehLow)) return false;
  uint32_t length = c.u32();
  if (!c.ok || length == 0 || length == 0xffffffffu) return false;
  const uint8_t* end = c.p + length;
  if (end > c.end || end < c.p) return false;
  c.end = end;
  const uint8_t* idField = c.p;
  uint32_t cieOffset = c.u32();
  if (!c.ok || cieOffset == 0) return false;  // a CIE, not an FDE
  const uint8_t* cie = idField - cieOffset;
  if (cie < reinterpret_cast<const uint8_t*>(module.ehLow) || cie >= fde) return false;
  if (!parseCie(cie, module, &out->cie)) return false;
  out->start = c.pointer(out->cie.fdeEncoding, module.ehFrameHdr);
  out->range = c.pointer(static_cast<uint8_t>(out->cie.fdeEncoding & 0x0f), 0);
  // The augmentation data of an FDE (an LSDA pointer) is skipped by its length.
  const uint8_t* cieAugmentation = cie + 9;
  if (*cieAugmentation == 'z') {
    uint64_t skip = c.uleb();
    if (!c.need(skip)) return false;
    c.p += skip;
  }
  out->instructions = c.p;
  out->instructionsEnd = end;
  return c.ok;
}

// Binary search of .eh_frame_hdr's table (initial location, FDE address), both datarel sdata4,
// which is what the GNU linkers write. Another table encoding gives no FDE (the walk then falls
// back to the frame pointer).
const uint8_t* searchTable(uintptr_t pc, const ModuleRecord& module) {
  const uint8_t* header = reinterpret_cast<const uint8_t*>(module.ehFrameHdr);
  Cursor c{header, reinterpret_cast<const uint8_t*>(module.ehHigh)};
  uint8_t version = c.u8();
  uint8_t frameEncoding = c.u8();
  uint8_t countEncoding = c.u8();
  uint8_t tableEncoding = c.u8();
  if (!c.ok || version != 1 || tableEncoding != (kDataRel | kSData4)) return nullptr;
  c.pointer(frameEncoding, module.ehFrameHdr);
  uintptr_t count = c.pointer(countEncoding, module.ehFrameHdr);
  if (!c.ok || count == 0) return nullptr;
  const uint8_t* table = c.p;
  if (static_cast<uintptr_t>(c.end - table) / 8 < count) return nullptr;
  size_t low = 0;
  size_t high = count;
  while (high - low > 1) {  // last entry whose initial location is <= pc
    size_t middle = low + (high - low) / 2;
    int32_t location;
    memcpy(&location, table + middle * 8, 4);
    if (module.ehFrameHdr + static_cast<uintptr_t>(location) <= pc) {
      low = middle;
    } else {
      high = middle;
    }
  }
  int32_t location;
  int32_t fdeOffset;
  memcpy(&location, table + low * 8, 4);
  memcpy(&fdeOffset, table + low * 8 + 4, 4);
  if (module.ehFrameHdr + static_cast<uintptr_t>(location) > pc) return nullptr;
  return reinterpret_cast<const uint8_t*>(module.ehFrameHdr + static_cast<uintptr_t>(fdeOffset));
}

// Register rules of one row of the CFA table.
enum class Rule : uint8_t {
  Unspecified,
  Undefined,
  SameValue,
  Offset,
  ValOffset,
  Register,
  Expression,
  ValExpression
};

struct RegisterRule {
  Rule rule;
  int64_t offset;             // Offset / ValOffset; register number for Register
  const uint8_t* expression;  // Expression / ValExpression: the block (after its length)
  uint64_t expressionLength;
};

struct Row {
  bool cfaIsExpression;
  unsigned cfaRegister;
  int64_t cfaOffset;
  const uint8_t* cfaExpression;
  uint64_t cfaExpressionLength;
  RegisterRule rules[kRegisterCount];
};

constexpr int kMaxRememberedRows = 8;

// Call frame instructions. The first three carry their operand in the low six bits of the opcode
// (kCfaHighBits tells them apart); the others are whole bytes.
constexpr uint8_t kCfaHighBits = 0xc0;
enum CfaOpcode : uint8_t {
  DW_CFA_advance_loc = 0x40,
  DW_CFA_offset = 0x80,
  DW_CFA_restore = 0xc0,
  DW_CFA_nop = 0x00,
  DW_CFA_set_loc = 0x01,
  DW_CFA_advance_loc1 = 0x02,
  DW_CFA_advance_loc2 = 0x03,
  DW_CFA_advance_loc4 = 0x04,
  DW_CFA_offset_extended = 0x05,
  DW_CFA_restore_extended = 0x06,
  DW_CFA_undefined = 0x07,
  DW_CFA_same_value = 0x08,
  DW_CFA_register = 0x09,
  DW_CFA_remember_state = 0x0a,
  DW_CFA_restore_state = 0x0b,
  DW_CFA_def_cfa = 0x0c,
  DW_CFA_def_cfa_register = 0x0d,
  DW_CFA_def_cfa_offset = 0x0e,
  DW_CFA_def_cfa_expression = 0x0f,
  DW_CFA_expression = 0x10,
  DW_CFA_offset_extended_sf = 0x11,
  DW_CFA_def_cfa_sf = 0x12,
  DW_CFA_def_cfa_offset_sf = 0x13,
  DW_CFA_val_offset = 0x14,
  DW_CFA_val_offset_sf = 0x15,
  DW_CFA_val_expression = 0x16,
  DW_CFA_GNU_args_size = 0x2e,
  DW_CFA_GNU_negative_offset_extended = 0x2f,
};

// Runs CFA instructions until the location passes pc. initial: the CIE's row, for restore.
bool execute(const uint8_t* begin, const uint8_t* end, const Fde& fde, uintptr_t pc, Row* row,
             const Row* initial, uintptr_t dataBase) {
  Row remembered[kMaxRememberedRows];
  int rememberedCount = 0;
  uintptr_t location = fde.start;
  Cursor c{begin, end};
  auto ruleFor = [&](uint64_t reg) -> RegisterRule* {
    return reg < kRegisterCount ? &row->rules[reg] : nullptr;
  };
  while (c.p < c.end && c.ok) {
    uint8_t op = c.u8();
    uint8_t high = op & kCfaHighBits;
    uint8_t low = op & ~kCfaHighBits;
    if (high == DW_CFA_advance_loc) {
      location += low * fde.cie.codeAlign;
      if (location > pc) return true;
      continue;
    }
    if (high == DW_CFA_offset) {
      int64_t offset = static_cast<int64_t>(c.uleb()) * fde.cie.dataAlign;
      if (RegisterRule* r = ruleFor(low)) *r = {Rule::Offset, offset, nullptr, 0};
      continue;
    }
    if (high == DW_CFA_restore) {
      if (RegisterRule* r = ruleFor(low))
        *r = initial != nullptr ? initial->rules[low]
                                : RegisterRule{Rule::Unspecified, 0, nullptr, 0};
      continue;
    }
    switch (op) {
      case DW_CFA_nop: break;
      case DW_CFA_set_loc:
        location = c.pointer(fde.cie.fdeEncoding, dataBase);
        if (location > pc) return true;
        break;
      case DW_CFA_advance_loc1:
        location += c.u8() * fde.cie.codeAlign;
        if (location > pc) return true;
        break;
      case DW_CFA_advance_loc2:
        location += c.u16() * fde.cie.codeAlign;
        if (location > pc) return true;
        break;
      case DW_CFA_advance_loc4:
        location += c.u32() * fde.cie.codeAlign;
        if (location > pc) return true;
        break;
      case DW_CFA_offset_extended: {
        uint64_t reg = c.uleb();
        int64_t offset = static_cast<int64_t>(c.uleb()) * fde.cie.dataAlign;
        if (RegisterRule* r = ruleFor(reg)) *r = {Rule::Offset, offset, nullptr, 0};
        break;
      }
      case DW_CFA_restore_extended: {
        uint64_t reg = c.uleb();
        if (RegisterRule* r = ruleFor(reg))
          *r = initial != nullptr ? initial->rules[reg]
                                  : RegisterRule{Rule::Unspecified, 0, nullptr, 0};
        break;
      }
      case DW_CFA_undefined:
        if (RegisterRule* r = ruleFor(c.uleb())) *r = {Rule::Undefined, 0, nullptr, 0};
        break;
      case DW_CFA_same_value:
        if (RegisterRule* r = ruleFor(c.uleb())) *r = {Rule::SameValue, 0, nullptr, 0};
        break;
      case DW_CFA_register: {
        uint64_t reg = c.uleb();
        uint64_t other = c.uleb();
        if (RegisterRule* r = ruleFor(reg))
          *r = {Rule::Register, static_cast<int64_t>(other), nullptr, 0};
        break;
      }
      case DW_CFA_remember_state:
        if (rememberedCount == kMaxRememberedRows) return false;
        remembered[rememberedCount++] = *row;
        break;
      case DW_CFA_restore_state:
        if (rememberedCount == 0) return false;
        *row = remembered[--rememberedCount];
        break;
      case DW_CFA_def_cfa:
        row->cfaRegister = static_cast<unsigned>(c.uleb());
        row->cfaOffset = static_cast<int64_t>(c.uleb());
        row->cfaIsExpression = false;
        break;
      case DW_CFA_def_cfa_register:
        row->cfaRegister = static_cast<unsigned>(c.uleb());
        row->cfaIsExpression = false;
        break;
      case DW_CFA_def_cfa_offset: row->cfaOffset = static_cast<int64_t>(c.uleb()); break;
      case DW_CFA_def_cfa_expression: {
        uint64_t length = c.uleb();
        if (!c.need(length)) return false;
        row->cfaIsExpression = true;
        row->cfaExpression = c.p;
        row->cfaExpressionLength = length;
        c.p += length;
        break;
      }
      case DW_CFA_expression:
      case DW_CFA_val_expression: {
        uint64_t reg = c.uleb();
        uint64_t length = c.uleb();
        if (!c.need(length)) return false;
        if (RegisterRule* r = ruleFor(reg))
          *r = {op == DW_CFA_expression ? Rule::Expression : Rule::ValExpression, 0, c.p, length};
        c.p += length;
        break;
      }
      case DW_CFA_offset_extended_sf: {
        uint64_t reg = c.uleb();
        int64_t offset = c.sleb() * fde.cie.dataAlign;
        if (RegisterRule* r = ruleFor(reg)) *r = {Rule::Offset, offset, nullptr, 0};
        break;
      }
      case DW_CFA_def_cfa_sf:
        row->cfaRegister = static_cast<unsigned>(c.uleb());
        row->cfaOffset = c.sleb() * fde.cie.dataAlign;
        row->cfaIsExpression = false;
        break;
      case DW_CFA_def_cfa_offset_sf: row->cfaOffset = c.sleb() * fde.cie.dataAlign; break;
      case DW_CFA_val_offset: {
        uint64_t reg = c.uleb();
        int64_t offset = static_cast<int64_t>(c.uleb()) * fde.cie.dataAlign;
        if (RegisterRule* r = ruleFor(reg)) *r = {Rule::ValOffset, offset, nullptr, 0};
        break;
      }
      case DW_CFA_val_offset_sf: {
        uint64_t reg = c.uleb();
        int64_t offset = c.sleb() * fde.cie.dataAlign;
        if (RegisterRule* r = ruleFor(reg)) *r = {Rule::ValOffset, offset, nullptr, 0};
        break;
      }
      case DW_CFA_GNU_args_size: c.uleb(); break;  // only matters to landing pads
      case DW_CFA_GNU_negative_offset_extended: {
        uint64_t reg = c.uleb();
        int64_t offset = -static_cast<int64_t>(c.uleb()) * fde.cie.dataAlign;
        if (RegisterRule* r = ruleFor(reg)) *r = {Rule::Offset, offset, nullptr, 0};
        break;
      }
      default: return false;  // unknown instruction: the rest cannot be decoded
    }
  }
  return c.ok;
}

// DWARF expression evaluation for CFA and register rules: the stack operations, constants,
// arithmetic, register-relative values and memory reads that compilers and hand-written unwind
// tables (glibc's signal trampolines) use.
bool evaluate(const uint8_t* expression, uint64_t length, const Registers& regs,
              const MemoryReader& memory, bool pushInitial, uint32_t initial, uint32_t* result) {
  uint32_t stack[32];
  int depth = 0;
  if (pushInitial) stack[depth++] = initial;
  Cursor c{expression, expression + length};
  int steps = 0;
  auto push = [&](uint32_t v) {
    if (depth == 32) return false;
    stack[depth++] = v;
    return true;
  };
  while (c.p < c.end) {
    if (++steps > 256) return false;  // a loop through bra/skip
    uint8_t op = c.u8();
    if (!c.ok) return false;
    if (op >= 0x30 && op <= 0x4f) {  // lit0..lit31
      if (!push(op - 0x30u)) return false;
      continue;
    }
    if (op >= 0x70 && op <= 0x8f) {  // breg0..breg31
      unsigned reg = op - 0x70u;
      int64_t offset = c.sleb();
      if (reg >= kRegisterCount || !regs.has(static_cast<int>(reg))) return false;
      if (!push(regs.value[reg] + static_cast<uint32_t>(offset))) return false;
      continue;
    }
    uint32_t a;
    uint32_t b;
    switch (op) {
      case 0x03:
        if (!push(c.u32())) return false;
        break;    // addr
      case 0x06:  // deref
        if (depth < 1 || !memory.read32(stack[depth - 1], &stack[depth - 1])) return false;
        break;
      case 0x94: {  // deref_size
        uint8_t size = c.u8();
        uint32_t word;
        if (depth < 1 || size == 0 || size > 4) return false;
        uint32_t address = stack[depth - 1];
        if (!memory.read32(address & ~3u, &word)) return false;
        if ((address & 3u) + size > 4) return false;
        word >>= 8 * (address & 3u);
        stack[depth - 1] = size == 4 ? word : word & ((1u << (8 * size)) - 1);
        break;
      }
      case 0x08:
        if (!push(c.u8())) return false;
        break;
      case 0x09:
        if (!push(static_cast<uint32_t>(static_cast<int8_t>(c.u8())))) return false;
        break;
      case 0x0a:
        if (!push(c.u16())) return false;
        break;
      case 0x0b:
        if (!push(static_cast<uint32_t>(static_cast<int16_t>(c.u16())))) return false;
        break;
      case 0x0c:
        if (!push(c.u32())) return false;
        break;
      case 0x0d:
        if (!push(c.u32())) return false;
        break;
      case 0x10:
        if (!push(static_cast<uint32_t>(c.uleb()))) return false;
        break;
      case 0x11:
        if (!push(static_cast<uint32_t>(c.sleb()))) return false;
        break;
      case 0x12:
        if (depth < 1 || !push(stack[depth - 1])) return false;
        break;  // dup
      case 0x13:
        if (depth < 1) return false;
        --depth;
        break;  // drop
      case 0x14:
        if (depth < 2 || !push(stack[depth - 2])) return false;
        break;      // over
      case 0x15: {  // pick
        uint8_t index = c.u8();
        if (index >= depth || !push(stack[depth - 1 - index])) return false;
        break;
      }
      case 0x16:  // swap
        if (depth < 2) return false;
        a = stack[depth - 1], stack[depth - 1] = stack[depth - 2], stack[depth - 2] = a;
        break;
      case 0x17:  // rot
        if (depth < 3) return false;
        a = stack[depth - 1];
        stack[depth - 1] = stack[depth - 2];
        stack[depth - 2] = stack[depth - 3];
        stack[depth - 3] = a;
        break;
      case 0x19:
        if (depth < 1) return false;
        if (static_cast<int32_t>(stack[depth - 1]) < 0) stack[depth - 1] = 0u - stack[depth - 1];
        break;
      case 0x1f:
        if (depth < 1) return false;
        stack[depth - 1] = 0u - stack[depth - 1];
        break;
      case 0x20:
        if (depth < 1) return false;
        stack[depth - 1] = ~stack[depth - 1];
        break;
      case 0x23:
        if (depth < 1) return false;
        stack[depth - 1] += static_cast<uint32_t>(c.uleb());
        break;
      case 0x1a:
      case 0x1b:
      case 0x1c:
      case 0x1d:
      case 0x1e:
      case 0x21:
      case 0x22:
      case 0x24:
      case 0x25:
      case 0x26:
      case 0x27:
      case 0x29:
      case 0x2a:
      case 0x2b:
      case 0x2c:
      case 0x2d:
      case 0x2e: {
        if (depth < 2) return false;
        b = stack[--depth];
        a = stack[depth - 1];
        uint32_t r = 0;
        int32_t sa = static_cast<int32_t>(a);
        int32_t sb = static_cast<int32_t>(b);
        switch (op) {
          case 0x1a: r = a & b; break;
          case 0x1b:
            if (sb == 0) return false;
            r = static_cast<uint32_t>(sa / sb);
            break;
          case 0x1c: r = a - b; break;
          case 0x1d:
            if (b == 0) return false;
            r = a % b;
            break;
          case 0x1e: r = a * b; break;
          case 0x21: r = a | b; break;
          case 0x22: r = a + b; break;
          case 0x24: r = b < 32 ? a << b : 0; break;
          case 0x25: r = b < 32 ? a >> b : 0; break;
          case 0x26: r = static_cast<uint32_t>(b < 32 ? sa >> b : (sa < 0 ? -1 : 0)); break;
          case 0x27: r = a ^ b; break;
          case 0x29: r = sa == sb; break;
          case 0x2a: r = sa >= sb; break;
          case 0x2b: r = sa > sb; break;
          case 0x2c: r = sa <= sb; break;
          case 0x2d: r = sa < sb; break;
          case 0x2e: r = sa != sb; break;
        }
        stack[depth - 1] = r;
        break;
      }
      case 0x2f: {  // skip
        int16_t offset = static_cast<int16_t>(c.u16());
        const uint8_t* target = c.p + offset;
        if (target < expression || target > c.end) return false;
        c.p = target;
        break;
      }
      case 0x28: {  // bra
        int16_t offset = static_cast<int16_t>(c.u16());
        if (depth < 1) return false;
        if (stack[--depth] != 0) {
          const uint8_t* target = c.p + offset;
          if (target < expression || target > c.end) return false;
          c.p = target;
        }
        break;
      }
      case 0x92: {  // bregx
        uint64_t reg = c.uleb();
        int64_t offset = c.sleb();
        if (reg >= kRegisterCount || !regs.has(static_cast<int>(reg))) return false;
        if (!push(regs.value[reg] + static_cast<uint32_t>(offset))) return false;
        break;
      }
      case 0x96: break;  // nop
      default: return false;
    }
    if (!c.ok) return false;
  }
  if (depth < 1) return false;
  *result = stack[depth - 1];
  return true;
}

bool findFdeIn(uintptr_t pc, ModuleRecord* module, Fde* fde, const uint8_t** entryOut) {
  *entryOut = nullptr;
  if (!findModuleRange(pc, module) || module->ehFrameHdr == 0) return false;
  const uint8_t* entry = searchTable(pc, *module);
  if (entry == nullptr || !parseFde(entry, *module, fde)) return false;
  if (pc < fde->start || pc - fde->start >= fde->range) return false;
  *entryOut = entry;
  return true;
}

// Frames without unwind data (hand-written code, or a module without .eh_frame): the classic
// frame-pointer step, accepted only when it moves up the stack.
StepResult framePointerStep(Registers* regs, const MemoryReader& memory) {
  if (!regs->has(EBP) || !regs->has(ESP)) return StepResult::NoUnwindData;
  uint32_t frame = regs->value[EBP];
  if (frame < regs->value[ESP]) return StepResult::NoUnwindData;
  uint32_t savedFrame;
  uint32_t returnAddress;
  if (!memory.read32(frame, &savedFrame) || !memory.read32(frame + 4, &returnAddress))
    return StepResult::BadRead;
  if (returnAddress == 0) return StepResult::End;
  regs->valid = 0;
  regs->set(EBP, savedFrame);
  regs->set(ESP, frame + 8);
  regs->set(EIP, returnAddress);
  return StepResult::Ok;
}

}  // namespace

const uint8_t* findFde(uintptr_t pc) {
  ModuleRecord module;
  Fde fde;
  const uint8_t* entry;
  return findFdeIn(pc, &module, &fde, &entry) ? entry : nullptr;
}

StepResult unwindStep(Registers* regs, bool pcIsExact, const MemoryReader& memory,
                      bool* callerPcIsExact, const uint8_t** fdeOut) {
  *callerPcIsExact = false;
  *fdeOut = nullptr;
  if (!regs->has(EIP)) return StepResult::BadFrame;
  // A return address points after the call, which may be the last instruction of the
  // function: look up the call itself.
  uintptr_t pc = regs->value[EIP];
  uintptr_t lookup = pcIsExact ? pc : pc - 1;
  ModuleRecord module;
  Fde fde;
  if (!findFdeIn(lookup, &module, &fde, fdeOut)) return framePointerStep(regs, memory);

  Row initial = {};
  initial.cfaRegister = ESP;
  if (!execute(fde.cie.instructions, fde.cie.instructionsEnd, fde, UINTPTR_MAX, &initial, nullptr,
               module.ehFrameHdr)) {
    return StepResult::NoUnwindData;
  }
  Row row = initial;
  if (!execute(fde.instructions, fde.instructionsEnd, fde, lookup, &row, &initial,
               module.ehFrameHdr)) {
    return StepResult::NoUnwindData;
  }

  uint32_t cfa;
  if (row.cfaIsExpression) {
    if (!evaluate(row.cfaExpression, row.cfaExpressionLength, *regs, memory, false, 0, &cfa))
      return StepResult::BadRead;
  } else {
    if (row.cfaRegister >= kRegisterCount || !regs->has(static_cast<int>(row.cfaRegister)))
      return StepResult::BadFrame;
    cfa = regs->value[row.cfaRegister] + static_cast<uint32_t>(row.cfaOffset);
  }

  Registers caller = {};
  for (int r = 0; r < kRegisterCount; ++r) {
    const RegisterRule& rule = row.rules[r];
    uint32_t value = 0;
    switch (rule.rule) {
      case Rule::Unspecified:
      case Rule::SameValue:  // callee-saved and untouched: the caller sees the same value
        if (regs->has(r) && r != EIP && r != ESP) caller.set(r, regs->value[r]);
        break;
      case Rule::Undefined: break;
      case Rule::Offset:
        if (!memory.read32(cfa + static_cast<uint32_t>(rule.offset), &value))
          return StepResult::BadRead;
        caller.set(r, value);
        break;
      case Rule::ValOffset: caller.set(r, cfa + static_cast<uint32_t>(rule.offset)); break;
      case Rule::Register:
        if (rule.offset >= 0 && rule.offset < kRegisterCount &&
            regs->has(static_cast<int>(rule.offset))) {
          caller.set(r, regs->value[rule.offset]);
        }
        break;
      case Rule::Expression:
      case Rule::ValExpression: {
        uint32_t address;
        if (!evaluate(rule.expression, rule.expressionLength, *regs, memory, true, cfa, &address))
          return StepResult::BadRead;
        if (rule.rule == Rule::Expression) {
          if (!memory.read32(address, &value)) return StepResult::BadRead;
        } else {
          value = address;
        }
        caller.set(r, value);
        break;
      }
    }
  }
  // The return address column gives the caller's pc; on i386 the caller's stack pointer is the
  // CFA unless a rule says otherwise.
  unsigned returnColumn = fde.cie.returnColumn;
  if (returnColumn >= kRegisterCount) return StepResult::NoUnwindData;
  if (row.rules[returnColumn].rule == Rule::Undefined) return StepResult::End;  // outermost frame
  if (!caller.has(static_cast<int>(returnColumn))) return StepResult::BadFrame;
  uint32_t returnAddress = caller.value[returnColumn];
  if (!caller.has(ESP)) caller.set(ESP, cfa);
  if (returnColumn != EIP) caller.set(EIP, returnAddress);
  if (returnAddress == 0) return StepResult::End;
  // The stack only grows down: a caller frame must lie above its callee's (except across a
  // signal frame, whose saved registers may come from an alternate stack).
  if (!fde.cie.signalFrame && regs->has(ESP) && caller.value[ESP] <= regs->value[ESP])
    return StepResult::BadFrame;
  *callerPcIsExact = fde.cie.signalFrame;
  *regs = caller;
  return StepResult::Ok;
}

}  // namespace dbghelp
