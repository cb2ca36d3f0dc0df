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
  // A little-endian integer of T's size; 0 when the data ends first.
  template <typename T>
  T fixed() {
    T v = 0;
    if (need(sizeof v)) memcpy(&v, p, sizeof v), p += sizeof v;
    return v;
  }
  uint16_t u16() { return fixed<uint16_t>(); }
  uint32_t u32() { return fixed<uint32_t>(); }
  uint64_t u64() { return fixed<uint64_t>(); }
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

// What one call frame instruction tells the table reader: read on, the row for pc is complete
// (the location has passed it), or the instructions cannot be followed.
enum class CfaStep { Continue, Stop, Fail };

// The CFA table of one FDE, built row by row up to pc.
class CfaMachine {
 public:
  CfaMachine(const Fde& fde, uintptr_t pc, Row* row, const Row* initial, uintptr_t dataBase)
      : fde_(fde),
        pc_(pc),
        row_(row),
        initial_(initial),
        dataBase_(dataBase),
        location_(fde.start) {}

  CfaStep step(uint8_t op, Cursor& c) {
    const uint8_t operand = op & static_cast<uint8_t>(~kCfaHighBits);
    switch (op & kCfaHighBits) {
      case DW_CFA_advance_loc: return advanceTo(location_ + operand * fde_.cie.codeAlign);
      case DW_CFA_offset: return setOffset(operand, static_cast<int64_t>(c.uleb()));
      case DW_CFA_restore: return restore(operand);
      default: break;
    }
    switch (op) {
      case DW_CFA_nop: return CfaStep::Continue;
      case DW_CFA_set_loc: return advanceTo(c.pointer(fde_.cie.fdeEncoding, dataBase_));
      case DW_CFA_advance_loc1: return advanceTo(location_ + c.u8() * fde_.cie.codeAlign);
      case DW_CFA_advance_loc2: return advanceTo(location_ + c.u16() * fde_.cie.codeAlign);
      case DW_CFA_advance_loc4: return advanceTo(location_ + c.u32() * fde_.cie.codeAlign);
      case DW_CFA_remember_state: return rememberState();
      case DW_CFA_restore_state: return restoreState();
      case DW_CFA_def_cfa:
      case DW_CFA_def_cfa_register:
      case DW_CFA_def_cfa_offset:
      case DW_CFA_def_cfa_expression:
      case DW_CFA_def_cfa_sf:
      case DW_CFA_def_cfa_offset_sf: return defineCfa(op, c);
      default: return registerRule(op, c);
    }
  }

 private:
  CfaStep advanceTo(uintptr_t location) {
    location_ = location;
    return location_ > pc_ ? CfaStep::Stop : CfaStep::Continue;
  }

  CfaStep setRule(uint64_t reg, RegisterRule rule) {
    if (reg < kRegisterCount) row_->rules[reg] = rule;
    return CfaStep::Continue;
  }

  // An Offset rule from a factored offset.
  CfaStep setOffset(uint64_t reg, int64_t factored) {
    return setRule(reg, {Rule::Offset, factored * fde_.cie.dataAlign, nullptr, 0});
  }

  CfaStep restore(uint64_t reg) {
    if (reg >= kRegisterCount) return CfaStep::Continue;
    return setRule(reg, initial_ != nullptr ? initial_->rules[reg]
                                            : RegisterRule{Rule::Unspecified, 0, nullptr, 0});
  }

  CfaStep rememberState() {
    if (rememberedCount_ == kMaxRememberedRows) return CfaStep::Fail;
    remembered_[rememberedCount_++] = *row_;
    return CfaStep::Continue;
  }

  CfaStep restoreState() {
    if (rememberedCount_ == 0) return CfaStep::Fail;
    *row_ = remembered_[--rememberedCount_];
    return CfaStep::Continue;
  }

