// The module `_core`: the estimator pipeline's stages for the Python layer,
// one declaration and one thin wrapper per stage, results as dicts of named
// fields. Failed internal checks arrive as ValueError (the layer validates
// its input first, so they mean input it let through); Ctrl-C between
// iterations arrives as KeyboardInterrupt.
//
// Every stage gives up the interpreter lock for its numerical work, so other
// Python threads (and fits in them) run meanwhile; it re-takes the lock only
// to check for signals and to report progress between iterations.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "boundary/frame.hpp"
#include "boundary/kinds.hpp"
#include "boundary/module.hpp"
#include "boundary/numpy_include.hpp"
#include "boundary/observer.hpp"
#include "boundary/released.hpp"
#include "boundary/results.hpp"
#include "boundary/stage_args.hpp"
#include "codes/group_codes.hpp"
#include "fixed_effects/demean.hpp"
#include "runtime/check.hpp"
#include "runtime/work_buffer.hpp"
#include "stages/absorb.hpp"
#include "stages/fixef_values.hpp"
#include "stages/least_squares.hpp"
#include "stages/meats.hpp"
#include "stages/recode.hpp"
#include "stages/sample.hpp"

namespace kestrel {
namespace {

using boundary::ArrayResult;
using boundary::code_results;
using boundary::column_major;
using boundary::counts_of;
using boundary::Fields;
using boundary::indices_of;
using boundary::Kind;
using boundary::observed_without_interpreter;
using boundary::owned;
using boundary::owned_codes;
using boundary::OwnedCodes;
using boundary::OwnedRef;
using boundary::PythonObserver;
using boundary::resid_of;
using boundary::serial_codes;
using boundary::Signature;
using boundary::start_coefficients;
using boundary::used_weights;
using boundary::without_interpreter;

// ---- recode ------------------------------------------------------------------

constexpr Signature<1> kRecode{
    "recode",
    {{{"values", Kind::Object}}},
    "Dense codes 0..G-1 of a 1-D int64, int32 or float64 array; NaN gets -1.\n"
    "Returns (codes, G)."};

std::tuple<ArrayResult<std::int32_t>, std::uint64_t> recode(OwnedRef& values) {
  boundary::ensure_numpy_api();
  PyObject* obj = values.get();
  if (!PyArray_Check(obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) != 1)
    throw ValueFailure("recode takes a 1-D NumPy array");
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  const auto n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  const char* data = static_cast<const char*>(PyArray_DATA(arr));
  const std::ptrdiff_t stride = PyArray_STRIDE(arr, 0);
  const int type = PyArray_TYPE(arr);
  if (!PyArray_ISNOTSWAPPED(arr)) throw ValueFailure("recode needs native byte order");
  if (type != NPY_INT64 && type != NPY_LONGLONG && type != NPY_INT32 && type != NPY_FLOAT64)
    throw ValueFailure("recode takes int64, int32 or float64 values");
  Recoded r = without_interpreter([&] {
    if (type == NPY_INT64 || type == NPY_LONGLONG)
      return recode_values(StridedVector<std::int64_t>{data, n, stride});
    if (type == NPY_INT32) return recode_values(StridedVector<std::int32_t>{data, n, stride});
    return recode_values(StridedVector<double>{data, n, stride});
  });
  return {boundary::vector_result(std::move(r.codes)), r.n_groups};
}

// ---- sample ------------------------------------------------------------------

constexpr Signature<5> kSample{
    "sample",
    {{{"fe", Kind::I32VectorSeq},
      {"clusters", Kind::I32VectorSeq},
      {"keep", Kind::MaskVector},
      {"drop_singletons", Kind::Bool},
      {"counts", Kind::Object, "None"}}},
    "The rows a fit uses (keep, less singletons) and its code columns over them.\n"
    "counts (float64, one per row): frequency weights; a row is then a singleton only\n"
    "when its group's total count is 1."};

Fields sample(std::vector<boundary::I32Vector>& fe_views,
              std::vector<boundary::I32Vector>& cluster_views, boundary::U8Vector& keep_view,
              bool drop_singletons, OwnedRef& counts_arg) {
  const OwnedCodes fe_owned = owned_codes(fe_views);
  const OwnedCodes cl_owned = owned_codes(cluster_views);
  const std::vector<CodeSpan>& fe = fe_owned.spans;
  const std::vector<CodeSpan>& cl = cl_owned.spans;
  const std::vector<std::uint8_t> keep = owned(keep_view.contiguous());
  const std::size_t n0 = keep.size();
  std::vector<double> counts;
  if (counts_arg.get() != Py_None) {
    boundary::F64Vector view;
    boundary::convert_param(counts_arg.get(), "counts", view);
    const StridedVector<double> c = view.strided();
    if (c.len != n0)
      throw ValueFailure("counts has " + std::to_string(c.len) + " values but keep has " +
                         std::to_string(n0) + " rows");
    counts.resize(n0);
    for (std::size_t i = 0; i < n0; ++i) counts[i] = c[i];
  }
  LayerSample found = without_interpreter(
      [&] { return layer_sample(n0, fe, cl, keep, drop_singletons, counts); });
  Sample& s = found.sample;
  std::vector<std::uint8_t> mask = s.mask.empty() ? std::vector<std::uint8_t>(n0, 1)
                                                  : std::move(s.mask);
  Fields out;
  out.set("mask", boundary::MaskResult{std::move(mask)})
      .set("n", static_cast<std::uint64_t>(s.n))
      .set("n_singletons", static_cast<std::uint64_t>(s.removed))
      .set("fe_groups", counts_of(s.fe_groups));
  out.set("fe", code_results(std::move(s.fe)))
      .set("clusters", code_results(std::move(s.cl)))
      .set("cluster_groups", std::move(found.cluster_groups))
      .set("absorbed_dof", found.absorbed_dof);
  return out;
}

// ---- absorb ------------------------------------------------------------------

constexpr Signature<13> kAbsorb{
    "absorb",
    {{{"columns", Kind::F64VectorSeq},
      {"mask", Kind::MaskVector},
      {"fe", Kind::I32VectorSeq},
      {"fe_groups", Kind::CountSeq},
      {"tol", Kind::Float},
      {"max_iter", Kind::Count},
      {"solver", Kind::Str},
      {"progress", Kind::Object},
      {"weights", Kind::Object, "None"},
      {"start", Kind::Object, "None"},
      {"coefficients", Kind::Bool, "False"},
      {"slopes", Kind::Object, "None"},
      {"slope_layout", Kind::Object, "None"}}},
    "The used rows of the columns stacked column by column, fixed effects removed.\n"
    "weights (float64, one per row, > 0 on used rows): the weighted projection, data\n"
    "sqrt(w) times its residuals, sum_squares the weighted centred sums of squares,\n"
    "`weights` and `roots` w and sqrt(w) at the rows used.\n"
    "start: per column, fixed-effect coefficients (sum of fe_groups values, fe in order)\n"
    "to start from; coefficients=True: the result's `coefficients`, laid out as start.\n"
    "slopes (float64 vectors, one value per row) with slope_layout (per fixed effect,\n"
    "its number of slope vectors, then 1 if it keeps its intercept, else 0): varying\n"
    "slopes, the slope vectors of the fixed effects in order; the projection on each\n"
    "level's intercept and slopes (any solver), `level_ranks` per fixed effect the\n"
    "summed ranks of its levels' terms; not with start; coefficients=True: each fixed\n"
    "effect's in order, level by level, its terms (intercept, slopes) within a level."};

Fields absorb(std::vector<boundary::F64Vector>& column_views, boundary::U8Vector& mask_view,
              std::vector<boundary::I32Vector>& fe_views, std::vector<std::uint64_t>& fe_groups,
              double tol, std::uint64_t max_iter, std::string& solver, OwnedRef& progress,
              OwnedRef& weights_arg, OwnedRef& start_arg, bool want_coefficients,
              OwnedRef& slopes_arg, OwnedRef& layout_arg) {
  AbsorbSettings settings;
  settings.tol = tol;
  settings.max_iter = max_iter;
  if (solver == "auto")
    settings.solver = DemeanSolver::Auto;
  else if (solver == "cg")
    settings.solver = DemeanSolver::Cg;
  else
    throw ValueFailure("solver must be \"auto\" or \"cg\", not \"" + solver + "\"");
  if (!(tol > 0.0)) throw ValueFailure("tol must be positive");
  if (progress.get() != Py_None && !PyCallable_Check(progress.get()))
    throw ValueFailure("progress must be None or a callable");

  const std::vector<std::uint8_t> mask = owned(mask_view.contiguous());
  const OwnedCodes fe_owned = owned_codes(fe_views);
  const std::vector<CodeSpan>& fe = fe_owned.spans;
  const std::size_t n0 = mask.size();
  const auto n = static_cast<std::size_t>(
      std::count_if(mask.begin(), mask.end(), [](std::uint8_t m) { return m != 0; }));
  std::vector<StackSource> sources;
  sources.reserve(column_views.size());
  for (auto& v : column_views) {
    const StridedVector<double> values = v.strided();
    if (values.len != n0)
      throw ValueFailure("a column has " + std::to_string(values.len) +
                         " values but the mask has " + std::to_string(n0));
    sources.push_back(StackSource::of(values));
  }
  if (fe.size() != fe_groups.size()) throw ValueFailure("fe and fe_groups differ in length");
  for (const CodeSpan c : fe)
    if (c.size() != n)
      throw ValueFailure("a fixed-effect column has " + std::to_string(c.size()) +
                         " codes but the mask keeps " + std::to_string(n) + " rows");
  const std::vector<std::size_t> groups(fe_groups.begin(), fe_groups.end());
  const std::size_t n_coef = coefficient_count(groups);
  std::vector<double> weights = weights_arg.get() == Py_None
                                          ? std::vector<double>()
                                          : used_weights(weights_arg, mask, n);
  const std::vector<std::vector<double>> start =
      start_arg.get() == Py_None ? std::vector<std::vector<double>>()
                                 : start_coefficients(start_arg, sources.size(), n_coef);
  if (start_arg.get() != Py_None) settings.start = &start;
  settings.weights = weights;
  settings.coefficients = want_coefficients;
  // Varying slopes: the used rows of every slope vector, grouped by fixed effect.
  std::vector<std::vector<double>> slope_values;
  std::vector<SlopeTerms> slope_terms;
  if ((slopes_arg.get() == Py_None) != (layout_arg.get() == Py_None))
    throw ValueFailure("slopes and slope_layout go together");
  if (slopes_arg.get() != Py_None) {
    if (start_arg.get() != Py_None)
      throw ValueFailure("start is not available with slopes");
    std::vector<boundary::F64Vector> slope_views;
    boundary::convert_param(slopes_arg.get(), "slopes", slope_views);
    std::vector<std::uint64_t> layout;
    boundary::convert_param(layout_arg.get(), "slope_layout", layout);
    if (fe.empty() || layout.size() != checked_mul(2, fe.size()))
      throw ValueFailure("slope_layout needs two counts per fixed effect");
    std::size_t total = 0;
    for (std::size_t q = 0; q < fe.size(); ++q) {
      if (layout[2 * q + 1] > 1) throw ValueFailure("slope_layout: an intercept flag is 0 or 1");
      if (layout[2 * q] > slope_views.size())
        throw ValueFailure("slope_layout counts more slopes than given");
      if (layout[2 * q] == 0 && layout[2 * q + 1] == 0)
        throw ValueFailure("slope_layout: a fixed effect without intercept or slopes");
      total = checked_add(total, static_cast<std::size_t>(layout[2 * q]));
    }
    if (total != slope_views.size())
      throw ValueFailure("slope_layout counts " + std::to_string(total) + " slopes but " +
                         std::to_string(slope_views.size()) + " are given");
    for (boundary::F64Vector& v : slope_views) {
      const StridedVector<double> values = v.strided();
      if (values.len != n0)
        throw ValueFailure("a slope vector has " + std::to_string(values.len) +
                           " values but the mask has " + std::to_string(n0));
      std::vector<double>& used = slope_values.emplace_back();
      used.reserve(n);
      for (std::size_t i = 0; i < n0; ++i)
        if (mask[i] != 0) {
          if (!std::isfinite(values[i])) throw ValueFailure("slope values must be finite");
          used.push_back(values[i]);
        }
    }
    std::size_t next = 0;
    for (std::size_t q = 0; q < fe.size(); ++q) {
      SlopeTerms& t = slope_terms.emplace_back();
      t.intercept = layout[2 * q + 1] == 1;
      for (std::uint64_t j = 0; j < layout[2 * q]; ++j) t.slopes.emplace_back(slope_values[next++]);
    }
    settings.slopes = slope_terms;
  }

  const std::size_t m = sources.size();
  boundary::BufferResult stack{work_buffer(checked_mul(n, m)), n, m, true};
  PythonObserver observer(progress.get() == Py_None ? nullptr : progress.get());
  settings.observer = &observer;
  Absorbed absorbed = observed_without_interpreter(observer, [&] {
    return absorb_stage(std::span<double>(stack.data.get(), n * m), n, sources, mask, fe, groups,
                        settings);
  });

  const SolveReport& report = absorbed.report;
  // The iterations of the chosen solver's stages (none for zero or one fixed effect).
  Fields stages;
  if (report.stage == DemeanStage::Cg) stages.set("cg", report.cg_iterations);
  if (report.stage == DemeanStage::Diagonal || report.stage == DemeanStage::Graph)
    stages.set("diagonal", report.diagonal_iterations).set("graph", report.graph_iterations);
  Fields out;
  out.set("data", std::move(stack))
      .set("sum_squares", boundary::vector_result(std::move(absorbed.sums)))
      .set("iterations", report.cg_iterations + report.diagonal_iterations +
                                report.graph_iterations)
      .set("converged", report.converged)
      .set("limit_reached", report.limit_reached)
      .set("stage", std::string(stage_name(report.stage)))
      .set("stages", std::move(stages))
      .set("setup_seconds", report.setup_seconds);
  if (!weights.empty()) {
    // The caller's residuals and fixed-effect values need both at the rows
    // used; handing them over spares it a masked copy and the square roots.
    out.set("weights", boundary::vector_result(std::move(weights)))
        .set("roots", boundary::vector_result(std::move(absorbed.roots)));
  }
  if (!slope_terms.empty())
    out.set("level_ranks", counts_of(absorbed.level_ranks));
  if (want_coefficients) {
    std::vector<ArrayResult<double>> values;
    for (std::vector<double>& v : absorbed.coefficients)
      values.push_back(boundary::vector_result(std::move(v)));
    out.set("coefficients", std::move(values));
  }
  return out;
}

// ---- least_squares -------------------------------------------------------------

constexpr Signature<5> kLeastSquares{
    "least_squares",
    {{{"data", Kind::F64Matrix},
      {"y", Kind::Count},
      {"x", Kind::CountSeq},
      {"sum_squares", Kind::F64Vector},
      {"collin_tol", Kind::Float}}},
    "y on the columns x of a column-major array, collinear and absorbed columns dropped."};

Fields least_squares_entry(boundary::F64Matrix& data_view, std::uint64_t y,
                           std::vector<std::uint64_t>& x, boundary::F64Vector& sums_view,
                           double collin_tol) {
  const ColumnStack stack = column_major(data_view);
  if (y >= stack.m) throw ValueFailure("y is outside the data's columns");
  const std::vector<std::size_t> xs = indices_of(x);
  const std::span<const double> sums = sums_view.contiguous();
  LeastSquaresFit fit = without_interpreter([&] {
    return least_squares(stack.data, stack.n, static_cast<std::size_t>(y), xs, sums, collin_tol);
  });
  const std::size_t k = fit.kept.size();
  Fields out;
  out.set("coef", boundary::vector_result(std::move(fit.coef)))
      .set("bread", boundary::matrix_result(std::move(fit.bread), k, k))
      .set("resid", boundary::vector_result(std::move(fit.resid)))
      .set("rss", fit.rss)
      .set("tss", fit.tss)
      .set("kept", std::vector<std::uint64_t>(fit.kept.begin(), fit.kept.end()))
      .set("collinear", std::vector<std::uint64_t>(fit.collinear.begin(), fit.collinear.end()))
      .set("absorbed", std::vector<std::uint64_t>(fit.absorbed.begin(), fit.absorbed.end()));
  return out;
}

// ---- meats -------------------------------------------------------------------

constexpr Signature<5> kHeteroMeat{
    "hetero_meat",
    {{{"data", Kind::F64Matrix},
      {"x", Kind::CountSeq},
      {"resid", Kind::F64Vector},
      {"bread", Kind::F64Matrix},
      {"power", Kind::Count}}},
    "sum_i w_i x_i x_i' with w_i = e_i^2 / (1 - h_i)^power (h_i = x_i' bread x_i)."};

ArrayResult<double> hetero_meat(boundary::F64Matrix& data_view, std::vector<std::uint64_t>& x,
                                boundary::F64Vector& resid_view, boundary::F64Matrix& bread_view,
                                std::uint64_t power) {
  const ColumnStack stack = column_major(data_view);
  const std::vector<std::size_t> xs = indices_of(x);
  const std::size_t k = xs.size();
  if (power > 2) throw ValueFailure("power must be 0, 1 or 2");
  const std::span<const double> resid = resid_of(resid_view, stack.n);
  std::vector<double> bread;
  if (power > 0) {
    const StridedMatrix b = bread_view.strided();
    if (b.rows != k || b.cols != k) throw ValueFailure("bread must be k x k");
    bread.resize(checked_mul(k, k));
    for (std::size_t r = 0; r < k; ++r)
      for (std::size_t c = 0; c < k; ++c) bread[r * k + c] = b(r, c);
  }
  return boundary::matrix_result(without_interpreter([&] {
                                   return stack_hetero_meat(stack, xs, resid, bread,
                                                            static_cast<int>(power));
                                 }),
                                 k, k);
}

constexpr Signature<4> kClusterMeats{
    "cluster_meats",
    {{{"data", Kind::F64Matrix},
      {"x", Kind::CountSeq},
      {"resid", Kind::F64Vector},
      {"clusters", Kind::I32VectorSeq}}},
    "Cluster meats of every non-empty subset of the cluster columns, by size, then\n"
    "lexicographically: [{subset, meat, groups}]."};

std::vector<Fields> cluster_meats(boundary::F64Matrix& data_view, std::vector<std::uint64_t>& x,
                                  boundary::F64Vector& resid_view,
                                  std::vector<boundary::I32Vector>& cluster_views) {
  const ColumnStack stack = column_major(data_view);
  const std::vector<std::size_t> xs = indices_of(x);
  const std::span<const double> resid = resid_of(resid_view, stack.n);
  const OwnedCodes clusters = owned_codes(cluster_views);
  std::vector<SubsetMeat> meats = without_interpreter(
      [&] { return stack_cluster_meats(stack, xs, resid, clusters.spans); });
  std::vector<Fields> out;
  for (SubsetMeat& each : meats) {
    Fields f;
    f.set("subset", std::vector<std::uint64_t>(each.subset.begin(), each.subset.end()))
        .set("meat", boundary::matrix_result(std::move(each.meat), xs.size(), xs.size()))
        .set("groups", static_cast<std::uint64_t>(each.groups));
    out.push_back(std::move(f));
  }
  return out;
}

// ---- residuals and serial meats ------------------------------------------------

constexpr Signature<4> kResiduals{
    "residuals",
    {{{"data", Kind::F64Matrix},
      {"y", Kind::Count},
      {"x", Kind::CountSeq},
      {"coef", Kind::F64Vector}}},
    "y - X coef over the rows of a column-major array (for 2SLS: the observed regressors).\n"
    "Returns {resid, rss, tss}."};

Fields residuals_entry(boundary::F64Matrix& data_view, std::uint64_t y,
                       std::vector<std::uint64_t>& x, boundary::F64Vector& coef_view) {
  const ColumnStack stack = column_major(data_view);
  if (y >= stack.m) throw ValueFailure("y is outside the data's columns");
  const std::vector<std::size_t> xs = indices_of(x);
  const std::span<const double> coef = coef_view.contiguous();
  if (coef.size() != xs.size()) throw ValueFailure("coef needs one value per column of x");
  StackResiduals r = without_interpreter([&] {
    return stack_residuals(stack, static_cast<std::size_t>(y), xs, coef);
  });
  Fields out;
  out.set("resid", boundary::vector_result(std::move(r.resid)))
      .set("rss", r.sums.rss)
      .set("tss", r.sums.tss);
  return out;
}

// Time (and panel) codes of the used rows: dense, non-negative, one per row;
// a copy of the call's own.

constexpr Signature<6> kNeweyWestMeat{
    "newey_west_meat",
    {{{"data", Kind::F64Matrix},
      {"x", Kind::CountSeq},
      {"resid", Kind::F64Vector},
      {"time", Kind::I32Vector},
      {"panel", Kind::I32VectorSeq},
      {"lag", Kind::Count}}},
    "Newey-West meat (Bartlett weights) of the scores x_i e_i in time order (time: codes\n"
    "0..T-1 in time order); with a panel column ([codes] or []), one series per panel."};

ArrayResult<double> newey_west_meat_entry(boundary::F64Matrix& data_view,
                                          std::vector<std::uint64_t>& x,
                                          boundary::F64Vector& resid_view,
                                          boundary::I32Vector& time_view,
                                          std::vector<boundary::I32Vector>& panel_views,
                                          std::uint64_t lag) {
  const ColumnStack stack = column_major(data_view);
  const std::vector<std::size_t> xs = indices_of(x);
  const std::span<const double> resid = resid_of(resid_view, stack.n);
  if (panel_views.size() > 1) throw ValueFailure("at most one panel column");
  const std::vector<std::int32_t> time = serial_codes(time_view, stack.n, "time");
  const std::vector<std::int32_t> panel = panel_views.empty()
                                              ? std::vector<std::int32_t>()
                                              : serial_codes(panel_views[0], stack.n, "panel");
  return boundary::matrix_result(without_interpreter([&] {
                                   return stack_newey_west_meat(stack, xs, resid, time, panel,
                                                                lag);
                                 }),
                                 xs.size(), xs.size());
}

constexpr Signature<5> kDriscollKraayMeat{
    "driscoll_kraay_meat",
    {{{"data", Kind::F64Matrix},
      {"x", Kind::CountSeq},
      {"resid", Kind::F64Vector},
      {"time", Kind::I32Vector},
      {"lag", Kind::Count}}},
    "Driscoll-Kraay meat: the scores x_i e_i summed per period (time: codes 0..T-1 in\n"
    "time order), then the Newey-West sum over the periods."};

ArrayResult<double> driscoll_kraay_meat_entry(boundary::F64Matrix& data_view,
                                              std::vector<std::uint64_t>& x,
                                              boundary::F64Vector& resid_view,
                                              boundary::I32Vector& time_view, std::uint64_t lag) {
  const ColumnStack stack = column_major(data_view);
  const std::vector<std::size_t> xs = indices_of(x);
  const std::span<const double> resid = resid_of(resid_view, stack.n);
  const std::vector<std::int32_t> time = serial_codes(time_view, stack.n, "time");
  return boundary::matrix_result(without_interpreter([&] {
                                   return stack_driscoll_kraay_meat(stack, xs, resid, time, lag);
                                 }),
                                 xs.size(), xs.size());
}

// ---- fixef_values --------------------------------------------------------------

constexpr Signature<7> kFixefValues{
    "fixef_values",
    {{{"resid", Kind::F64Vector},
      {"fe", Kind::I32VectorSeq},
      {"fe_groups", Kind::CountSeq},
      {"preference", Kind::I32VectorSeq},
      {"tol", Kind::Float},
      {"max_iter", Kind::Count},
      {"weights", Kind::Object, "None"}}},
    "The fixed effects' values solving D alpha = resid (resid = y - X beta over the rows\n"
    "used), normalised with the reference levels of lowest preference; with weights (one\n"
    "per row, positive) the weighted least-squares solution.\n"
    "Returns {values, references, iterations, converged}."};

Fields fixef_values_entry(boundary::F64Vector& resid_view,
                          std::vector<boundary::I32Vector>& fe_views,
                          std::vector<std::uint64_t>& fe_groups,
                          std::vector<boundary::I32Vector>& preference_views, double tol,
                          std::uint64_t max_iter, OwnedRef& weights_arg) {
  if (!(tol > 0.0)) throw ValueFailure("tol must be positive");
  const std::span<const double> resid = resid_view.contiguous();
  const OwnedCodes fe_owned = owned_codes(fe_views);
  const OwnedCodes preference_owned = owned_codes(preference_views);
  const std::vector<CodeSpan>& fe = fe_owned.spans;
  const std::vector<CodeSpan>& preference = preference_owned.spans;
  if (fe.size() != fe_groups.size() || fe.size() != preference.size())
    throw ValueFailure("fe, fe_groups and preference differ in length");
  for (std::size_t q = 0; q < fe.size(); ++q) {
    if (fe[q].size() != resid.size())
      throw ValueFailure("a fixed-effect column needs one code per value of resid");
    if (preference[q].size() != fe_groups[q])
      throw ValueFailure("preference needs one rank per group of its fixed effect");
  }
  const std::vector<std::size_t> groups(fe_groups.begin(), fe_groups.end());
  std::vector<double> weights;
  if (weights_arg.get() != Py_None)
    weights = used_weights(weights_arg, std::vector<std::uint8_t>(resid.size(), 1), resid.size());
  PythonObserver observer(nullptr);
  SolveOptions options;
  options.tol = tol;
  options.max_iter = max_iter;
  options.observer = &observer;
  FixefValues fit = observed_without_interpreter(
      observer, [&] { return fixef_values(resid, fe, groups, preference, weights, options); });
  std::vector<ArrayResult<double>> values;
  for (std::vector<double>& v : fit.values) values.push_back(boundary::vector_result(std::move(v)));
  Fields out;
  out.set("values", std::move(values))
      .set("references", std::vector<std::uint64_t>(fit.references.begin(), fit.references.end()))
      .set("iterations", fit.iterations)
      .set("converged", fit.converged);
  return out;
}

// ---- function table ------------------------------------------------------------

using boundary::function;
using boundary::PanicMode;

boundary::ModuleState& module_state() {
  static boundary::ModuleState state{
      "kestrel._core",
      {PyModuleDef_HEAD_INIT, "_core",
       "The estimator pipeline's stages for kestrel's Python layer.", 0, nullptr, nullptr,
       nullptr, nullptr, nullptr},
      {
          function<kRecode, recode, PanicMode::PlainError>(),
          function<kSample, sample, PanicMode::PlainError>(),
          function<kAbsorb, absorb, PanicMode::PlainError>(),
          function<kLeastSquares, least_squares_entry, PanicMode::PlainError>(),
          function<kHeteroMeat, hetero_meat, PanicMode::PlainError>(),
          function<kClusterMeats, cluster_meats, PanicMode::PlainError>(),
          function<kResiduals, residuals_entry, PanicMode::PlainError>(),
          function<kNeweyWestMeat, newey_west_meat_entry, PanicMode::PlainError>(),
          function<kDriscollKraayMeat, driscoll_kraay_meat_entry, PanicMode::PlainError>(),
          function<kFixefValues, fixef_values_entry, PanicMode::PlainError>(),
      },
      {},
      nullptr,
      -1,
      false,
  };
  return state;
}

}  // namespace
}  // namespace kestrel

extern "C" PyMODINIT_FUNC PyInit__core() {
  return kestrel::boundary::init_module(kestrel::module_state());
}
