// The module `_native`: one declaration and one thin wrapper per entry point,
// and the function table in registration order.
//
// To add an entry point: declare its `Signature` (name, parameters with their
// kinds, descriptive docstring), write a wrapper taking the converted values
// by reference and returning a result value (boundary/results.hpp), and add
// `function<kSig, wrapper>()` to the table at its position.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <tuple>

#include "boundary/frame.hpp"
#include "boundary/module.hpp"
#include "boundary/kinds.hpp"
#include "boundary/results.hpp"
#include "covariance/cluster.hpp"
#include "estimators/ols_fe.hpp"
#include "estimators/iv2sls.hpp"
#include "estimators/ols_nofe.hpp"
#include "fixed_effects/absorbed_dof.hpp"
#include "fixed_effects/demean.hpp"
#include "covariance/driscoll_kraay.hpp"
#include "covariance/hac.hpp"
#include "codes/group_codes.hpp"

namespace kestrel {
namespace {

using boundary::ArrayResult;
using boundary::Kind;
using boundary::Signature;

// ---- rust_demean -----------------------------------------------------------

constexpr Signature<5> kDemean{"rust_demean",
                               {{{"x", Kind::F64Matrix},
                                 {"fe_codes_list", Kind::I32VectorSeq},
                                 {"n_groups_list", Kind::CountSeq},
                                 {"tol", Kind::Float},
                                 {"max_iter", Kind::Count}}},
                               "Full demean function callable from Python."};

ArrayResult<double> rust_demean(boundary::F64Matrix& x,
                                std::vector<boundary::I32Vector>& fe_codes_list,
                                std::vector<std::uint64_t>& n_groups_list, double& tol,
                                std::uint64_t& max_iter) {
  const std::vector<CodeSpan> codes = boundary::contiguous_all(fe_codes_list);
  const std::vector<std::size_t> n_groups(n_groups_list.begin(), n_groups_list.end());
  const StridedMatrix xs = x.strided();
  return boundary::matrix_result(demean_matrix(xs, codes, n_groups, tol, max_iter), xs.rows,
                                 xs.cols);
}

// ---- rust_clustered_meat ---------------------------------------------------

constexpr Signature<4> kClusteredMeat{
    "rust_clustered_meat",
    {{{"x", Kind::F64Matrix},
      {"resid", Kind::F64Vector},
      {"codes", Kind::I32Vector},
      {"n_groups", Kind::Count}}},
    "Clustered meat computation: sum_g (s_g s_g') where s_g = sum of X[i]*e[i] for i in group "
    "g."};

ArrayResult<double> rust_clustered_meat(boundary::F64Matrix& x, boundary::F64Vector& resid,
                                        boundary::I32Vector& codes, std::uint64_t n_groups) {
  const StridedMatrix xs = x.strided();
  std::vector<double> meat =
      clustered_meat_strided(xs, resid.strided(), codes.strided(), n_groups);
  return boundary::matrix_result(std::move(meat), xs.cols, xs.cols);
}

// ---- rust_recode -----------------------------------------------------------

constexpr Signature<1> kRecode{
    "rust_recode",
    {{{"arr", Kind::I64Vector}}},
    "Recode arbitrary integer array to contiguous 0..G-1 codes."};

std::tuple<ArrayResult<std::int32_t>, std::uint64_t> rust_recode(boundary::I64Vector& arr) {
  Recoded r = recode_i64(arr.strided());
  return {boundary::vector_result(std::move(r.codes)), r.n_groups};
}

// ---- rust_ols_core -----------------------------------------------------------

constexpr Signature<7> kOlsCore{
    "rust_ols_core",
    {{{"y", Kind::F64Vector},
      {"x", Kind::F64Matrix},
      {"fe_codes_list", Kind::I32VectorSeq},
      {"_n_groups_list", Kind::CountSeq},
      {"cluster_codes_list", Kind::I32VectorSeq},
      {"tol", Kind::Float},
      {"max_iter", Kind::Count}}},
    "Fused OLS with FE absorption: demean + solve + clustered SE in one call.\n"
    "FE and cluster code arrays are borrowed directly from numpy (zero-copy).\n"
    "Only y and X are copied since they get mutated during demeaning."};

using OlsCoreResult =
    std::tuple<ArrayResult<double>, ArrayResult<double>, ArrayResult<double>, double, double,
               std::uint64_t, std::uint64_t, std::uint64_t, std::vector<std::uint64_t>>;

OlsCoreResult ols_core_result(OlsFeResult&& r) {
  const std::size_t k = r.beta.size();
  return {boundary::vector_result(std::move(r.beta)),
          boundary::matrix_result(std::move(r.vcov), k, k),
          boundary::vector_result(std::move(r.resid)),
          r.r2,
          r.adj_r2,
          r.n,
          r.absorbed,
          r.removed,
          std::move(r.cluster_groups)};
}

// The group counts of `_n_groups_list` are recomputed from the codes.
OlsCoreResult rust_ols_core(boundary::F64Vector& y, boundary::F64Matrix& x,
                            std::vector<boundary::I32Vector>& fe_codes_list,
                            std::vector<std::uint64_t>& /*_n_groups_list*/,
                            std::vector<boundary::I32Vector>& cluster_codes_list, double& tol,
                            std::uint64_t& max_iter) {
  const StridedMatrix xv = x.strided();
  const std::vector<CodeSpan> fe = boundary::contiguous_all(fe_codes_list);
  const std::vector<CodeSpan> cl = boundary::contiguous_all(cluster_codes_list);
  const std::span<const double> yv = y.contiguous();
  return ols_core_result(ols_fe_matrix(yv, xv, fe, cl, tol, max_iter));
}

// ---- rust_absorbed_dof -----------------------------------------------------

constexpr Signature<1> kAbsorbedDof{
    "rust_absorbed_dof", {{{"fe_codes_list", Kind::I32VectorSeq}}}, ""};

// No fixed effect absorbs nothing: 0 for an empty list.
std::uint64_t rust_absorbed_dof(std::vector<boundary::I32Vector>& fe_codes_list) {
  const std::vector<CodeSpan> codes = boundary::contiguous_all(fe_codes_list);
  return codes.empty() ? 0 : absorbed_dof_internal(codes);
}

// ---- rust_ols_from_arrays ----------------------------------------------------

constexpr Signature<10> kOlsFromArrays{
    "rust_ols_from_arrays",
    {{{"y_col", Kind::F64Vector},
      {"x_cols", Kind::F64VectorSeq},
      {"x_names", Kind::StrSeq},
      {"fe_cols", Kind::I32VectorSeq},
      {"fe_names", Kind::StrSeq},
      {"cl_cols", Kind::I32VectorSeq},
      {"cl_names", Kind::StrSeq},
      {"tol", Kind::Float},
      {"max_iter", Kind::Count},
      {"vcov_type", Kind::Str}}},
    "OLS with FE absorption — accepts individual column arrays directly.\n"
    "Avoids Python-side column_stack, astype, and ascontiguousarray overhead.\n"
    "\n"
    "y_col: f64 array (n,) — dependent variable\n"
    "x_cols: list of f64 arrays (n,) — regressor columns\n"
    "x_names: list of str — regressor names\n"
    "fe_cols: list of i32 arrays (n,) — FE code columns\n"
    "fe_names: list of str — FE names\n"
    "cl_cols: list of i32 arrays (n,) — cluster code columns (empty if no clustering)\n"
    "cl_names: list of str — cluster names"};

std::tuple<ArrayResult<double>, ArrayResult<double>, ArrayResult<double>, double, double,
           std::uint64_t, std::uint64_t, std::uint64_t, std::vector<std::uint64_t>,
           std::vector<std::string>, std::vector<std::string>, std::vector<std::string>>
rust_ols_from_arrays(boundary::F64Vector& y_col, std::vector<boundary::F64Vector>& x_cols,
                     std::vector<std::string>& x_names, std::vector<boundary::I32Vector>& fe_cols,
                     std::vector<std::string>& fe_names, std::vector<boundary::I32Vector>& cl_cols,
                     std::vector<std::string>& cl_names, double& tol, std::uint64_t& max_iter,
                     std::string& vcov_type) {
  const std::span<const double> yv = y_col.contiguous();
  const std::vector<std::span<const double>> xv = boundary::contiguous_all(x_cols);
  const std::vector<CodeSpan> fe = boundary::contiguous_all(fe_cols);
  const std::vector<CodeSpan> cl = boundary::contiguous_all(cl_cols);
  auto core = ols_core_result(ols_fe_columns(yv, xv, fe, cl, tol, max_iter, vcov_type));
  return std::tuple_cat(std::move(core),
                        std::make_tuple(std::move(x_names), std::move(fe_names),
                                        std::move(cl_names)));
}

// ---- rust_ols_nofe ---------------------------------------------------------

constexpr Signature<7> kOlsNofe{
    "rust_ols_nofe",
    {{{"y_col", Kind::F64Vector},
      {"x_cols", Kind::F64VectorSeq},
      {"x_names", Kind::StrSeq},
      {"add_intercept", Kind::Bool},
      {"cl_cols", Kind::I32VectorSeq},
      {"cl_names", Kind::StrSeq},
      {"vcov_type", Kind::Str}}},
    "Full OLS for no-FE case. Accepts individual column arrays.\n"
    "iid, HC0-HC3 and clustered standard errors are all computed inside the module."};

using OlsNofeTuple =
    std::tuple<ArrayResult<double>, ArrayResult<double>, ArrayResult<double>, double, double,
               std::uint64_t, std::vector<std::uint64_t>, std::vector<std::string>>;

OlsNofeTuple rust_ols_nofe(boundary::F64Vector& y_col, std::vector<boundary::F64Vector>& x_cols,
                           std::vector<std::string>& x_names, bool add_intercept,
                           std::vector<boundary::I32Vector>& cl_cols,
                           std::vector<std::string>& /*cl_names*/, std::string& vcov_type) {
  // Flat access in this order: y, the x columns, the cluster columns.
  const std::span<const double> y = y_col.contiguous();
  const std::vector<std::span<const double>> xs = boundary::contiguous_all(x_cols);
  const std::vector<std::span<const std::int32_t>> cls = boundary::contiguous_all(cl_cols);
  OlsNofeResult r = ols_nofe(y, xs, x_names, add_intercept, cls, vcov_type);
  const std::size_t k = r.beta.size();
  return {boundary::vector_result(std::move(r.beta)),
          boundary::matrix_result(std::move(r.vcov), k, k),
          boundary::vector_result(std::move(r.resid)),
          r.r2,
          r.adj_r2,
          static_cast<std::uint64_t>(r.n),
          std::vector<std::uint64_t>(r.cluster_groups.begin(), r.cluster_groups.end()),
          std::move(r.names)};
}

// ---- rust_iv2sls -----------------------------------------------------------

constexpr Signature<14> kIv2sls{
    "rust_iv2sls",
    {{{"y_col", Kind::F64Vector},
      {"x_exog_cols", Kind::F64VectorSeq},
      {"x_endog_cols", Kind::F64VectorSeq},
      {"z_excl_cols", Kind::F64VectorSeq},
      {"x_names", Kind::StrSeq},
      {"endog_names", Kind::StrSeq},
      {"fe_cols", Kind::I32VectorSeq},
      {"fe_names", Kind::StrSeq},
      {"cl_cols", Kind::I32VectorSeq},
      {"cl_names", Kind::StrSeq},
      {"tol", Kind::Float},
      {"max_iter", Kind::Count},
      {"vcov_type", Kind::Str},
      {"add_intercept", Kind::Bool}}},
    "Full 2SLS IV estimation inside the module.\n"
    "Accepts individual column arrays for y, exog, endog, instruments, FE, clusters."};

using Iv2slsTuple =
    std::tuple<ArrayResult<double>, ArrayResult<double>, ArrayResult<double>, double, double,
               double, std::uint64_t, std::uint64_t, std::uint64_t, std::vector<std::uint64_t>,
               std::vector<std::string>>;

Iv2slsTuple rust_iv2sls(boundary::F64Vector& y_col, std::vector<boundary::F64Vector>& x_exog_cols,
                        std::vector<boundary::F64Vector>& x_endog_cols,
                        std::vector<boundary::F64Vector>& z_excl_cols,
                        std::vector<std::string>& x_names, std::vector<std::string>& endog_names,
                        std::vector<boundary::I32Vector>& fe_cols,
                        std::vector<std::string>& /*fe_names*/,
                        std::vector<boundary::I32Vector>& cl_cols,
                        std::vector<std::string>& /*cl_names*/, double tol,
                        std::uint64_t max_iter, std::string& vcov_type, bool add_intercept) {
  // Flat access in this order: y, exogenous, endogenous, instruments, fixed
  // effects, clusters (the first non-contiguous array is the one reported).
  const std::span<const double> y = y_col.contiguous();
  const std::vector<std::span<const double>> exog = boundary::contiguous_all(x_exog_cols);
  const std::vector<std::span<const double>> endog = boundary::contiguous_all(x_endog_cols);
  const std::vector<std::span<const double>> excl = boundary::contiguous_all(z_excl_cols);
  const std::vector<std::span<const std::int32_t>> fe = boundary::contiguous_all(fe_cols);
  const std::vector<std::span<const std::int32_t>> cl = boundary::contiguous_all(cl_cols);
  Iv2slsResult r = iv2sls(y, exog, endog, excl, x_names, endog_names, fe, cl, tol, max_iter,
                          vcov_type, add_intercept);
  const std::size_t k = r.beta.size();
  return {boundary::vector_result(std::move(r.beta)),
          boundary::matrix_result(std::move(r.vcov), k, k),
          boundary::vector_result(std::move(r.resid)),
          r.r2,
          r.adj_r2,
          r.first_stage_f,
          static_cast<std::uint64_t>(r.n),
          static_cast<std::uint64_t>(r.absorbed),
          static_cast<std::uint64_t>(r.removed),
          std::move(r.cluster_groups),
          std::move(r.names)};
}

// ---- rust_hac_meat ---------------------------------------------------------

constexpr Signature<3> kHacMeat{
    "rust_hac_meat",
    {{{"score", Kind::F64Matrix}, {"time_ids", Kind::F64Vector}, {"bandwidth", Kind::SignedInt}}},
    "Newey-West HAC meat matrix: Γ₀ + Σⱼ w(j)(Γⱼ + Γⱼ')\n"
    "with Bartlett kernel weights w(j) = 1 - j/(bw+1)."};

ArrayResult<double> rust_hac_meat(boundary::F64Matrix& score, boundary::F64Vector& time_ids,
                                  std::int64_t& bandwidth) {
  const std::size_t k = score.cols();
  return boundary::matrix_result(hac_meat(score.strided(), time_ids.strided(), bandwidth), k, k);
}

// ---- rust_dk_meat ----------------------------------------------------------

constexpr Signature<3> kDkMeat{
    "rust_dk_meat",
    {{{"score", Kind::F64Matrix}, {"time_ids", Kind::F64Vector}, {"bandwidth", Kind::SignedInt}}},
    "Driscoll-Kraay meat: aggregate scores by time, then Newey-West on T×k."};

ArrayResult<double> rust_dk_meat(boundary::F64Matrix& score, boundary::F64Vector& time_ids,
                                 std::int64_t& bandwidth) {
  const std::size_t k = score.cols();
  return boundary::matrix_result(driscoll_kraay_meat(score.strided(), time_ids.strided(), bandwidth),
                                 k, k);
}

// ---- function table ----------------------------------------------------------

using boundary::function;

// Registration order is part of the interface (it is the order of __all__).
boundary::ModuleState& module_state() {
  static boundary::ModuleState state{
      "kestrel._native",
      {PyModuleDef_HEAD_INIT, "_native",
       nullptr,  // no module docstring
       0,        // no per-module state; 0 (not -1) so every interpreter runs init
       nullptr, nullptr, nullptr, nullptr, nullptr},
      {
          function<kDemean, rust_demean>(),
          function<kClusteredMeat, rust_clustered_meat>(),
          function<kRecode, rust_recode>(),
          function<kOlsCore, rust_ols_core>(),
          function<kAbsorbedDof, rust_absorbed_dof>(),
          function<kOlsFromArrays, rust_ols_from_arrays>(),
          function<kOlsNofe, rust_ols_nofe>(),
          function<kIv2sls, rust_iv2sls>(),
          function<kHacMeat, rust_hac_meat>(),
          function<kDkMeat, rust_dk_meat>(),
      },
      {},
      nullptr,
      -1,
      true,
  };
  return state;
}

}  // namespace
}  // namespace kestrel

extern "C" PyMODINIT_FUNC PyInit__native() {
  return kestrel::boundary::init_module(kestrel::module_state());
}
