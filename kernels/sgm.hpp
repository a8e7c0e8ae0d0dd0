// Semi-global aggregation of a (D, H, W) float32 matching-cost volume.
#pragma once

#include "array.hpp"

namespace quiltmap::kernels {

// Adds the 8 path-cost volumes of cost into agg, which the caller has zeroed.
// path is scratch of cost's extents (any initial content).  cost, agg and
// path share the extents (D, H, W); agg and path are C-contiguous, cost is
// contiguous along its last axis.  Cannot fail; allocates nothing.
void sgm_aggregate(const Array3<const float>& cost, float P1, float P2, const Array3<float>& agg,
                   const Array3<float>& path);

// The recurrence written out literally, cell by cell and label by label; the
// production kernel above must agree with it to the bit.
void sgm_aggregate_reference(const Array3<const float>& cost, float P1, float P2,
                             const Array3<float>& agg, const Array3<float>& path);

}  // namespace quiltmap::kernels
