// Strm: the byte streams that carry a session channel's traffic: the source
// (bytes received, read by the service) and the sink (bytes the service
// queues for sending), and the transport's write buffer.
//
// A stream is a queue of string segments.  Write copies bytes onto the end
// (into the last segment when the stream made that segment itself and
// nobody shares it); WriteSt appends a string as a segment of its own
// without copying it, so a cached file goes out without being copied.
// Peek makes the front bytes contiguous (joining segments only when they
// span several) for parsers that scan the input in place.
//
// Invariants: Size() is the sum of the segment lengths minus the part of
// the first segment already consumed; no segment is empty.
//
// Bounds: a stream may carry a limit, the most bytes its writer should
// queue (Room()); the session layer stops moving received bytes into a
// source that has no room, so a slow consumer holds the client back
// through TCP instead of growing memory.  0 means no limit, a negative
// limit no room at all.
//
// Notification: the data callback is called (by the session layer) after
// bytes were added, and after the stream's error was set; the consumer
// clears it to disconnect.
//
// Thread use: under the run lock.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <vector>
#include <functional>
#include <string_view>

#include "St.h"

namespace quil {

class Strm {
 public:
  Strm() = default;
  Strm(const Strm&) = delete;
  Strm& operator=(const Strm&) = delete;

  int64_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }

  // Copies n bytes onto the end.
  void Write(const void* bytes, size_t n);
  void WriteView(std::string_view text) { Write(text.data(), text.size()); }
  // Appends str as a segment (no copy; str is consumed).  Nil and empty
  // strings add nothing.
  void WriteSt(St str);

  // The first n bytes (n <= Size()) as one contiguous range, valid until
  // the stream changes.  Joins segments when the range spans several.
  std::string_view Peek(size_t n);
  std::string_view PeekAll() { return Peek(size_t(size_)); }
  // Copies the first n bytes (n <= Size()) into a new string and consumes
  // them.
  St Take(size_t n);
  // Drops the first n bytes (n <= Size()).
  void Consume(size_t n);
  void Clear();

  // Moves whole segments from the front of from onto the end of this
  // stream while this one has room (at least one segment when it is empty,
  // so a segment larger than the limit still moves).  Returns the bytes
  // moved.
  int64_t MoveFrom(Strm& from);

  // Fills iov with up to max segments from the front; returns how many.
  int Segments(iovec* iov, int max) const;

  // Writer limit (0: none, negative: closed) and what is left of it.
  void SetLimit(int64_t limit) { limit_ = limit; }
  int64_t Limit() const { return limit_; }
  int64_t Room() const;

  // The error reported on the stream (0: none).
  int16_t Error() const { return error_; }
  void SetError(int16_t code) { error_ = code; }

  // Called after data was added or the error was set; null: nobody
  // listens.
  std::function<void()> onData;

 private:
  void Push(St segment, bool owned);
  void PopFront();

  // Segments from first_ on hold bytes; those before it are consumed and
  // dropped when the vector empties (no allocation for an unused stream).
  std::vector<St> segs_;
  size_t first_ = 0;
  size_t headOff_ = 0;     // consumed bytes of segs_[first_]
  int64_t size_ = 0;
  bool tailOwned_ = false;  // segs_.back() was made by Write
  int64_t limit_ = 0;
  int16_t error_ = 0;
};

// Package protocol (nothing to set up; present for the package order).
uint16_t StrmInitRtns(int selector, int32_t value);

}  // namespace quil
