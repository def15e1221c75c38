// Both sides of a comparison, run one after the other in an order that alternates from round to
// round, so that neither side always meets the page cache's write-back (or the warm caches) the
// other left behind.
#pragma once

#include <algorithm>
#include <utility>

namespace voxl::bench {

// Runs `ours` and `peer` (each returning its measurement) and returns {ours, peer}; `peerFirst`
// says which goes first this round and is flipped for the next.
template <typename Ours, typename Peer>
auto RunAlternating(bool& peerFirst, Ours ours, Peer peer) {
  std::pair<decltype(ours()), decltype(peer())> result;
  if (peerFirst) {
    result.second = peer();
    result.first = ours();
  } else {
    result.first = ours();
    result.second = peer();
  }
  peerFirst = !peerFirst;
  return result;
}

// The best (smallest) measurement of each side over the rounds, and their ratio.
struct Best {
  double ours = 0;
  double peer = 0;
  void Add(double o, double p) {
    ours = ours > 0 ? std::min(ours, o) : o;
    peer = peer > 0 ? std::min(peer, p) : p;
  }
  bool Valid() const { return ours > 0 && peer > 0; }
  double PeerOverOurs() const { return peer / ours; }
};

}  // namespace voxl::bench
