#include "fixed_effects/fixed_effects.hpp"

#include <cmath>

#include "runtime/check.hpp"

namespace kestrel {

FixedEffects::FixedEffects(std::span<const CodeSpan> codes,
                           std::span<const std::size_t> n_groups, std::size_t nrows,
                           std::span<const double> weights, std::span<const double> roots)
    : nrows_(nrows), n_groups_(n_groups.begin(), n_groups.end()) {
  check_len(n_groups.size(), codes.size());
  n_groups_.resize(codes.size());
  if (!weights.empty()) {
    check_len(weights.size(), nrows);
    weights_ = weights.first(nrows);
    if (roots.size() >= nrows) {
      roots_ = roots.first(nrows);
    } else {
      roots_owned_.resize(nrows);
      for (std::size_t i = 0; i < nrows; ++i) roots_owned_[i] = std::sqrt(weights[i]);
      roots_ = roots_owned_;  // the buffer moves with the value
    }
  }
  codes_.reserve(codes.size());
  tables_.reserve(codes.size());
  sizes_.reserve(codes.size());
  for (std::size_t q = 0; q < codes.size(); ++q) {
    check_len(codes[q].size(), nrows);
    const CodeSpan c = codes[q].first(nrows);
    for (const std::int32_t code : c) check_code(code, n_groups_[q]);
    codes_.push_back(c);
    tables_.push_back(compact_codes(c, n_groups_[q]));
    const CodeSpan used = tables_.back().codes();
    std::vector<double>& size = sizes_.emplace_back(tables_.back().table_size, 0.0);
    if (weights_.empty()) {
      for (const std::int32_t t : used) size[static_cast<std::size_t>(t)] += 1.0;
    } else {
      for (std::size_t i = 0; i < nrows; ++i)
        size[static_cast<std::size_t>(used[i])] += weights_[i];
    }
  }
}

std::vector<std::size_t> FixedEffects::coefficient_offsets() const {
  std::vector<std::size_t> offset{0};
  for (const std::size_t g : n_groups_) offset.push_back(checked_add(offset.back(), g));
  return offset;
}

}  // namespace kestrel
