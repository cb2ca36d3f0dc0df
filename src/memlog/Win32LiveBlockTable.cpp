// The tracker's live-block table and its sorted snapshots; see Win32LiveBlockTable.h.
#include "memlog/Win32LiveBlockTable.h"

#include <windows.h>

#include <algorithm>

#include "ModuleId.h"

QUOR_MODULE_ID(kWin32LiveBlockTableModuleId, "Win32LiveBlockTable.cpp",
               "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

namespace {

constexpr unsigned int kFirstCapacityBits = 10;  // 1,024 slots, 20 KiB

void* reserveZeroed(unsigned long bytes) {
  // Committed pages come zeroed, which is what marks every slot empty.
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void release(void* memory) {
  if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
}

}  // namespace

// Fibonacci hashing of the address without its low three bits (every block is 8-aligned at
// least), so that neighbouring blocks land far apart.
unsigned int LiveBlockTable::home(unsigned int address) const {
  return ((address >> 3) * 2654435769u) >> shift_;
}

void LiveBlockTable::place(const LiveBlock& block) {
  const unsigned int mask = capacity_ - 1;
  unsigned int i = home(block.address);
  while (slots_[i].address != 0) i = (i + 1) & mask;
  slots_[i] = block;
}

bool LiveBlockTable::grow() {
  const unsigned int bits = capacity_ == 0 ? kFirstCapacityBits : 33 - shift_;
  if (bits > 28) return false;
  const unsigned int newCapacity = 1u << bits;
  LiveBlock* newSlots = static_cast<LiveBlock*>(
      reserveZeroed(static_cast<unsigned long>(newCapacity) * sizeof(LiveBlock)));
  if (newSlots == nullptr) return false;
  LiveBlock* oldSlots = slots_;
  const unsigned int oldCapacity = capacity_;
  slots_ = newSlots;
  capacity_ = newCapacity;
  shift_ = 32 - bits;
  for (unsigned int i = 0; i < oldCapacity; ++i) {
    if (oldSlots[i].address != 0) place(oldSlots[i]);
  }
  release(oldSlots);
  return true;
}

bool LiveBlockTable::insert(const LiveBlock& block) {
  // Grow at three quarters; a failed growth still leaves room up to fifteen sixteenths, beyond
  // which probe runs get long enough to matter.
  if (capacity_ == 0 || (count_ + 1) * 4 > capacity_ * 3) {
    if (!grow() && (capacity_ == 0 || (count_ + 1) * 16 > capacity_ * 15)) return false;
  }
  place(block);
  ++count_;
  return true;
}

LiveBlock* LiveBlockTable::find(unsigned int address) {
  if (capacity_ == 0 || address == 0) return nullptr;
  const unsigned int mask = capacity_ - 1;
  for (unsigned int i = home(address);; i = (i + 1) & mask) {
    if (slots_[i].address == address) return &slots_[i];
    if (slots_[i].address == 0) return nullptr;
  }
}

bool LiveBlockTable::remove(unsigned int address, LiveBlock* removed) {
  LiveBlock* found = find(address);
  if (found == nullptr) return false;
  if (removed != nullptr) *removed = *found;
  const unsigned int mask = capacity_ - 1;
  unsigned int hole = static_cast<unsigned int>(found - slots_);
  slots_[hole].address = 0;
  // Backward shift: pull later members of the probe run into the hole whenever the hole lies
  // between their home and where they sit, so that no lookup ever stops early at it.
  for (unsigned int j = (hole + 1) & mask; slots_[j].address != 0; j = (j + 1) & mask) {
    const unsigned int k = home(slots_[j].address);
    const bool stays = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
    if (stays) continue;
    slots_[hole] = slots_[j];
    slots_[j].address = 0;
    hole = j;
  }
  --count_;
  return true;
}

LiveBlockSnapshot::~LiveBlockSnapshot() { release(blocks_); }

bool LiveBlockSnapshot::take(const LiveBlockTable& table, unsigned short first,
                             unsigned short last) {
  release(blocks_);
  blocks_ = nullptr;
  count_ = 0;
  if (table.count() == 0) return true;
  blocks_ = static_cast<LiveBlock*>(
      reserveZeroed(static_cast<unsigned long>(table.count()) * sizeof(LiveBlock)));
  if (blocks_ == nullptr) return false;
  for (unsigned int i = 0; i < table.capacity(); ++i) {
    const LiveBlock& block = table.slot(i);
    if (block.address != 0 && block.region >= first && block.region <= last)
      blocks_[count_++] = block;
  }
  std::sort(blocks_, blocks_ + count_,
            [](const LiveBlock& a, const LiveBlock& b) { return a.serial < b.serial; });
  return true;
}

}  // namespace quor
