#pragma once

// The pairing of two sibling lists, written once for every tree that can say
// of each child its kind, its key (kind and identity) and its fingerprint:
// the indexed trees of the engine, and the sketches a file is first read into.
//
// A tree type T provides child_count(p), child(p, k), kind(e) -> string_view,
// key(e) -> T::Key (with ==, has_identity and a T::KeyHash) and hash(e).

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lossless/lossless.h"

namespace vext::detail {

// Parents with at most this many children are scanned instead of indexed.
inline constexpr std::size_t kScanLimit = 32;

// Pairs the unpaired children of x in [xa, xb) with those of y in [ya, yb),
// each with the next unpaired y child of the same kind, so pairs stay in order.
// Children already paired elsewhere (moved ones) are passed over.
template <class T>
void pair_gap(const T& x, std::size_t px, const std::vector<std::uint32_t>& xs, std::size_t xa, std::size_t xb,
              const T& y, std::size_t py, const std::vector<std::uint32_t>& ys, std::size_t ya, std::size_t yb,
              std::vector<std::int64_t>& x_to_y, std::vector<std::int64_t>& y_to_x) {
  if (xa == xb || ya == yb) return;
  auto xkind = [&](std::size_t i) { return x.kind(x.child(px, xs[i])); };
  auto ykind = [&](std::size_t j) { return y.kind(y.child(py, ys[j])); };
  std::size_t cursor = ya;
  if (yb - ya <= kScanLimit) {
    for (std::size_t i = xa; i < xb && cursor < yb; ++i) {
      if (x_to_y[xs[i]] >= 0) continue;
      for (std::size_t j = cursor; j < yb; ++j) {
        if (y_to_x[ys[j]] < 0 && xkind(i) == ykind(j)) {
          x_to_y[xs[i]] = static_cast<std::int64_t>(ys[j]);
          y_to_x[ys[j]] = static_cast<std::int64_t>(xs[i]);
          cursor = j + 1;
          break;
        }
      }
    }
    return;
  }
  std::unordered_map<std::string_view, std::vector<std::size_t>> by_kind;
  for (std::size_t j = ya; j < yb; ++j) {
    if (y_to_x[ys[j]] < 0) by_kind[ykind(j)].push_back(j);
  }
  for (std::size_t i = xa; i < xb && cursor < yb; ++i) {
    if (x_to_y[xs[i]] >= 0) continue;
    auto it = by_kind.find(xkind(i));
    if (it == by_kind.end()) continue;
    auto pos = std::lower_bound(it->second.begin(), it->second.end(), cursor);
    if (pos == it->second.end()) continue;
    x_to_y[xs[i]] = static_cast<std::int64_t>(ys[*pos]);
    y_to_x[ys[*pos]] = static_cast<std::int64_t>(xs[i]);
    cursor = *pos + 1;
  }
}

// Pairs the unpaired children of x listed in `xs` with unpaired children of y
// listed in `ys` that are the same sub-tree (equal fingerprint and kind), in
// order of occurrence.
template <class T>
void pair_moved(const T& x, std::size_t px, const std::vector<std::uint32_t>& xs, const T& y, std::size_t py,
                const std::vector<std::uint32_t>& ys, std::vector<std::int64_t>& x_to_y,
                std::vector<std::int64_t>& y_to_x) {
  // Few children are scanned: a table for each of them cost more than the
  // pairing, on every parent of a deep tree. Each x child takes the first
  // unpaired y child of its fingerprint, as the queues below give it.
  if (ys.size() <= kScanLimit) {
    std::size_t first_free = 0;
    for (std::size_t i : xs) {
      if (x_to_y[i] >= 0) continue;
      const std::uint64_t h = x.hash(x.child(px, i));
      while (first_free < ys.size() && y_to_x[ys[first_free]] >= 0) ++first_free;
      for (std::size_t k = first_free; k < ys.size(); ++k) {
        const std::size_t j = ys[k];
        if (y_to_x[j] >= 0 || y.hash(y.child(py, j)) != h) continue;
        // Equal fingerprints of different kinds can only be a collision.
        if (y.kind(y.child(py, j)) == x.kind(x.child(px, i))) {
          x_to_y[i] = static_cast<std::int64_t>(j);
          y_to_x[j] = static_cast<std::int64_t>(i);
        }
        break;
      }
    }
    return;
  }
  struct Queue {
    std::vector<std::size_t> items;
    std::size_t next = 0;
  };
  std::unordered_map<std::uint64_t, Queue> unpaired;
  for (std::size_t j : ys) {
    if (y_to_x[j] < 0) unpaired[y.hash(y.child(py, j))].items.push_back(j);
  }
  if (unpaired.empty()) return;
  for (std::size_t i : xs) {
    if (x_to_y[i] >= 0) continue;
    auto it = unpaired.find(x.hash(x.child(px, i)));
    if (it == unpaired.end()) continue;
    Queue& q = it->second;
    // Equal fingerprints of different kinds can only be a collision.
    if (q.next == q.items.size() || y.kind(y.child(py, q.items[q.next])) != x.kind(x.child(px, i))) continue;
    const std::size_t j = q.items[q.next++];
    x_to_y[i] = static_cast<std::int64_t>(j);
    y_to_x[j] = static_cast<std::int64_t>(i);
  }
}

// Pairs children by kind and identity (repeated identities in order of
// occurrence), and children without identity by aligning their fingerprint
// sequences, then the unchanged ones that moved, then leftover siblings of
// the same kind in order within each gap of the alignment.
// Returns, for each child of x's `px` and of y's `py`, its partner or -1.
template <class T>
std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> pair_child_lists(const T& x, std::size_t px,
                                                                                  const T& y, std::size_t py) {
  const std::size_t xn = x.child_count(px), yn = y.child_count(py);
  std::vector<std::int64_t> x_to_y(xn, -1), y_to_x(yn, -1);
  // Most parents keep their children where they were.
  if (xn == yn) {
    bool aligned = true;
    for (std::size_t k = 0; k < xn && aligned; ++k) {
      const std::size_t a = x.child(px, k), b = y.child(py, k);
      const auto key = x.key(a);
      aligned = key == y.key(b) && (key.has_identity || x.hash(a) == y.hash(b));
    }
    if (aligned) {
      for (std::size_t k = 0; k < xn; ++k) x_to_y[k] = y_to_x[k] = static_cast<std::int64_t>(k);
      return {std::move(x_to_y), std::move(y_to_x)};
    }
    // An only child that changed pairs as the steps below would pair it,
    // without their tables: by kind, where neither side has an identity.
    if (xn == 1) {
      const std::size_t a = x.child(px, 0), b = y.child(py, 0);
      if (!x.key(a).has_identity && !y.key(b).has_identity && x.kind(a) == y.kind(b)) x_to_y[0] = y_to_x[0] = 0;
      return {std::move(x_to_y), std::move(y_to_x)};
    }
  }
  std::vector<std::uint32_t> xs, ys;  // children without identity
  // The y children with identity, chained in order per key; `next` is the
  // first one not yet paired, `last` where the chain grows.
  struct Chain {
    std::size_t next, last;
  };
  constexpr std::size_t kEnd = SIZE_MAX;
  std::unordered_map<typename T::Key, Chain, typename T::KeyHash> named;
  if (yn > kScanLimit) named.reserve(yn);
  std::vector<std::size_t> later;  // made at the first child with identity
  for (std::size_t j = 0; j < yn; ++j) {
    const auto key = y.key(y.child(py, j));
    if (!key.has_identity) {
      ys.push_back(static_cast<std::uint32_t>(j));
      continue;
    }
    if (later.empty()) later.assign(yn, kEnd);
    const auto [it, fresh] = named.try_emplace(key, Chain{j, j});
    if (!fresh) later[std::exchange(it->second.last, j)] = j;
  }
  for (std::size_t i = 0; i < xn; ++i) {
    const auto key = x.key(x.child(px, i));
    if (!key.has_identity) {
      xs.push_back(static_cast<std::uint32_t>(i));
      continue;
    }
    auto it = named.find(key);
    if (it == named.end() || it->second.next == kEnd) continue;
    const std::size_t j = std::exchange(it->second.next, later[it->second.next]);
    x_to_y[i] = static_cast<std::int64_t>(j);
    y_to_x[j] = static_cast<std::int64_t>(i);
  }
  if (xs.empty() || ys.empty()) return {std::move(x_to_y), std::move(y_to_x)};
  std::vector<std::uint64_t> fx(xs.size()), fy(ys.size());
  for (std::size_t i = 0; i < xs.size(); ++i) fx[i] = x.hash(x.child(px, xs[i]));
  for (std::size_t j = 0; j < ys.size(); ++j) fy[j] = y.hash(y.child(py, ys[j]));
  std::vector<std::int64_t> aligned = align_sequences(fx, fy);
  std::size_t left = xs.size();
  for (std::size_t i = 0; i < xs.size(); ++i) {
    if (aligned[i] < 0) continue;
    const auto j = static_cast<std::size_t>(aligned[i]);
    // Equal fingerprints of different kinds can only be a collision.
    if (x.kind(x.child(px, xs[i])) != y.kind(y.child(py, ys[j]))) {
      aligned[i] = -1;
      continue;
    }
    x_to_y[xs[i]] = static_cast<std::int64_t>(ys[j]);
    y_to_x[ys[j]] = static_cast<std::int64_t>(xs[i]);
    --left;
  }
  // An unchanged child that moved is the same child: equal fingerprints the
  // alignment left out pair in order of occurrence.
  if (left > 0 && ys.size() > xs.size() - left) pair_moved(x, px, xs, y, py, ys, x_to_y, y_to_x);
  // What is left pairs by kind within the gaps between aligned children.
  std::size_t xa = 0, ya = 0;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    if (aligned[i] < 0) continue;
    const auto j = static_cast<std::size_t>(aligned[i]);
    pair_gap(x, px, xs, xa, i, y, py, ys, ya, j, x_to_y, y_to_x);
    xa = i + 1;
    ya = j + 1;
  }
  pair_gap(x, px, xs, xa, xs.size(), y, py, ys, ya, ys.size(), x_to_y, y_to_x);
  return {std::move(x_to_y), std::move(y_to_x)};
}

}  // namespace vext::detail
