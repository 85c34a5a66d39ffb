// Alignment of two sibling sequences by fingerprint.
#include "lossless/lossless.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <limits>
#include <optional>

namespace vext {
namespace {

// Edit distances above this are not searched for by the O(ND) method; the
// bound keeps its time and its O(d * d) trace memory in check.
constexpr std::int64_t kMaxTraceDistance = 1024;
// Work budget of one O(ND) search, in diagonal steps.
constexpr std::int64_t kSearchBudget = 40'000'000;
// Nested anchor rounds before a gap is aligned window by window.
constexpr int kMaxAnchorRounds = 6;
// Window by window: items of each sequence a window holds, and the edit
// distance searched for in one.
constexpr std::int64_t kWindow = 1024;
constexpr std::int64_t kWindowDistance = 64;

using Fingerprints = std::vector<std::uint64_t>;

struct Segment {
  std::int64_t a_lo, a_hi, b_lo, b_hi;
  int round;
};

// Finds a shortest edit script between a[a_lo, a_hi) and b[b_lo, b_hi) by
// Myers' greedy method and records the matched pairs. Returns false, pairing
// nothing, when the distance is beyond what the budget allows.
bool myers(const Fingerprints& a, const Fingerprints& b, const Segment& s, std::vector<std::int64_t>& out,
           std::int64_t max_distance = kMaxTraceDistance) {
  const std::int64_t n = s.a_hi - s.a_lo;
  const std::int64_t m = s.b_hi - s.b_lo;
  if (n == 0 || m == 0) return true;
  const std::int64_t limit = std::min({n + m, max_distance, std::max<std::int64_t>(64, kSearchBudget / (n + m))});
  const std::int64_t offset = limit + 1;
  std::vector<std::int64_t> v(static_cast<std::size_t>(2 * limit + 3), 0);
  // trace[d] holds v[-d..d] as it was before round d.
  std::vector<std::int64_t> trace;
  std::vector<std::size_t> starts;
  for (std::int64_t d = 0; d <= limit; ++d) {
    starts.push_back(trace.size());
    trace.insert(trace.end(), v.begin() + (offset - d), v.begin() + (offset + d + 1));
    for (std::int64_t k = -d; k <= d; k += 2) {
      std::int64_t x;
      if (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1])) {
        x = v[offset + k + 1];
      } else {
        x = v[offset + k - 1] + 1;
      }
      std::int64_t y = x - k;
      while (x < n && y < m && a[s.a_lo + x] == b[s.b_lo + y]) {
        ++x;
        ++y;
      }
      v[offset + k] = x;
      if (x >= n && y >= m) {
        // Walk back through the rounds, recording the diagonal runs.
        std::int64_t cx = n, cy = m;
        for (std::int64_t e = d; e > 0; --e) {
          const std::int64_t* prev = trace.data() + starts[static_cast<std::size_t>(e)] + e;  // prev[k] = v before round e
          const std::int64_t ck = cx - cy;
          std::int64_t pk;
          if (ck == -e || (ck != e && prev[ck - 1] < prev[ck + 1])) {
            pk = ck + 1;
          } else {
            pk = ck - 1;
          }
          const std::int64_t px = prev[pk];
          const std::int64_t py = px - pk;
          const std::int64_t sx = pk == ck + 1 ? px : px + 1;  // where the snake of round e began
          const std::int64_t sy = sx - ck;
          while (cx > sx && cy > sy) {
            --cx;
            --cy;
            out[static_cast<std::size_t>(s.a_lo + cx)] = s.b_lo + cy;
          }
          cx = px;
          cy = py;
        }
        while (cx > 0 && cy > 0) {
          --cx;
          --cy;
          out[static_cast<std::size_t>(s.a_lo + cx)] = s.b_lo + cy;
        }
        return true;
      }
    }
  }
  return false;
}

