// Shaping, the reading thread's part of the replay: each event's logged stack to the stack shown,
// and the hand-over of the shaped events to the replay; see analysis.h.
#include "analysis.h"

#include <algorithm>
#include <cstring>

namespace memlog {

// A stack's shown frames and group; run once per distinct shown stack.
uint32_t Analysis::shownStack(const uint32_t* frames, uint32_t count) {
  const uint32_t first = filter_.firstShown(frames, count);
  frames += first;
  count -= first;
  if (!filter_.groupsByFunction()) return stacks.intern(frames, count);
  keys_.resize(count);
  for (uint32_t i = 0; i < count; ++i) keys_[i] = filter_.groupKey(frames[i]);
  const uint32_t group = functionStacks_.intern(keys_.data(), count);
  // A new group is a new shown stack (equal frames have equal keys), so the ids keep in step;
  // the group shows the frames of its first stack.
  if (group == stacks.size()) stacks.intern(frames, count);
  return group;
}

// The first sighting of a logged stack: shaped once.
uint32_t Analysis::addLoggedStack(const Event& e) {
  const uint32_t shown = shownStack(e.frames, e.frameCount);
  shownOfLogged_.push_back(shown);
  return shown;
}

void Analysis::onEvents(const Event* events, size_t count) {
  for (; count > kPiece; events += kPiece, count -= kPiece) shapePiece(events, kPiece);
  shapePiece(events, count);
}

// The stack table outgrows the first cache level: a piece's slots are asked for before the first
// of them is needed, so that the misses overlap instead of following one another.
void Analysis::shapePiece(const Event* events, size_t count) {
  uint32_t hashes[kPiece];
  for (size_t i = 0; i < count; ++i) {
    hashes[i] = StackTable::hash(events[i].frames, events[i].frameCount);
    loggedStacks_.prefetch(hashes[i]);
  }
  Step* steps = roomFor(count);
  for (size_t i = 0; i < count; ++i) makeStep(steps[i], events[i], stackOf(events[i], hashes[i]));
  batch_->count += count;
}

// Hands the full batch on and takes an empty one. The first batch is replayed here, so a short
// log costs no thread; a longer one starts the replay thread with its second batch. On a single
// processor, or a host that cannot start a thread, every batch is replayed here.
void Analysis::handOver() {
  if (batch_) batch_->stacks = stacks.size();
  if (pipe_) {
    pipe_->publish();
    batch_ = &pipe_->toFill();
  } else if (batch_) {
    replay(*batch_);
    if (!threadRefused_) startReplayThread();
  } else {
    own_.reset(new StepBatch);
    batch_ = own_.get();
  }
  batch_->count = 0;
}

void Analysis::startReplayThread() {
  if (host::processors() < 2) {
    threadRefused_ = true;
    return;
  }
  pipe_.reset(new Pipe);
  if (replayer_.start(replayOnThread, this)) {
    batch_ = &pipe_->toFill();
  } else {
    pipe_.reset();
    threadRefused_ = true;
  }
}

// Replays every step handed over so far and stops the replay thread: the figures are current.
void Analysis::settle() {
  if (!batch_) return;
  batch_->stacks = stacks.size();
  if (pipe_) {
    if (batch_->count) pipe_->publish();
    pipe_->finish();
    replayer_.join();
    pipe_.reset();
  } else if (batch_->count) {
    replay(*batch_);
  }
  own_.reset();
  batch_ = nullptr;
}

}  // namespace memlog
