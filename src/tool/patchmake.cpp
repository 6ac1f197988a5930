#include "tool/patchmake.h"

#include <algorithm>
#include <new>
#include <utility>

#include "install/patch.h"

namespace {

// While a round of the sort runs, the top bit of an entry of the order
// marks the first suffix of a new group.
constexpr uint32_t kGroupMark = 0x80000000u;
constexpr int32_t kIndexBits = 0x7FFFFFFF;
// A match must beat the current alignment by more than this many bytes to
// start a run of its own: each run costs a triple and its seek.
constexpr size_t kSwitchGain = 8;

using Groups = std::vector<std::pair<size_t, size_t>>;

uint64_t Log2(uint64_t v) {
  uint64_t bits = 0;
  while (v >>= 1) ++bits;
  return bits;
}

// Orders by the first two bytes, the end of the data below every byte;
// each suffix's rank is the place where its group starts in the order.
void SortByTwoBytes(const uint8_t* s, size_t n, std::vector<int32_t>& order,
                    std::vector<int32_t>& rank, Groups& open) {
  const auto key = [&](size_t i) { return s[i] * 257u + (i + 1 < n ? s[i + 1] + 1u : 0u); };
  std::vector<uint32_t> start(256 * 257 + 1, 0);
  for (size_t i = 0; i < n; ++i) ++start[key(i) + 1];
  for (size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  std::vector<uint32_t> next(start.begin(), start.end() - 1);
  for (size_t i = 0; i < n; ++i) order[next[key(i)]++] = static_cast<int32_t>(i);
  for (size_t k = 0; k + 1 < start.size(); ++k) {
    const size_t b = start[k], e = start[k + 1];
    for (size_t j = b; j < e; ++j) rank[order[j]] = static_cast<int32_t>(b);
    if (e - b > 1) open.push_back({b, e});
  }
}

// Longest matches in the old file over its sorted suffixes; work counts the
// bytes compared.
struct Finder {
  const uint8_t* old;
  size_t oldSize;
  const std::vector<int32_t>& order;
  uint64_t work = 0;

  // The length of the common start of old[at..] and want[0..size), known
  // to be at least from.
  size_t Common(size_t at, const uint8_t* want, size_t size, size_t from) {
    const size_t limit = std::min(oldSize - at, size);
    size_t k = from;
    while (k < limit && old[at + k] == want[k]) ++k;
    work += k - from + 1;
    return k;
  }

  // The longest stretch of old that want[0..size) begins with: binary
  // search over the sorted suffixes, where everything between two bounds
  // shares the shorter of their common starts with want.
  void Longest(const uint8_t* want, size_t size, size_t& pos, size_t& len) {
    pos = len = 0;
    if (oldSize == 0 || size == 0) return;
    size_t lo = 0, hi = oldSize - 1;
    size_t atLo = Common(order[lo], want, size, 0), atHi = Common(order[hi], want, size, 0);
    while (hi - lo > 1) {
      const size_t mid = lo + (hi - lo) / 2, at = order[mid];
      const size_t k = Common(at, want, size, std::min(atLo, atHi));
      const bool below = k < size && (k == oldSize - at || old[at + k] < want[k]);
      (below ? lo : hi) = mid;
      (below ? atLo : atHi) = k;
    }
    pos = order[atLo >= atHi ? lo : hi];
    len = std::max(atLo, atHi);
  }
};

// Walks the new file, following one alignment of the old file (old
// position minus new position) while it holds and switching to a fresh
// exact match when that is clearly better; each stretch between two
// switches becomes one triple.
class Maker {
 public:
  Maker(const std::string& o, const std::string& w, const std::vector<int32_t>& order)
      : old_(reinterpret_cast<const uint8_t*>(o.data())),
        new_(reinterpret_cast<const uint8_t*>(w.data())),
        oldSize_(o.size()),
        newSize_(w.size()),
        find_{old_, oldSize_, order} {}

  bool Run(uint64_t budget) {
    size_t scan = 0, pos = 0, len = 0;
    for (;;) {
      scan += len;
      // How many bytes of new[scan, scored) the current alignment gets right.
      size_t agree = 0, scored = scan;
      for (; scan < newSize_; ++scan) {
        find_.Longest(new_ + scan, newSize_ - scan, pos, len);
        for (; scored < scan + len; ++scored) agree += Agrees(scored, offset_);
        // The alignment already gives this match: go on past it.
        if (len != 0 && len == agree) break;
        if (len > agree + kSwitchGain) break;
        if (scored > scan)
          agree -= Agrees(scan, offset_);
        else
          scored = scan + 1;
        if (find_.work > budget) return false;
      }
      if (scan == newSize_) {
        Close(scan, 0, false);
        break;
      }
      if (len != agree) Close(scan, pos, true);
    }
    Flush();
    return find_.work <= budget;
  }

  std::string Patch() const {
    PatchHeader h;
    h.oldSize = oldSize_;
    h.newSize = newSize_;
    h.controlLength = control_.size();
    h.diffLength = diff_.size();
    h.extraLength = extra_.size();
    return PatchHeaderBytes(h) + control_ + diff_ + extra_;
  }

 private:
  bool Agrees(size_t at, int64_t offset) const {
    const int64_t o = static_cast<int64_t>(at) + offset;
    return o >= 0 && static_cast<size_t>(o) < oldSize_ && old_[o] == new_[at];
  }

  // Ends the current run where the match (at, pos) begins, or at the end of
  // the new file. The run's alignment is followed from its start as far
  // as it pays (each byte it gets right is worth one it gets wrong, since a
  // wrong one costs a diff byte); the match's alignment is followed back
  // the same way; what neither covers is inserted.
  void Close(size_t at, size_t pos, bool switching) {
    const size_t span = at - runNew_;
    size_t ahead = 0, back = 0;
    int64_t best = 0, score = 0;
    for (size_t i = 1; i <= span && runOld_ + i <= oldSize_; ++i) {
      score += old_[runOld_ + i - 1] == new_[runNew_ + i - 1] ? 1 : -1;
      if (score > best) {
        best = score;
        ahead = i;
      }
    }
    best = score = 0;
    for (size_t i = 1; switching && i <= span && i <= pos; ++i) {
      score += old_[pos - i] == new_[at - i] ? 1 : -1;
      if (score > best) {
        best = score;
        back = i;
      }
    }
    if (ahead + back > span) {
      // Where both reach, each byte goes to the alignment that gets it right.
      const size_t overlap = ahead + back - span, from = at - back;
      const int64_t next = static_cast<int64_t>(pos) - static_cast<int64_t>(at);
      size_t keep = 0;
      best = score = 0;
      for (size_t k = 0; k < overlap; ++k) {
        score += Agrees(from + k, offset_) - Agrees(from + k, next);
        if (score > best) {
          best = score;
          keep = k + 1;
        }
      }
      ahead = ahead - overlap + keep;
      back -= keep;
    }
    for (size_t i = 0; i < ahead; ++i)
      diff_ += static_cast<char>(new_[runNew_ + i] - old_[runOld_ + i]);
    extra_.append(reinterpret_cast<const char*>(new_ + runNew_ + ahead), span - ahead - back);
    const size_t to = switching ? pos - back : runOld_ + ahead;
    Push(ahead, span - ahead - back,
         static_cast<int64_t>(to) - static_cast<int64_t>(runOld_ + ahead));
    runNew_ = at - back;
    runOld_ = to;
    offset_ = static_cast<int64_t>(pos) - static_cast<int64_t>(at);
  }

  // A triple that moves no byte only moves the old position: that move is
  // added to the triple before it, so that only a first triple is ever
  // empty.
  void Push(uint64_t add, uint64_t insert, int64_t seek) {
    if (add == 0 && insert == 0 && pending_) {
      seek_ += seek;
      return;
    }
    Flush();
    pending_ = true;
    add_ = add;
    insert_ = insert;
    seek_ = seek;
  }

  void Flush() {
    if (pending_) control_ += PatchTripleBytes(add_, insert_, seek_);
    pending_ = false;
  }

  const uint8_t* old_;
  const uint8_t* new_;
  size_t oldSize_, newSize_;
  Finder find_;
  size_t runNew_ = 0, runOld_ = 0;
  int64_t offset_ = 0;
  bool pending_ = false;
  uint64_t add_ = 0, insert_ = 0;
  int64_t seek_ = 0;
  std::string control_, diff_, extra_;
};

}  // namespace

bool SortSuffixes(const uint8_t* s, size_t n, std::vector<int32_t>& order, uint64_t& budget) {
  order.assign(n, 0);
  if (n == 0) return true;
  std::vector<int32_t> rank(n);
  Groups open, next;
  SortByTwoBytes(s, n, order, rank, open);
  // Each round orders every group of equal h-byte starts by the rank of
  // the suffix h bytes further on, which doubles the bytes told apart. The
  // ranks are only changed once every group of the round is sorted.
  for (size_t h = 2; !open.empty(); h *= 2) {
    const auto key = [&](int32_t x) -> int64_t {
      const size_t i = static_cast<size_t>(x & kIndexBits);
      return i + h < n ? rank[i + h] : -1;
    };
    for (const auto& [b, e] : open) {
      const uint64_t cost = (e - b) * (1 + Log2(e - b));
      if (cost > budget) return false;
      budget -= cost;
      std::sort(order.begin() + b, order.begin() + e,
                [&](int32_t x, int32_t y) { return key(x) < key(y); });
      for (size_t j = b + 1; j < e; ++j)
        if (key(order[j]) != key(order[j - 1]))
          order[j] = static_cast<int32_t>(static_cast<uint32_t>(order[j]) | kGroupMark);
    }
    next.clear();
    for (const auto& [b, e] : open) {
      size_t first = b;
      for (size_t j = b; j < e; ++j) {
        const int32_t x = order[j] & kIndexBits;
        if (x != order[j]) {
          if (j - first > 1) next.push_back({first, j});
          first = j;
          order[j] = x;
        }
        rank[x] = static_cast<int32_t>(first);
      }
      if (e - first > 1) next.push_back({first, e});
    }
    open.swap(next);
  }
  return true;
}

bool MakePatch(const std::string& oldBytes, const std::string& newBytes, std::string& patch,
               uint64_t workPerByte) {
  if (oldBytes.size() > kPatchMaxFileSize || newBytes.size() > kPatchMaxFileSize) return false;
  uint64_t budget = workPerByte * (oldBytes.size() + newBytes.size()) + (1 << 16);
  // The search needs about eight bytes for each byte of the old file: where
  // that is not to be had (the 32-bit tool), the file goes whole.
  try {
    std::vector<int32_t> order;
    if (!SortSuffixes(reinterpret_cast<const uint8_t*>(oldBytes.data()), oldBytes.size(), order,
                      budget))
      return false;
    Maker maker(oldBytes, newBytes, order);
    if (!maker.Run(budget)) return false;
    patch = maker.Patch();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