// The fingerprint of each run of `w` items of x[lo, hi), by where it starts.
Fingerprints run_hashes(const Fingerprints& x, std::int64_t lo, std::int64_t hi, std::int64_t w) {
  if (w == 1) return Fingerprints(x.begin() + lo, x.begin() + hi);
  constexpr std::uint64_t kBase = 0x100000001b3ULL;
  std::uint64_t top = 1;  // kBase to the power w - 1, as the oldest item weighs
  for (std::int64_t k = 1; k < w; ++k) top *= kBase;
  Fingerprints out;
  out.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, hi - lo - w + 1)));
  std::uint64_t h = 0;
  for (std::int64_t i = lo; i < hi; ++i) {
    if (i - lo >= w) h -= x[static_cast<std::size_t>(i - w)] * top;
    h = h * kBase + x[static_cast<std::size_t>(i)];
    if (i - lo + 1 >= w) out.push_back(h);
  }
  return out;
}

// How often each run fingerprint occurs on either side of a segment (once,
// or more) and where, in an open-addressed table: a table of nodes took a
// heap block per distinct run, which on lists of millions of items cost
// more than the rest of the alignment. A slot keeps no fingerprint of its
// own: it is the one at its first place in a.
//
// On long lists the table is far larger than the cache and nearly every
// probe misses it, so each pass over a list asks for the slot of the item
// kPrefetch places ahead while it works on this one.
class RunCounts {
 public:
  static constexpr std::size_t kPrefetch = 16;

  explicit RunCounts(const Fingerprints& a_runs) : a_runs_(a_runs) {
    std::size_t capacity = 16;
    while (capacity < a_runs.size() + a_runs.size() / 2) capacity <<= 1;
    slots_.resize(capacity);
    shift_ = 64 - static_cast<int>(std::countr_zero(capacity));
    for (std::size_t i = 0; i < a_runs.size(); ++i) {
      if (i + kPrefetch < a_runs.size()) prefetch(a_runs[i + kPrefetch]);
      Slot& s = slots_[place(a_runs[i])];
      if (!s.a_count) {
        s.a_at = static_cast<std::uint32_t>(i);
        s.tag = tag(a_runs[i]);
      }
      s.a_count = s.a_count ? 2 : 1;
    }
  }
  void add_b(std::uint64_t hash, std::uint32_t at) {
    Slot& s = slots_[place(hash)];
    if (!s.a_count) return;
    s.b_count = s.b_count ? 2 : 1;
    s.b_at = at;
  }
  // Where the run occurs once on each side, or nullopt.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> once(std::uint64_t hash) const {
    const Slot& s = slots_[place(hash)];
    if (s.a_count != 1 || s.b_count != 1) return std::nullopt;
    return std::pair{s.a_at, s.b_at};
  }
  // Asks for the cache line where the search for `hash` starts.
  void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[home(hash)]); }

 private:
  struct Slot {
    std::uint32_t a_at = 0, b_at = 0;
    std::uint16_t tag = 0;                  // a few bits of the fingerprint, checked first
    std::uint8_t a_count = 0, b_count = 0;  // 0, 1 or 2 for more
  };
  static std::uint16_t tag(std::uint64_t hash) { return static_cast<std::uint16_t>(hash); }
  // The slot that holds `hash`, or the empty one where it would go. The tag
  // spares most probes a second miss, on the fingerprint in a.
  std::size_t place(std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint16_t t = tag(hash);
    for (std::size_t i = home(hash);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (!s.a_count || (s.tag == t && a_runs_[s.a_at] == hash)) return i;
    }
  }
  std::size_t home(std::uint64_t hash) const { return (hash * 0x9E3779B97F4A7C15ULL) >> shift_; }
  const Fingerprints& a_runs_;
  std::vector<Slot> slots_;
  int shift_ = 0;
};

