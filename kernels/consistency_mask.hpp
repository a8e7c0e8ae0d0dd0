// Cells on which two reference views' heights agree.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// For every cell: matched = ua != 0 and ub != 0 and double(|za - zb|) <=
// tolerance (the difference in float) and seen >= needed; raw = 0.5 (za + zb)
// in float where matched, the quiet NaN 0x7fc00000 elsewhere.  Every array
// has za's extents and a dense last axis.  Cannot fail; allocates nothing.
//
// This twin reads the rule cell by cell; the production kernel,
// kernels::consistency_mask (levels.hpp), must agree with it to the bit.
void consistency_mask_reference(const Array2<const float>& za, const Array2<const std::uint8_t>& ua,
                                const Array2<const float>& zb, const Array2<const std::uint8_t>& ub,
                                const Array2<const std::int32_t>& seen, double tolerance, std::int64_t needed,
                                const Array2<std::uint8_t>& matched, const Array2<float>& raw);

}  // namespace quiltmap::kernels