  CfaStep defineCfa(uint8_t op, Cursor& c) {
    switch (op) {
      case DW_CFA_def_cfa:
        row_->cfaRegister = static_cast<unsigned>(c.uleb());
        row_->cfaOffset = static_cast<int64_t>(c.uleb());
        row_->cfaIsExpression = false;
        break;
      case DW_CFA_def_cfa_register:
        row_->cfaRegister = static_cast<unsigned>(c.uleb());
        row_->cfaIsExpression = false;
        break;
      case DW_CFA_def_cfa_offset: row_->cfaOffset = static_cast<int64_t>(c.uleb()); break;
      case DW_CFA_def_cfa_sf:
        row_->cfaRegister = static_cast<unsigned>(c.uleb());
        row_->cfaOffset = c.sleb() * fde_.cie.dataAlign;
        row_->cfaIsExpression = false;
        break;
      case DW_CFA_def_cfa_offset_sf: row_->cfaOffset = c.sleb() * fde_.cie.dataAlign; break;
      default: {  // DW_CFA_def_cfa_expression
        const uint64_t length = c.uleb();
        if (!c.need(length)) return CfaStep::Fail;
        row_->cfaIsExpression = true;
        row_->cfaExpression = c.p;
        row_->cfaExpressionLength = length;
        c.p += length;
      }
    }
    return CfaStep::Continue;
  }

  // The instructions that give one register a rule; the register number comes first.
  CfaStep registerRule(uint8_t op, Cursor& c) {
    if (op == DW_CFA_GNU_args_size) {  // only matters to landing pads
      c.uleb();
      return CfaStep::Continue;
    }
    const uint64_t reg = c.uleb();
    switch (op) {
      case DW_CFA_offset_extended: return setOffset(reg, static_cast<int64_t>(c.uleb()));
      case DW_CFA_offset_extended_sf: return setOffset(reg, c.sleb());
      case DW_CFA_GNU_negative_offset_extended:
        return setOffset(reg, -static_cast<int64_t>(c.uleb()));
      case DW_CFA_restore_extended: return restore(reg);
      case DW_CFA_undefined: return setRule(reg, {Rule::Undefined, 0, nullptr, 0});
      case DW_CFA_same_value: return setRule(reg, {Rule::SameValue, 0, nullptr, 0});
      case DW_CFA_register:
        return setRule(reg, {Rule::Register, static_cast<int64_t>(c.uleb()), nullptr, 0});
      case DW_CFA_val_offset:
        return setRule(reg, {Rule::ValOffset, static_cast<int64_t>(c.uleb()) * fde_.cie.dataAlign,
                             nullptr, 0});
      case DW_CFA_val_offset_sf:
        return setRule(reg, {Rule::ValOffset, c.sleb() * fde_.cie.dataAlign, nullptr, 0});
      case DW_CFA_expression:
      case DW_CFA_val_expression: {
        const uint64_t length = c.uleb();
        if (!c.need(length)) return CfaStep::Fail;
        const Rule rule = op == DW_CFA_expression ? Rule::Expression : Rule::ValExpression;
        setRule(reg, {rule, 0, c.p, length});
        c.p += length;
        return CfaStep::Continue;
      }
      default: return CfaStep::Fail;  // unknown instruction: the rest cannot be decoded
    }
  }

  const Fde& fde_;
  const uintptr_t pc_;
  Row* const row_;
  const Row* const initial_;  // the CIE's row, for restore
  const uintptr_t dataBase_;
  uintptr_t location_;
  Row remembered_[kMaxRememberedRows];
  int rememberedCount_ = 0;
};

// Runs CFA instructions until the location passes pc. initial: the CIE's row, for restore.
bool execute(const uint8_t* begin, const uint8_t* end, const Fde& fde, uintptr_t pc, Row* row,
             const Row* initial, uintptr_t dataBase) {
  CfaMachine machine(fde, pc, row, initial, dataBase);
  Cursor c{begin, end};
  while (c.p < c.end && c.ok) {
    switch (machine.step(c.u8(), c)) {
      case CfaStep::Continue: break;
      case CfaStep::Stop: return true;
      case CfaStep::Fail: return false;
    }
  }
  return c.ok;
}

