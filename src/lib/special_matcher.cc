#include "lib/special_matcher.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

namespace quorvane {
namespace {

constexpr uint32_t kNoNode = 0xFFFFFFFFu;
constexpr uint32_t kRoot = 0;

struct Node {
  uint32_t depth = 0;
  uint32_t fail = kRoot;
  // The longest content that is a suffix of this node's string: its pattern index
  // and length (kNoNode when none).
  uint32_t out_pattern = kNoNode;
  uint32_t out_len = 0;
  uint32_t pattern = kNoNode;  // the content spelled exactly by this node
  uint32_t edge_begin = 0;     // children: edges [edge_begin, next node's edge_begin)
};

}  // namespace

// An Aho-Corasick automaton over a byte trie with sparse, byte-sorted child lists
// (dense only at the root). Leftmost-longest search: scan with the automaton,
// keep the best match seen (leftmost start, then longest), and stop as soon as no
// partial match still in progress can start at or before the best one.
struct SpecialTokenMatcher::Impl {
  std::vector<Node> nodes;         // nodes.size() + 1 edge_begin values (sentinel below)
  std::vector<uint32_t> edge_end;  // per node
  std::vector<uint8_t> edge_byte;  // children, sorted by byte within a node
  std::vector<uint32_t> edge_to;
  std::array<uint32_t, 256> root_next{};  // kRoot when no content starts with the byte
  std::array<bool, 256> first_byte{};
  int single_first = -1;  // the only first byte, when there is exactly one

  uint32_t child(uint32_t node, uint8_t byte) const {
    if (node == kRoot) return root_next[byte] == kRoot ? kNoNode : root_next[byte];
    const uint32_t b = nodes[node].edge_begin;
    const uint32_t e = edge_end[node];
    if (e - b <= 8) {
      for (uint32_t i = b; i < e; ++i) {
        if (edge_byte[i] == byte) return edge_to[i];
      }
      return kNoNode;
    }
    const uint8_t* lo = edge_byte.data() + b;
    const uint8_t* hi = edge_byte.data() + e;
    const uint8_t* it = std::lower_bound(lo, hi, byte);
    return (it != hi && *it == byte) ? edge_to[b + static_cast<uint32_t>(it - lo)] : kNoNode;
  }

  uint32_t step(uint32_t state, uint8_t byte) const {
    while (state != kRoot) {
      const uint32_t next = child(state, byte);
      if (next != kNoNode) return next;
      state = nodes[state].fail;
    }
    return root_next[byte];
  }

  // Position of the first byte at or after `p` that starts some content, or n.
  size_t skip_to_candidate(const uint8_t* text, size_t p, size_t n) const {
    if (single_first >= 0) {
      const void* hit = std::memchr(text + p, single_first, n - p);
      return hit == nullptr ? n : static_cast<size_t>(static_cast<const uint8_t*>(hit) - text);
    }
    while (p < n && !first_byte[text[p]]) ++p;
    return p;
  }
};

SpecialTokenMatcher::~SpecialTokenMatcher() = default;

Result<std::shared_ptr<const SpecialTokenMatcher>> SpecialTokenMatcher::build(
    const std::vector<std::string>& contents) {
  if (contents.size() >= kNoNode) {
    return Error{"too many contents (" + std::to_string(contents.size()) + ")"};
  }
  uint64_t total = 0;
  for (size_t i = 0; i < contents.size(); ++i) {
    if (contents[i].empty()) return Error{"content " + std::to_string(i) + " is empty"};
    total += contents[i].size();
  }
  // Node numbers, depths and lengths are 32-bit.
  if (total >= kNoNode - 1) {
    return Error{"the contents total " + std::to_string(total) +
                 " bytes, more than the matcher can hold"};
  }

  std::shared_ptr<SpecialTokenMatcher> matcher(new SpecialTokenMatcher());
  matcher->impl_ = std::make_unique<Impl>();
  Impl& m = *matcher->impl_;

  // Insert the contents in byte order: each one shares its path with the previous
  // one up to their common prefix, so the trie is built without any lookups, and
  // every node's children are created in increasing byte order. Equal contents
  // keep the lowest index (stable order).
  std::vector<uint32_t> order(contents.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const std::string& x = contents[a];
    const std::string& y = contents[b];
    const int c = std::memcmp(x.data(), y.data(), std::min(x.size(), y.size()));
    return c != 0 ? c < 0 : x.size() < y.size();
  });

