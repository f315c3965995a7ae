// Which vector instructions the processor offers, for the kernels that carry
// a wider clone of the same arithmetic (the cluster meat's product and the
// Newey-West lag products). Clones differ only in how many entries one
// instruction updates, never in the arithmetic of an entry, so the choice
// never changes a result.
#pragma once

namespace kestrel {

// True where the AVX2 clones may run: an x86-64 build whose processor has
// AVX2. Read once; later calls cost a load.
inline bool cpu_has_avx2() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
#else
  return false;
#endif
}

}  // namespace kestrel
