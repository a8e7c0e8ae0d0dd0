// Semi-global aggregation of a (D, H, W) float32 matching-cost volume.
#pragma once

#include <cstdint>

#include "array.hpp"
#include "census_cost.hpp"
#include "team.hpp"

namespace quiltmap::kernels {

// Scan directions (dy, dx), in the order their path costs are summed.
constexpr int kDirections[8][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0},
                                   {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};

// Sets agg to the sum, in direction order, of the 8 path-cost volumes of
// cost: the sum into a zeroed agg, whatever agg held.  path is scratch of
// cost's extents (any initial content); the production kernel touches only
// its first rows when the volume has more than a few dozen of them.  cost,
// agg and path share the extents (D, H, W); agg and path are C-contiguous,
// cost is dense along its last axis (checked in debug builds: array.hpp,
// last_axis_is_dense).  Cannot fail; allocates nothing.
//
// This twin writes the recurrence out literally, cell by cell and label by
// label; the production kernel, kernels::sgm_aggregate (levels.hpp), must
// agree with it to the bit.
void sgm_aggregate_reference(const Array3<const float>& cost, float P1, float P2,
                             const Array3<float>& agg, const Array3<float>& path);

// sgm_aggregate_reference shared by the members of `team`: each calls it
// with the same arguments, and together they leave in agg the same bits.
// This twin has member 0 do it all, the others nothing; the production
// kernel, kernels::sgm_aggregate_shared, has the others make the rows'
// path costs along them while member 0 goes across the rows.
void sgm_aggregate_shared_reference(const Array3<const float>& cost, float P1, float P2,
                                    const Array3<float>& agg, const Array3<float>& path, const Team& team);

// sgm_aggregate_shared_reference of the cost volume that census counts
// stand for (census_cost.hpp): float(count) * scale, and outside where a
// count is kOutsideCount.  The same bits as that float volume's, from a
// quarter of its bytes; counts is dense along its last axis.  This twin
// has member 0 do it all; the production kernel is kernels::sgm_counts_shared.
void sgm_counts_shared_reference(const Array3<const std::uint8_t>& counts, float scale, float outside, float P1,
                                 float P2, const Array3<float>& agg, const Array3<float>& path, const Team& team);

}  // namespace quiltmap::kernels