// DWARF expression operations (DW_OP_*) that evaluate knows.
enum ExpressionOpcode : uint8_t {
  DW_OP_addr = 0x03,
  DW_OP_deref = 0x06,
  DW_OP_const1u = 0x08,
  DW_OP_const1s = 0x09,
  DW_OP_const2u = 0x0a,
  DW_OP_const2s = 0x0b,
  DW_OP_const4u = 0x0c,
  DW_OP_const4s = 0x0d,
  DW_OP_constu = 0x10,
  DW_OP_consts = 0x11,
  DW_OP_dup = 0x12,
  DW_OP_drop = 0x13,
  DW_OP_over = 0x14,
  DW_OP_pick = 0x15,
  DW_OP_swap = 0x16,
  DW_OP_rot = 0x17,
  DW_OP_abs = 0x19,
  DW_OP_and = 0x1a,
  DW_OP_div = 0x1b,
  DW_OP_minus = 0x1c,
  DW_OP_mod = 0x1d,
  DW_OP_mul = 0x1e,
  DW_OP_neg = 0x1f,
  DW_OP_not = 0x20,
  DW_OP_or = 0x21,
  DW_OP_plus = 0x22,
  DW_OP_plus_uconst = 0x23,
  DW_OP_shl = 0x24,
  DW_OP_shr = 0x25,
  DW_OP_shra = 0x26,
  DW_OP_xor = 0x27,
  DW_OP_bra = 0x28,
  DW_OP_eq = 0x29,
  DW_OP_ge = 0x2a,
  DW_OP_gt = 0x2b,
  DW_OP_le = 0x2c,
  DW_OP_lt = 0x2d,
  DW_OP_ne = 0x2e,
  DW_OP_skip = 0x2f,
  DW_OP_lit0 = 0x30,
  DW_OP_lit31 = 0x4f,
  DW_OP_breg0 = 0x70,
  DW_OP_breg31 = 0x8f,
  DW_OP_bregx = 0x92,
  DW_OP_deref_size = 0x94,
  DW_OP_nop = 0x96,
};

constexpr int kExpressionStackSize = 32;
constexpr int kMaxExpressionSteps = 256;  // a longer run is a loop through bra/skip

// The evaluation stack; every access is checked against its depth.
struct ExpressionStack {
  uint32_t values[kExpressionStackSize];
  int depth = 0;

  bool push(uint32_t value) {
    if (depth == kExpressionStackSize) return false;
    values[depth++] = value;
    return true;
  }
  bool holds(int count) const { return depth >= count; }
  // The entry `below` places under the top (0: the top itself); the caller checked the depth.
  uint32_t& at(int below) { return values[depth - 1 - below]; }
};

// The two top entries replaced by `a op b` (a the deeper one); false on division by zero.
bool applyBinary(uint8_t op, ExpressionStack& stack) {
  if (!stack.holds(2)) return false;
  const uint32_t b = stack.values[--stack.depth];
  const uint32_t a = stack.at(0);
  const int32_t sa = static_cast<int32_t>(a);
  const int32_t sb = static_cast<int32_t>(b);
  uint32_t r = 0;
  switch (op) {
    case DW_OP_and: r = a & b; break;
    case DW_OP_div:
      if (sb == 0) return false;
      r = static_cast<uint32_t>(sa / sb);
      break;
    case DW_OP_minus: r = a - b; break;
    case DW_OP_mod:
      if (b == 0) return false;
      r = a % b;
      break;
    case DW_OP_mul: r = a * b; break;
    case DW_OP_or: r = a | b; break;
    case DW_OP_plus: r = a + b; break;
    case DW_OP_shl: r = b < 32 ? a << b : 0; break;
    case DW_OP_shr: r = b < 32 ? a >> b : 0; break;
    case DW_OP_shra: r = static_cast<uint32_t>(b < 32 ? sa >> b : (sa < 0 ? -1 : 0)); break;
    case DW_OP_xor: r = a ^ b; break;
    case DW_OP_eq: r = sa == sb; break;
    case DW_OP_ge: r = sa >= sb; break;
    case DW_OP_gt: r = sa > sb; break;
    case DW_OP_le: r = sa <= sb; break;
    case DW_OP_lt: r = sa < sb; break;
    case DW_OP_ne: r = sa != sb; break;
    default: return false;
  }
  stack.at(0) = r;
  return true;
}

// The operations on the top entry alone.
bool applyUnary(uint8_t op, Cursor& c, ExpressionStack& stack) {
  if (!stack.holds(1)) return false;
  uint32_t& top = stack.at(0);
  switch (op) {
    case DW_OP_abs:
      if (static_cast<int32_t>(top) < 0) top = 0u - top;
      return true;
    case DW_OP_neg: top = 0u - top; return true;
    case DW_OP_not: top = ~top; return true;
    case DW_OP_plus_uconst: top += static_cast<uint32_t>(c.uleb()); return true;
    default: return false;
  }
}

