// The limits that make every network request end, and the clock that
// watches them: the same rule on both builds, whatever the platform's own
// time-outs do (Wine ignores WinINet's receive time-out, and a server that
// drips one byte at a time defeats any time-out per read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace os {

struct TransferLimits {
  // Abandoned when fewer than lowSpeedBytes arrive in lowSpeedMs; this also
  // bounds connecting and the wait for the answer's headers.
  uint32_t lowSpeedBytes = 1024;
  uint32_t lowSpeedMs = 30000;
  // The moment (os::MonotonicMs) by which the whole request, redirects
  // included, must be done; 0 for none.
  uint64_t deadlineMs = 0;
};

// Progress of one transfer against its limits. Times are os::MonotonicMs.
class TransferWatch {
 public:
  TransferWatch(const TransferLimits& limits, uint64_t nowMs)
      : limits_(limits), windowStart_(nowMs) {}

  // Bytes arrived from the network.
  void Received(uint64_t bytes, uint64_t nowMs) {
    windowBytes_ += bytes;
    if (windowBytes_ >= limits_.lowSpeedBytes) Restart(nowMs);
  }
  // A new measuring window: after a pause that the reader caused, which is
  // no fault of the network.
  void Restart(uint64_t nowMs) {
    windowStart_ = nowMs;
    windowBytes_ = 0;
  }
  // True once a limit has passed: the transfer must be abandoned.
  bool Expired(uint64_t nowMs) const { return MsLeft(nowMs) == 0; }
  // How long the transfer may still wait for bytes before a limit passes.
  uint64_t MsLeft(uint64_t nowMs) const {
    uint64_t windowEnd = windowStart_ + limits_.lowSpeedMs;
    uint64_t end =
        limits_.deadlineMs != 0 && limits_.deadlineMs < windowEnd ? limits_.deadlineMs : windowEnd;
    return nowMs >= end ? 0 : end - nowMs;
  }

 private:
  TransferLimits limits_;
  uint64_t windowStart_;
  uint64_t windowBytes_ = 0;
};

// Bytes received and not yet read: appended at the end, taken from the
// front. The read part is dropped only when it outweighs the rest, so each
// byte is moved at most about once whatever the reader's piece size.
class ByteQueue {
 public:
  void Append(const char* data, size_t size) { bytes_.append(data, size); }
  size_t Size() const { return bytes_.size() - offset_; }
  bool Empty() const { return Size() == 0; }
  // Up to size bytes into buf; the number taken.
  size_t Take(void* buf, size_t size) {
    size_t take = Size() < size ? Size() : size;
    std::memcpy(buf, bytes_.data() + offset_, take);
    offset_ += take;
    if (offset_ == bytes_.size()) {
      bytes_.clear();
      offset_ = 0;
    } else if (offset_ >= 65536 && offset_ >= bytes_.size() - offset_) {
      bytes_.erase(0, offset_);
      offset_ = 0;
    }
    return take;
  }

 private:
  std::string bytes_;
  size_t offset_ = 0;
};

}  // namespace os