// Pairs the runs of `w` items that occur exactly once in both halves of the
// segment, keeping the longest chain of them that is increasing in both, and
// queues the gaps between them. Returns false, pairing nothing, when no run
// qualifies.
bool anchor_runs(const Fingerprints& a, const Fingerprints& b, const Segment& s, std::int64_t w,
                 std::vector<std::int64_t>& out, std::vector<Segment>& work) {
  constexpr std::int64_t kMaxItems = std::numeric_limits<std::uint32_t>::max();
  if (std::min(s.a_hi - s.a_lo, s.b_hi - s.b_lo) < w) return false;
  if (std::max(s.a_hi - s.a_lo, s.b_hi - s.b_lo) > kMaxItems) return false;
  // Offsets from the segment's start, which the size check keeps in 32 bits.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  {
    // The table and the run fingerprints go before the chain is sought:
    // on long lists they are most of the alignment's memory.
    const Fingerprints ha = run_hashes(a, s.a_lo, s.a_hi, w);
    RunCounts counts(ha);
    {
      const Fingerprints hb = run_hashes(b, s.b_lo, s.b_hi, w);
      for (std::size_t j = 0; j < hb.size(); ++j) {
        if (j + RunCounts::kPrefetch < hb.size()) counts.prefetch(hb[j + RunCounts::kPrefetch]);
        counts.add_b(hb[j], static_cast<std::uint32_t>(j));
      }
    }
    for (std::size_t k = 0; k < ha.size(); ++k) {
      if (k + RunCounts::kPrefetch < ha.size()) counts.prefetch(ha[k + RunCounts::kPrefetch]);
      const auto at = counts.once(ha[k]);
      if (!at) continue;
      const std::int64_t i = s.a_lo + at->first, j = s.b_lo + at->second;
      // Equal run fingerprints of unequal runs are a collision.
      if (w > 1 && !std::equal(a.begin() + i, a.begin() + i + w, b.begin() + j)) continue;
      pairs.push_back(*at);
    }
  }
  if (pairs.empty()) return false;
  // Longest increasing run of b positions, by patience sorting.
  constexpr std::uint32_t kNone = UINT32_MAX;
  std::vector<std::uint32_t> tails, prev(pairs.size(), kNone);
  for (std::uint32_t p = 0; p < pairs.size(); ++p) {
    // Most anchors come in order on both sides and extend the longest chain.
    if (tails.empty() || pairs[tails.back()].second < pairs[p].second) {
      if (!tails.empty()) prev[p] = tails.back();
      tails.push_back(p);
      continue;
    }
    auto pos = std::lower_bound(tails.begin(), tails.end(), pairs[p].second,
                                [&](std::uint32_t t, std::uint32_t v) { return pairs[t].second < v; });
    if (pos != tails.begin()) prev[p] = *(pos - 1);
    if (pos == tails.end()) {
      tails.push_back(p);
    } else {
      *pos = p;
    }
  }
  std::vector<std::uint32_t> chain;
  for (std::uint32_t p = tails.back(); p != kNone; p = prev[p]) chain.push_back(p);
  std::reverse(chain.begin(), chain.end());
  std::int64_t a_lo = s.a_lo, b_lo = s.b_lo;
  for (const std::uint32_t p : chain) {
    const std::int64_t i = s.a_lo + pairs[p].first, j = s.b_lo + pairs[p].second;
    if (i < a_lo || j < b_lo) continue;  // overlaps the run paired before it
    for (std::int64_t k = 0; k < w; ++k) out[static_cast<std::size_t>(i + k)] = j + k;
    // A gap with nothing on one side pairs nothing; most anchors stand
    // side by side, and queuing their empty gaps took more memory than the
    // rest of the alignment.
    if (a_lo < i && b_lo < j) work.push_back({a_lo, i, b_lo, j, s.round + 1});
    a_lo = i + w;
    b_lo = j + w;
  }
  if (a_lo < s.a_hi && b_lo < s.b_hi) work.push_back({a_lo, s.a_hi, b_lo, s.b_hi, s.round + 1});
  return true;
}

// Anchors the segment on unique common items; where no item is unique, as in
// long lists of a few small values, on unique runs of a few items, then of
// more. Returns false when nothing anchors it.
bool anchor(const Fingerprints& a, const Fingerprints& b, const Segment& s, std::vector<std::int64_t>& out,
            std::vector<Segment>& work) {
  for (const std::int64_t w : {1, 4, 16, 64}) {
    if (anchor_runs(a, b, s, w, out, work)) return true;
  }
  return false;
}

