#include "Strm.h"

#include <algorithm>
#include <cstring>

#include "Ma.h"

namespace quil {

namespace {

PkgState strmPkg;
bool StrmDebugFlag = false;

// A new segment made by Write reserves at least this much, so that many
// small writes share one block.
constexpr int32_t kStrmMinSegment = 4096;

}  // namespace

void Strm::Push(St segment, bool owned) {
  if (segment.Length() == 0) return;
  size_ += segment.Length();
  segs_.push_back(std::move(segment));
  tailOwned_ = owned;
}

void Strm::PopFront() {
  segs_[first_] = St();
  ++first_;
  headOff_ = 0;
  if (first_ == segs_.size()) {
    segs_.clear();
    first_ = 0;
    tailOwned_ = false;
  } else if (first_ >= 16 && first_ * 2 >= segs_.size()) {
    segs_.erase(segs_.begin(), segs_.begin() + long(first_));
    first_ = 0;
  }
}

void Strm::Write(const void* bytes, size_t n) {
  if (n == 0) return;
  MA_CHECK(true, n < size_t(INT32_MAX) / 2, "Strm::Write--Count");
  if (tailOwned_ && first_ < segs_.size() && segs_.back().RefCount() == 1) {
    St& tail = segs_.back();
    // A tail that is also the head and mostly consumed is compacted first,
    // so that an input stream consumed as it fills stays small.
    if (segs_.size() - first_ == 1 && headOff_ > 0 && headOff_ * 2 >= size_t(tail.Length())) {
      tail = StRemove(std::move(tail), 0, int32_t(headOff_));
      headOff_ = 0;
    }
    tail = StAppendData(std::move(tail), bytes, int32_t(n));
    size_ += int64_t(n);
    return;
  }
  St seg = StReserve(St(), std::max<int32_t>(int32_t(n), kStrmMinSegment));
  seg = StAppendData(std::move(seg), bytes, int32_t(n));
  Push(std::move(seg), true);
}

void Strm::WriteSt(St str) { Push(std::move(str), false); }

std::string_view Strm::Peek(size_t n) {
  MA_CHECK(StrmDebugFlag, int64_t(n) <= size_, "Strm::Peek--Count");
  if (n == 0) return std::string_view();
  const St& front = segs_[first_];
  if (size_t(front.Length()) - headOff_ >= n)
    return std::string_view(front.CStr() + headOff_, n);
  // Join everything into one segment.
  St joined = StReserve(St(), int32_t(size_));
  for (size_t i = first_; i < segs_.size(); ++i) {
    size_t off = i == first_ ? headOff_ : 0;
    joined = StAppendData(std::move(joined), segs_[i].CStr() + off,
                          segs_[i].Length() - int32_t(off));
  }
  segs_.clear();
  segs_.push_back(std::move(joined));
  first_ = 0;
  headOff_ = 0;
  tailOwned_ = true;
  return std::string_view(segs_[0].CStr(), n);
}

St Strm::Take(size_t n) {
  std::string_view v = Peek(n);
  St out = StCreateLen(v.data(), int32_t(v.size()));
  Consume(n);
  return out;
}

void Strm::Consume(size_t n) {
  MA_CHECK(StrmDebugFlag, int64_t(n) <= size_, "Strm::Consume--Count");
  size_ -= int64_t(n);
  while (n > 0) {
    size_t left = size_t(segs_[first_].Length()) - headOff_;
    if (n < left) {
      headOff_ += n;
      return;
    }
    n -= left;
    PopFront();
  }
}

void Strm::Clear() {
  segs_.clear();
  first_ = 0;
  headOff_ = 0;
  size_ = 0;
  tailOwned_ = false;
}

int64_t Strm::Room() const {
  if (limit_ < 0) return 0;
  if (limit_ == 0) return INT64_MAX;
  return size_ >= limit_ ? 0 : limit_ - size_;
}

int64_t Strm::MoveFrom(Strm& from) {
  int64_t moved = 0;
  while (from.first_ < from.segs_.size()) {
    int64_t segLen = from.segs_[from.first_].Length() - int64_t(from.headOff_);
    if (!Empty() && segLen > Room()) break;
    if (from.headOff_ == 0) {
      bool owned = from.segs_.size() - from.first_ == 1 && from.tailOwned_;
      St seg = std::move(from.segs_[from.first_]);
      from.size_ -= segLen;
      from.PopFront();
      Push(std::move(seg), owned);
    } else {
      St rest = from.Take(size_t(segLen));
      Push(std::move(rest), true);
    }
    moved += segLen;
  }
  return moved;
}

int Strm::Segments(iovec* iov, int max) const {
  int n = 0;
  for (size_t i = first_; i < segs_.size() && n < max; ++i) {
    size_t off = i == first_ ? headOff_ : 0;
    iov[n].iov_base = const_cast<char*>(segs_[i].CStr() + off);
    iov[n].iov_len = size_t(segs_[i].Length()) - off;
    ++n;
  }
  return n;
}

uint16_t StrmInitRtns(int selector, int32_t value) {
  uint16_t r = PkgDispatch(strmPkg, "StrmInitRtns", selector, value, PkgSteps{});
  if (selector == kPkgDebug) StrmDebugFlag = strmPkg.debug;
  return r;
}

}  // namespace quil
