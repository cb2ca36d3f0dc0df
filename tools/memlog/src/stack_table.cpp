// Distinct call stacks; see stack_table.h.
#include "stack_table.h"

#include <algorithm>

namespace memlog {

bool StackTable::matchesLong(uint32_t id, const uint32_t* frames, uint32_t count) const {
  const uint32_t* stored = this->frames(id);
  return sameFrames(heads_[id].frame, frames, kInline) &&
         sameFrames(stored + kInline, frames + kInline, count - kInline);
}

uint32_t StackTable::add(const uint32_t* frames, uint32_t count, uint32_t h) {
  if ((starts_.size() + 1) * 4 > index_.size()) grow();
  const size_t mask = index_.size() - 1;
  size_t i = h & mask;
  while (index_[i] != 0) i = (i + 1) & mask;
  const uint32_t id = uint32_t(starts_.size());
  index_[i] = h | uint64_t(id + 1) << 32;
  starts_.push_back(pool_.size());
  pool_.insert(pool_.end(), frames, frames + count);
  Head head{};
  head.count = count;
  std::copy(frames, frames + std::min(count, kInline), head.frame);
  heads_.push_back(head);
  return id;
}

std::vector<uint32_t> distinctFrames(const StackTable& stacks) {
  std::vector<uint32_t> v;
  for (uint32_t id = 0; id < stacks.size(); ++id)
    v.insert(v.end(), stacks.frames(id), stacks.frames(id) + stacks.frameCount(id));
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

void StackTable::grow() {
  ZeroedArray<uint64_t> index(index_.size() * 2);  // every slot free
  const size_t mask = index.size() - 1;
  for (const uint64_t slot : index_) {
    if (slot == 0) continue;
    size_t i = uint32_t(slot) & mask;
    while (index[i] != 0) i = (i + 1) & mask;
    index[i] = slot;
  }
  index_.swap(index);
}

}  // namespace memlog