// Aligns a segment that nothing anchors (a list repeating itself, say) from
// its start, window by window: each window is searched for a short edit
// script, and the pairs in its first half are kept, the next window starting
// after the last of them. A window too different to search pairs nothing and
// the next one starts half a window on. Linear in the segment's length.
void align_windows(const Fingerprints& a, const Fingerprints& b, Segment s, std::vector<std::int64_t>& out) {
  constexpr std::int64_t kHalf = kWindow / 2;
  while (s.a_lo < s.a_hi && s.b_lo < s.b_hi) {
    const Segment w{s.a_lo, std::min(s.a_hi, s.a_lo + kWindow), s.b_lo, std::min(s.b_hi, s.b_lo + kWindow), s.round};
    const bool last = w.a_hi == s.a_hi && w.b_hi == s.b_hi;
    if (!myers(a, b, w, out, kWindowDistance)) {
      s.a_lo = std::min(s.a_hi, s.a_lo + kHalf);
      s.b_lo = std::min(s.b_hi, s.b_lo + kHalf);
      continue;
    }
    if (last) return;
    // Keep the pairs in the first half of the window in both sequences.
    std::int64_t next_a = s.a_lo, next_b = s.b_lo;
    for (std::int64_t i = w.a_lo; i < w.a_hi; ++i) {
      std::int64_t& j = out[static_cast<std::size_t>(i)];
      if (j < 0) continue;
      if (i < s.a_lo + kHalf && j < s.b_lo + kHalf) {
        next_a = i + 1;
        next_b = j + 1;
      } else {
        j = -1;
      }
    }
    if (next_a == s.a_lo && next_b == s.b_lo) {
      next_a = std::min(s.a_hi, s.a_lo + kHalf);
      next_b = std::min(s.b_hi, s.b_lo + kHalf);
    }
    s.a_lo = next_a;
    s.b_lo = next_b;
  }
}

// Among alignments as long, prefers one whose gaps pair off item for item: a
// paired item with an equal unpaired neighbour may pair through that
// neighbour instead, and does so where the gaps on its two sides become more
// even. Aligning [1 75 75 93 2] with [1 1075 75 1093 2] can pair the first 75
// with the only one, leaving one item against none and two against one; the
// second 75 leaves one against one twice, which reads as two replacements.
void balance(const Fingerprints& a, const Fingerprints& b, std::vector<std::int64_t>& out) {
  const auto n = static_cast<std::int64_t>(a.size());
  const auto m = static_cast<std::int64_t>(b.size());
  const auto uneven = [](std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2) {
    return std::abs(x1 - y1) + std::abs(x2 - y2);
  };
  const auto next_paired = [&](std::int64_t from) {
    while (from < n && out[static_cast<std::size_t>(from)] < 0) ++from;
    return from;
  };
  // The pair before the one at i, and the one after it (or the ends).
  std::int64_t pi = -1, pj = -1;
  for (std::int64_t i = next_paired(0); i < n;) {
    std::int64_t j = out[static_cast<std::size_t>(i)];
    const std::int64_t ni = next_paired(i + 1);
    const std::int64_t nj = ni < n ? out[static_cast<std::size_t>(ni)] : m;
    for (;;) {
      const std::int64_t now = uneven(i - pi, j - pj, ni - i, nj - j);
      std::int64_t best = now, di = 0, dj = 0;
      for (const std::int64_t d : {-1, 1}) {
        if (i + d > pi && i + d < ni && a[static_cast<std::size_t>(i + d)] == a[static_cast<std::size_t>(i)]) {
          const std::int64_t c = uneven(i + d - pi, j - pj, ni - i - d, nj - j);
          if (c < best) {
            best = c;
            di = d;
            dj = 0;
          }
        }
        if (j + d > pj && j + d < nj && b[static_cast<std::size_t>(j + d)] == b[static_cast<std::size_t>(j)]) {
          const std::int64_t c = uneven(i - pi, j + d - pj, ni - i, nj - j - d);
          if (c < best) {
            best = c;
            di = 0;
            dj = d;
          }
        }
      }
      if (best == now) break;
      out[static_cast<std::size_t>(i)] = -1;
      i += di;
      j += dj;
      out[static_cast<std::size_t>(i)] = j;
    }
    pi = i;
    pj = j;
    i = ni;
  }
}

}  // namespace