// dup, drop, over, pick, swap, rot.
bool rearrange(uint8_t op, Cursor& c, ExpressionStack& stack) {
  switch (op) {
    case DW_OP_dup: return stack.holds(1) && stack.push(stack.at(0));
    case DW_OP_drop:
      if (!stack.holds(1)) return false;
      --stack.depth;
      return true;
    case DW_OP_over: return stack.holds(2) && stack.push(stack.at(1));
    case DW_OP_pick: {
      const uint8_t index = c.u8();
      return stack.holds(index + 1) && stack.push(stack.at(index));
    }
    case DW_OP_swap: {
      if (!stack.holds(2)) return false;
      const uint32_t top = stack.at(0);
      stack.at(0) = stack.at(1);
      stack.at(1) = top;
      return true;
    }
    case DW_OP_rot: {
      if (!stack.holds(3)) return false;
      const uint32_t top = stack.at(0);
      stack.at(0) = stack.at(1);
      stack.at(1) = stack.at(2);
      stack.at(2) = top;
      return true;
    }
    default: return false;
  }
}

// The constants that follow their opcode in the expression.
bool pushConstant(uint8_t op, Cursor& c, ExpressionStack& stack) {
  switch (op) {
    case DW_OP_addr:
    case DW_OP_const4u:
    case DW_OP_const4s: return stack.push(c.u32());  // 32 bits either way on this target
    case DW_OP_const1u: return stack.push(c.u8());
    case DW_OP_const1s: return stack.push(static_cast<uint32_t>(static_cast<int8_t>(c.u8())));
    case DW_OP_const2u: return stack.push(c.u16());
    case DW_OP_const2s: return stack.push(static_cast<uint32_t>(static_cast<int16_t>(c.u16())));
    case DW_OP_constu: return stack.push(static_cast<uint32_t>(c.uleb()));
    case DW_OP_consts: return stack.push(static_cast<uint32_t>(c.sleb()));
    default: return false;
  }
}

// A register's value plus an offset (breg0..breg31, bregx).
bool pushRegister(uint64_t reg, int64_t offset, const Registers& regs, ExpressionStack& stack) {
  if (reg >= kRegisterCount || !regs.has(static_cast<int>(reg))) return false;
  return stack.push(regs.value[reg] + static_cast<uint32_t>(offset));
}

// The top entry replaced by `size` bytes read at it.
bool derefSize(uint8_t size, const MemoryReader& memory, ExpressionStack& stack) {
  uint32_t word;
  if (!stack.holds(1) || size == 0 || size > 4) return false;
  const uint32_t address = stack.at(0);
  if (!memory.read32(address & ~3u, &word)) return false;
  if ((address & 3u) + size > 4) return false;
  word >>= 8 * (address & 3u);
  stack.at(0) = size == 4 ? word : word & ((1u << (8 * size)) - 1);
  return true;
}

// skip and a taken bra: a jump that must stay inside the expression.
bool jump(Cursor& c, const uint8_t* expression, int16_t offset) {
  const uint8_t* target = c.p + offset;
  if (target < expression || target > c.end) return false;
  c.p = target;
  return true;
}

// One operation of an expression (not a literal or breg0..31); false ends the evaluation.
bool applyOperation(uint8_t op, Cursor& c, const uint8_t* expression, const Registers& regs,
                    const MemoryReader& memory, ExpressionStack& stack) {
  switch (op) {
    case DW_OP_deref: return stack.holds(1) && memory.read32(stack.at(0), &stack.at(0));
    case DW_OP_deref_size: return derefSize(c.u8(), memory, stack);
    case DW_OP_dup:
    case DW_OP_drop:
    case DW_OP_over:
    case DW_OP_pick:
    case DW_OP_swap:
    case DW_OP_rot: return rearrange(op, c, stack);
    case DW_OP_abs:
    case DW_OP_neg:
    case DW_OP_not:
    case DW_OP_plus_uconst: return applyUnary(op, c, stack);
    case DW_OP_skip: return jump(c, expression, static_cast<int16_t>(c.u16()));
    case DW_OP_bra: {
      const int16_t offset = static_cast<int16_t>(c.u16());
      if (!stack.holds(1)) return false;
      return stack.values[--stack.depth] == 0 || jump(c, expression, offset);
    }
    case DW_OP_bregx: {
      const uint64_t reg = c.uleb();
      return pushRegister(reg, c.sleb(), regs, stack);
    }
    case DW_OP_and:
    case DW_OP_div:
    case DW_OP_minus:
    case DW_OP_mod:
    case DW_OP_mul:
    case DW_OP_or:
    case DW_OP_plus:
    case DW_OP_shl:
    case DW_OP_shr:
    case DW_OP_shra:
    case DW_OP_xor:
    case DW_OP_eq:
    case DW_OP_ge:
    case DW_OP_gt:
    case DW_OP_le:
    case DW_OP_lt:
    case DW_OP_ne: return applyBinary(op, stack);
    case DW_OP_nop: return true;
    default: return pushConstant(op, c, stack);
  }
}

