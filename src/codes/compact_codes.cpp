#include "codes/compact_codes.hpp"

#include <limits>

namespace kestrel {

namespace {

template <class Row>
struct Key {
  std::uint32_t code;
  Row row;
};

// Stable counting sort of `from` into `to` by 16 bits of the code.
template <class Row>
void radix_pass(const std::vector<Key<Row>>& from, std::vector<Key<Row>>& to, unsigned shift) {
  std::vector<std::size_t> start(65537, 0);
  for (const auto& k : from) ++start[((k.code >> shift) & 0xffffu) + 1];
  for (std::size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
  for (const auto& k : from) to[start[(k.code >> shift) & 0xffffu]++] = k;
}

template <class Row>
std::size_t renumber(CodeSpan codes, std::vector<std::int32_t>& out) {
  std::size_t m = 0;
  for (const std::int32_t c : codes) m += c >= 0 ? 1 : 0;
  std::vector<Key<Row>> a(m);
  std::vector<Key<Row>> b(m);
  std::size_t j = 0;
  for (std::size_t i = 0; i < codes.size(); ++i)
    if (codes[i] >= 0) a[j++] = {static_cast<std::uint32_t>(codes[i]), static_cast<Row>(i)};
  radix_pass(a, b, 0);
  radix_pass(b, a, 16);
  b = {};
  std::size_t distinct = 0;
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < m; ++i) {
    if (i == 0 || a[i].code != previous) ++distinct;
    previous = a[i].code;
    // At most 2^31 distinct non-negative int32 values, so ids fit.
    out[a[i].row] = static_cast<std::int32_t>(distinct - 1);
  }
  return distinct;
}

}  // namespace

bool compact_codes_needed(std::size_t table_size, std::size_t len) {
  constexpr std::size_t slack = 64;
  if (len > (std::numeric_limits<std::size_t>::max() - slack) / 2) return false;
  return table_size > 2 * len + slack;
}

CompactCodes compact_codes(CodeSpan codes, std::size_t table_size) {
  CompactCodes result;
  result.original = codes;
  result.table_size = table_size;
  if (!compact_codes_needed(table_size, codes.size())) return result;
  result.owned.assign(codes.size(), -1);
  result.table_size = codes.size() <= std::numeric_limits<std::uint32_t>::max()
                          ? renumber<std::uint32_t>(codes, result.owned)
                          : renumber<std::uint64_t>(codes, result.owned);
  result.renumbered = true;
  return result;
}

}  // namespace kestrel