namespace {

thread_local AlignmentMemo* current_memo = nullptr;
// Sequences this long, counting both, are worth remembering.
constexpr std::size_t kRememberFrom = std::size_t{1} << 16;
// At most this many alignments are remembered at once.
constexpr std::size_t kRemembered = 4;

std::uint64_t digest(const Fingerprints& x) {
  std::uint64_t h = 0x646967657374ULL;
  for (const std::uint64_t v : x) h = (h ^ v) * 0x100000001b3ULL + (v >> 29);
  return h;
}

std::vector<std::int64_t> align_once(const Fingerprints& a, const Fingerprints& b);

}  // namespace

AlignmentMemo::AlignmentMemo() : previous_(current_memo) { current_memo = this; }
AlignmentMemo::~AlignmentMemo() { current_memo = previous_; }
AlignmentMemo* AlignmentMemo::current() { return current_memo; }

const std::vector<std::int64_t>* AlignmentMemo::find(const Fingerprints& a, const Fingerprints& b,
                                                     std::uint64_t a_digest, std::uint64_t b_digest) const {
  for (const Entry& e : entries_) {
    if (e.a_digest != a_digest || e.b_digest != b_digest || e.a_size != a.size() || e.b_size != b.size()) continue;
    for (std::size_t i = 0; i < e.out.size(); ++i) {
      const std::int64_t j = e.out[i];
      if (j >= 0 && a[i] != b[static_cast<std::size_t>(j)]) return nullptr;
    }
    return &e.out;
  }
  return nullptr;
}

void AlignmentMemo::add(std::uint64_t a_digest, std::uint64_t b_digest, std::size_t a_size, std::size_t b_size,
                        const std::vector<std::int64_t>& out) {
  if (entries_.size() == kRemembered) entries_.erase(entries_.begin());
  entries_.push_back({a_digest, b_digest, a_size, b_size, out});
}

std::vector<std::int64_t> align_sequences(const Fingerprints& a, const Fingerprints& b) {
  AlignmentMemo* memo = current_memo;
  if (!memo || a.size() + b.size() < kRememberFrom) return align_once(a, b);
  const std::uint64_t da = digest(a), db = digest(b);
  if (const auto* known = memo->find(a, b, da, db)) return *known;
  std::vector<std::int64_t> out = align_once(a, b);
  memo->add(da, db, a.size(), b.size(), out);
  return out;
}

namespace {

std::vector<std::int64_t> align_once(const Fingerprints& a, const Fingerprints& b) {
  std::vector<std::int64_t> out(a.size(), -1);
  std::vector<Segment> work{{0, static_cast<std::int64_t>(a.size()), 0, static_cast<std::int64_t>(b.size()), 0}};
  while (!work.empty()) {
    Segment s = work.back();
    work.pop_back();
    while (s.a_lo < s.a_hi && s.b_lo < s.b_hi && a[static_cast<std::size_t>(s.a_lo)] == b[static_cast<std::size_t>(s.b_lo)]) {
      out[static_cast<std::size_t>(s.a_lo++)] = s.b_lo++;
    }
    while (s.a_lo < s.a_hi && s.b_lo < s.b_hi &&
           a[static_cast<std::size_t>(s.a_hi - 1)] == b[static_cast<std::size_t>(s.b_hi - 1)]) {
      out[static_cast<std::size_t>(--s.a_hi)] = --s.b_hi;
    }
    if (s.a_lo == s.a_hi || s.b_lo == s.b_hi) continue;
    if (myers(a, b, s, out)) continue;
    if (s.round >= kMaxAnchorRounds || !anchor(a, b, s, out, work)) align_windows(a, b, s, out);
  }
  balance(a, b, out);
  return out;
}

}  // namespace

}  // namespace vext
