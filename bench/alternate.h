// Both sides of a comparison, run one after the other in an order that alternates from round to
// round, so that neither side always meets the page cache's write-back (or the warm caches) the
// other left behind.
#pragma once

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

}  // namespace voxl::bench
