// What "converged" promises for a demeaned column, shared by the solvers.
#pragma once

namespace kestrel {

// The layer's accuracy target for every column it demeans: the distance to
// the exact residual at most tol times the larger of the result's norm and
// kScaleFloor times the column's own scale. The floor keeps the target
// reachable for columns that the fixed effects (nearly) absorb, whose exact
// residual is (nearly) zero; for them the result is still within
// tol * kScaleFloor of that scale, far below what counts as absorbed.
inline constexpr double kScaleFloor = 1e-3;

// Relative rounding level of the data: a residual norm within this factor of
// the data's own norm cannot shrink further.
inline constexpr double kRoundingFloor = 10.0 * 2.220446049250313e-16;

// Growth of an iterate's squared norm in one step beyond which the step is
// rounding noise blown up (in exact arithmetic the norm never grows).
inline constexpr double kGrowthLimit = 1e-6;

}  // namespace kestrel
