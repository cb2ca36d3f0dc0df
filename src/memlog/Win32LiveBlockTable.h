// The memory tracker's table of live blocks: an open-addressing hash table keyed by the block's
// address, with linear probing and backward-shift deletion (no tombstones), so that an insert, a
// lookup and a removal each cost O(1) on average however long the program runs.
//
// Its storage comes from VirtualAlloc, never from the memory services it tracks (which would
// recurse) nor from the C runtime's aligned allocator (whose calls some tests count). It grows by
// doubling at three quarters full; when a larger table cannot be had it keeps going in the one it
// has up to fifteen sixteenths, and only then refuses an insert.
//
// Not thread-safe: the tracker calls it with the library's global lock held.
#ifndef QUORKIT_WIN32_LIVE_BLOCK_TABLE_H
#define QUORKIT_WIN32_LIVE_BLOCK_TABLE_H

namespace quor {

struct LiveBlock {
  unsigned int address;  // 0: the slot is empty (no block lives at address 0)
  unsigned int size;
  unsigned int serial;
  unsigned short region;
  unsigned char op;        // the DebugMemTag::Op that allocated it
  unsigned char reported;  // already named in a leak report
  const char* comment;
};

class LiveBlockTable {
 public:
  // Adds a block; false when the table is full and cannot grow (nothing changed then).
  bool insert(const LiveBlock& block);
  // The live block at `address`, or null. Valid until the next insert or remove.
  LiveBlock* find(unsigned int address);
  // Removes the block at `address` into `removed`; false when there is none.
  bool remove(unsigned int address, LiveBlock* removed);

  unsigned int count() const { return count_; }
  unsigned int capacity() const { return capacity_; }
  // Slot i of the storage (may be empty): for walks over every live block.
  const LiveBlock& slot(unsigned int i) const { return slots_[i]; }
  LiveBlock& slot(unsigned int i) { return slots_[i]; }

 private:
  unsigned int home(unsigned int address) const;
  bool grow();
  void place(const LiveBlock& block);

  LiveBlock* slots_ = nullptr;
  unsigned int capacity_ = 0;  // a power of two, or 0 before the first insert
  unsigned int shift_ = 0;     // 32 - log2(capacity_)
  unsigned int count_ = 0;
};

// A copy of some live blocks in serial order, in memory of its own (VirtualAlloc): the walks that
// call back into the application or write files work on it without the lock, so a callback may
// allocate and release as it likes.
class LiveBlockSnapshot {
 public:
  LiveBlockSnapshot() = default;
  LiveBlockSnapshot(const LiveBlockSnapshot&) = delete;
  LiveBlockSnapshot& operator=(const LiveBlockSnapshot&) = delete;
  ~LiveBlockSnapshot();

  // Copies the blocks with region in first..last; false when no memory could be had for them.
  bool take(const LiveBlockTable& table, unsigned short first, unsigned short last);
  unsigned int count() const { return count_; }
  const LiveBlock& operator[](unsigned int i) const { return blocks_[i]; }

 private:
  LiveBlock* blocks_ = nullptr;
  unsigned int count_ = 0;
};

}  // namespace quor

#endif
