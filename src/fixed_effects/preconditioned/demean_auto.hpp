// The "auto" strategy for several fixed effects: conjugate gradient on the
// symmetric sweep first, so that designs it solves in a few steps pay
// nothing extra; once it stalls, the graph-preconditioned solver
// (preconditioned_demean.hpp) continues from the current iterate. CG keeps
// its iterate in x0 + range(D), so the switch simply demeans that iterate
// further.
//
// Stall rule: kStallRun consecutive steps whose residual ratio
// sqrt(r.r_k / r.r_{k-1}) exceeds kStallRatio. On the public benchmark
// panel (10^6 rows) the sweep's ratios stay near 0.02 on the simple design
// (converged in 7 steps) and climb past 0.5 by the fourth step on the
// difficult one, where CG would need about 390 steps: the rule switches
// there after 6 steps and never on the simple design. Switching early is
// cheap because the preconditioned solver needs a handful of iterations of
// two passes over the rows, against five per sweep step.
#pragma once

#include <cstddef>
#include <span>

#include "codes/compact_codes.hpp"
#include "fixed_effects/demean.hpp"

namespace kestrel {

inline constexpr double kStallRatio = 0.5;
inline constexpr unsigned kStallRun = 3;

// Demeans ncols contiguous columns of nrows values in place by Q >= 2 fixed
// effects (codes and n_groups as for preconditioned_demean; `spare` as for
// demean_cg_columns). options.max_iter bounds the iterations of both stages
// together; the observer sees every iteration of both, numbered on from the
// CG stage. Reports the stage that finished, the iterations of each stage,
// the preconditioner's set-up time and whether the last stage converged.
DemeanReport demean_auto(std::span<double> data, std::size_t nrows, std::size_t ncols,
                         std::span<const CodeSpan> codes, std::span<const std::size_t> n_groups,
                         const DemeanOptions& options, std::span<double> spare = {});

}  // namespace kestrel
