// Disjoint-set forest with path compression and union by rank.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/check.hpp"

namespace kestrel {

struct UnionFind {
  std::vector<std::size_t> parent;
  std::vector<std::size_t> rank;

  // Nodes 0..n-1, each its own set.
  explicit UnionFind(std::size_t n) : parent(n), rank(n, 0) {
    for (std::size_t v = 0; v < n; ++v) parent[v] = v;
  }

  // Root of v; every node on the way is then pointed at the root. A node of
  // n or more panics.
  std::size_t find(std::size_t v) {
    check_index(v, parent.size());
    std::size_t root = v;
    while (parent[root] != root) root = parent[root];
    while (parent[v] != root) {
      const std::size_t up = parent[v];
      parent[v] = root;
      v = up;
    }
    return root;
  }

  // Joins the sets of a and b: the root of lower rank goes under the other;
  // on equal ranks b's root goes under a's, whose rank grows by one.
  void unite(std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (rank[a] < rank[b]) {
      parent[a] = b;
    } else if (rank[a] > rank[b]) {
      parent[b] = a;
    } else {
      parent[b] = a;
      ++rank[a];
    }
  }

  // Number of disjoint sets (roots).
  std::size_t count_sets() {
    std::size_t roots = 0;
    for (std::size_t v = 0; v < parent.size(); ++v)
      if (parent[v] == v) ++roots;
    return roots;
  }
};

}  // namespace kestrel
