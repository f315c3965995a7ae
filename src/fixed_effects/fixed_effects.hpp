// The fixed effects of one sample as every solver reads them, built once:
// the code columns, their tables (codes renumbered where the declared
// number of groups is out of proportion to the rows, compact_codes.hpp), each
// group's size (its rows, or the sum of their weights) and the regression
// weights with their square roots. The one-fixed-effect projection, the
// conjugate-gradient sweep and both stages of the auto solver take it, so
// none of them recounts the groups or re-derives the roots.
//
// Shapes: n rows; Q fixed effects, fixed effect q with codes 0..G_q-1.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "codes/compact_codes.hpp"

namespace kestrel {

class FixedEffects {
 public:
  // Code columns of at least nrows codes, of which the first nrows are read,
  // each in 0..n_groups[q]-1 (panics otherwise; n_groups needs an entry per
  // column). Weights: none, or one positive weight per row (the data the
  // solvers then take hold sqrt(w) x); roots: their square roots, if the
  // caller has them (empty: taken here).
  FixedEffects(std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups,
               std::size_t nrows, std::span<const double> weights = {},
               std::span<const double> roots = {});
  // A copy's roots would point into the original's buffer; a move takes the
  // buffer along.
  FixedEffects(const FixedEffects&) = delete;
  FixedEffects& operator=(const FixedEffects&) = delete;
  FixedEffects(FixedEffects&&) = default;
  FixedEffects& operator=(FixedEffects&&) = default;
  ~FixedEffects() = default;

  std::size_t size() const { return codes_.size(); }
  bool empty() const { return codes_.empty(); }
  std::size_t rows() const { return nrows_; }
  // The first nrows codes of each column, as given.
  std::span<const CodeSpan> codes() const { return codes_; }
  std::span<const std::size_t> n_groups() const { return n_groups_; }
  // Codes that index tables of tables(q).table_size slots.
  const CompactCodes& tables(std::size_t q) const { return tables_[q]; }
  // Per table slot, the group's rows (counts) or the sum of their weights,
  // each added in row order.
  std::span<const double> sizes(std::size_t q) const { return sizes_[q]; }
  bool weighted() const { return !weights_.empty(); }
  std::span<const double> weights() const { return weights_; }
  std::span<const double> roots() const { return roots_; }  // sqrt(w); empty unweighted
  // Coefficients of all fixed effects concatenated in order (n_groups[q]
  // each): where each starts, then their number.
  std::vector<std::size_t> coefficient_offsets() const;

 private:
  std::size_t nrows_ = 0;
  std::vector<CodeSpan> codes_;
  std::vector<std::size_t> n_groups_;
  std::vector<CompactCodes> tables_;
  std::vector<std::vector<double>> sizes_;
  std::span<const double> weights_;
  std::vector<double> roots_owned_;
  std::span<const double> roots_;
};

}  // namespace kestrel