// DWARF expression evaluation for CFA and register rules: the stack operations, constants,
// arithmetic, register-relative values and memory reads that compilers and hand-written unwind
// tables (glibc's signal trampolines) use.
bool evaluate(const uint8_t* expression, uint64_t length, const Registers& regs,
              const MemoryReader& memory, bool pushInitial, uint32_t initial, uint32_t* result) {
  ExpressionStack stack;
  if (pushInitial) stack.push(initial);
  Cursor c{expression, expression + length};
  for (int steps = 1; c.p < c.end; ++steps) {
    if (steps > kMaxExpressionSteps) return false;
    const uint8_t op = c.u8();
    if (!c.ok) return false;
    if (op >= DW_OP_lit0 && op <= DW_OP_lit31) {
      if (!stack.push(op - DW_OP_lit0)) return false;
    } else if (op >= DW_OP_breg0 && op <= DW_OP_breg31) {
      if (!pushRegister(op - DW_OP_breg0, c.sleb(), regs, stack)) return false;
    } else if (!applyOperation(op, c, expression, regs, memory, stack) || !c.ok) {
      return false;
    }
  }
  if (!stack.holds(1)) return false;
  *result = stack.at(0);
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

// The frame's CFA from its row: a register plus an offset, or an expression.
StepResult canonicalFrameAddress(const Row& row, const Registers& regs, const MemoryReader& memory,
                                 uint32_t* cfa) {
  if (row.cfaIsExpression) {
    return evaluate(row.cfaExpression, row.cfaExpressionLength, regs, memory, false, 0, cfa)
               ? StepResult::Ok
               : StepResult::BadRead;
  }
  if (row.cfaRegister >= kRegisterCount || !regs.has(static_cast<int>(row.cfaRegister)))
    return StepResult::BadFrame;
  *cfa = regs.value[row.cfaRegister] + static_cast<uint32_t>(row.cfaOffset);
  return StepResult::Ok;
}

// The caller's value of register r by its rule, into caller (left unset where the rule gives
// none).
StepResult recoverRegister(int r, const RegisterRule& rule, const Registers& regs,
                           const MemoryReader& memory, uint32_t cfa, Registers* caller) {
  uint32_t value = 0;
  switch (rule.rule) {
    case Rule::Unspecified:
    case Rule::SameValue:  // callee-saved and untouched: the caller sees the same value
      if (regs.has(r) && r != EIP && r != ESP) caller->set(r, regs.value[r]);
      break;
    case Rule::Undefined: break;
    case Rule::Offset:
      if (!memory.read32(cfa + static_cast<uint32_t>(rule.offset), &value))
        return StepResult::BadRead;
      caller->set(r, value);
      break;
    case Rule::ValOffset: caller->set(r, cfa + static_cast<uint32_t>(rule.offset)); break;
    case Rule::Register:
      if (rule.offset >= 0 && rule.offset < kRegisterCount &&
          regs.has(static_cast<int>(rule.offset))) {
        caller->set(r, regs.value[rule.offset]);
      }
      break;
    case Rule::Expression:
    case Rule::ValExpression: {
      uint32_t address;
      if (!evaluate(rule.expression, rule.expressionLength, regs, memory, true, cfa, &address))
        return StepResult::BadRead;
      if (rule.rule == Rule::Expression) {
        if (!memory.read32(address, &value)) return StepResult::BadRead;
      } else {
        value = address;
      }
      caller->set(r, value);
      break;
    }
  }
  return StepResult::Ok;
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

  uint32_t cfa = 0;
  StepResult result = canonicalFrameAddress(row, *regs, memory, &cfa);
  if (result != StepResult::Ok) return result;
  Registers caller = {};
  for (int r = 0; r < kRegisterCount; ++r) {
    result = recoverRegister(r, row.rules[r], *regs, memory, cfa, &caller);
    if (result != StepResult::Ok) return result;
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
