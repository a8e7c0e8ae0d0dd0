// The plane sweep's matching cost of one label for one reference view.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// The census codes and whole-window flags of V views at one label, each
// over its own box of cells: boxes[v] = (first row, end row, first column,
// end column), and cell (y, x) of view v's box at index
// (y - first row) * (end column - first column) + (x - first column) of
// codes[v] and whole[v] (nonzero: whole).  A view that sees nothing has an
// empty box.  The boxes are in plane's cells, but may reach beyond it on any
// side (a plane that is the inner part of the swept grid).
//
// Every cell (y, x) of plane gets the cost for reference view `ref`: outside
// ref's box 0.5; inside it, with the distance to each other view b, in
// order, popcount(codes[ref] ^ codes[b]) / bits in double where b's box
// holds the cell and both flags are set, and +inf elsewhere, the mean of the
// best_views smallest finite distances: added in ascending order from the
// smallest, divided in double by how many there are, and rounded to float;
// 0.5 where no distance is finite.
//
// boxes is (V, 4) with first <= end on each axis and a box's cells at most
// codes' and whole's second extent; codes and whole are (V, N);
// 0 <= ref < V; bits >= 1; best_views >= 1; the last axes of codes, whole
// and plane are dense.  Cannot fail; allocates nothing.
//
// This twin sorts each cell's distances as doubles; the production kernel,
// kernels::match_cost (levels.hpp), must agree with it to the bit.
void match_cost_reference(const Array2<const std::uint64_t>& codes, const Array2<const std::uint8_t>& whole,
                          const Array2<const std::int32_t>& boxes, std::int32_t ref, std::int32_t bits,
                          std::int32_t best_views, const Array2<float>& plane);

}  // namespace quiltmap::kernels
