// The layer's recoding stage: any column of identifiers (integers or
// floats) to dense codes 0..G-1.
#pragma once

#include <cstdint>

#include "codes/group_codes.hpp"
#include "linalg/strided.hpp"

namespace kestrel {

// Equal values share a code (recode_i64's numbering). Each value is read
// once, into keys of the stage's own, so the caller's array may change
// meanwhile without the codes disagreeing with themselves.
Recoded recode_values(StridedVector<std::int64_t> values);
Recoded recode_values(StridedVector<std::int32_t> values);
// Floats by their bits, 0.0 and -0.0 alike; NaN rows take no part and get -1.
Recoded recode_values(StridedVector<double> values);

}  // namespace kestrel