  std::vector<Node> nodes(1);
  std::vector<uint32_t> parent_of(1, kNoNode);
  std::vector<uint8_t> byte_of(1, 0);
  nodes.reserve(total + 1);
  parent_of.reserve(total + 1);
  byte_of.reserve(total + 1);
  std::vector<uint32_t> path(1, kRoot);  // path[d]: node at depth d of the previous content
  const std::string* previous = nullptr;
  for (uint32_t index : order) {
    const std::string& s = contents[index];
    size_t common = 0;
    if (previous != nullptr) {
      const size_t limit = std::min(previous->size(), s.size());
      while (common < limit && (*previous)[common] == s[common]) ++common;
    }
    path.resize(common + 1);
    for (size_t d = common; d < s.size(); ++d) {
      const auto id = static_cast<uint32_t>(nodes.size());
      Node node;
      node.depth = static_cast<uint32_t>(d + 1);
      nodes.push_back(node);
      parent_of.push_back(path[d]);
      byte_of.push_back(static_cast<uint8_t>(s[d]));
      path.push_back(id);
    }
    Node& end = nodes[path[s.size()]];
    if (end.pattern == kNoNode) end.pattern = index;
    previous = &s;
  }

  // Children grouped by parent (a stable counting sort keeps them in byte order).
  const size_t count = nodes.size();
  std::vector<uint32_t> begin(count + 1, 0);
  for (size_t v = 1; v < count; ++v) ++begin[parent_of[v] + 1];
  for (size_t u = 0; u < count; ++u) begin[u + 1] += begin[u];
  m.edge_byte.resize(count - 1);
  m.edge_to.resize(count - 1);
  m.edge_end.assign(begin.begin(), begin.end() - 1);
  for (size_t v = 1; v < count; ++v) {
    const uint32_t slot = m.edge_end[parent_of[v]]++;
    m.edge_byte[slot] = byte_of[v];
    m.edge_to[slot] = static_cast<uint32_t>(v);
  }
  for (size_t u = 0; u < count; ++u) nodes[u].edge_begin = begin[u];
  m.nodes = std::move(nodes);
  std::vector<uint32_t>().swap(parent_of);
  std::vector<uint8_t>().swap(byte_of);

  m.root_next.fill(kRoot);
  int distinct_first = 0;
  for (uint32_t i = m.nodes[kRoot].edge_begin; i < m.edge_end[kRoot]; ++i) {
    m.root_next[m.edge_byte[i]] = m.edge_to[i];
    m.first_byte[m.edge_byte[i]] = true;
    m.single_first = m.edge_byte[i];
    ++distinct_first;
  }
  if (distinct_first != 1) m.single_first = -1;

  // Failure links and suffix outputs, breadth first (a node's failure target is
  // shallower, so it is complete when the node is reached).
  std::vector<uint32_t> queue;
  queue.reserve(count);
  queue.push_back(kRoot);
  for (size_t head = 0; head < queue.size(); ++head) {
    const uint32_t u = queue[head];
    for (uint32_t i = m.nodes[u].edge_begin; i < m.edge_end[u]; ++i) {
      const uint32_t v = m.edge_to[i];
      Node& node = m.nodes[v];
      node.fail = u == kRoot ? kRoot : m.step(m.nodes[u].fail, m.edge_byte[i]);
      if (node.pattern != kNoNode) {
        node.out_pattern = node.pattern;
        node.out_len = node.depth;
      } else {
        node.out_pattern = m.nodes[node.fail].out_pattern;
        node.out_len = m.nodes[node.fail].out_len;
      }
      queue.push_back(v);
    }
  }
  return std::shared_ptr<const SpecialTokenMatcher>(std::move(matcher));
}

bool SpecialTokenMatcher::find(std::string_view text, size_t from, SpecialMatch& match) const {
  const Impl& m = *impl_;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  uint32_t state = kRoot;
  bool found = false;
  size_t pos = from;
  while (pos < n) {
    if (state == kRoot) {
      // Nothing in progress (and, at depth 0, any match found would already have
      // been returned): jump to the next byte that can start a content.
      pos = m.skip_to_candidate(p, pos, n);
      if (pos == n) break;
    }
    state = m.step(state, p[pos]);
    ++pos;
    const Node& node = m.nodes[state];
    if (node.out_pattern != kNoNode) {
      const size_t start = pos - node.out_len;
      // A later end with a start no further right is leftmost, or equally left
      // and longer.
      if (!found || start <= match.start) {
        match = SpecialMatch{node.out_pattern, start, pos};
        found = true;
      }
    }
    if (found && pos - node.depth > match.start) return true;
  }
  return found;
}

}  // namespace quorvane
