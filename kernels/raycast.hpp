// Rays against the bilinear surface of a ground grid's heights: where a ray
// from a camera first meets it, and which cells a camera sees over it.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// A ray caster's scene: the whole ground grid (cell (r, c) centred at
// (X0 + (c + 0.5) gsd, Y0 - (r + 0.5) gsd)), the cell of the grid where the
// heights window starts (a multiple of `block` on both axes), the rays'
// origin and the height range they are cast through.  rows and columns
// are below 2^31.
struct RayCast {
    double X0, Y0, gsd;
    std::int64_t rows, columns;
    std::int64_t window_row, window_column;
    double origin[3];
    double z_lo, z_hi;
    std::int32_t refine;  // bisection steps once a ray is below the surface, >= 0
    std::int32_t block;   // cells a side of the leap's blocks, >= 1
};

// The cells of `block` cells a side of a heights window, counted from its
// corner: ceil(cells / block).
constexpr std::int64_t block_count(std::int64_t cells, std::int32_t block) { return (cells + block - 1) / block; }

// peaks[R, C] gets the highest height of the 3 x 3 blocks of `block` x
// `block` cells around block (R, C) of `heights` (blocks beyond the window
// and NaN heights count as -inf).  peaks has extents (block_count(rows),
// block_count(columns)) of heights'; block >= 1.  Cannot fail; allocates
// nothing.
void block_peaks_reference(const Array2<const float>& heights, std::int32_t block, const Array2<float>& peaks);

// t[i] gets the distance along the ray origin + t dirs[i] to its first point
// at or below the bilinear surface of `heights`, the grid's heights from cell
// (window_row, window_column) on: where the ray descends (dz < -1e-9), from
// the top of the height range down, first in leaps while they end above the
// peak (block_peaks of heights) of the block under their start (a leap is
// shorter than a block less a cell in plan, so it stays within the blocks
// around its start, bilinear neighbours included, and passes over nothing),
// then in steps of at most 0.7 cells in plan and 0.5 in height, the crossing
// narrowed by `refine` bisections; a ray that reaches the bottom of
// the range, or does not descend, gets the bottom's distance (0 when it does
// not descend).  The surface is clamped at the grid's edges; NaN heights
// stop no ray, nor do cells outside the window (the window must hold every
// cell the rays pass over, widened by two blocks, for the whole grid's
// result).  A leap or step that no longer advances t ends the ray there as
// at the bottom.  dirs has extents (N, 3), t (N); block and refine as
// RayCast says.  Cannot fail; allocates nothing.
//
// Every operation in the order and double precision of quiltmap's NumPy ray
// caster: rounding to the nearest block half to even, positions truncated to
// cells, the bilinear weights of the cell's fractional offsets.
void cast_rays_reference(const Array2<const float>& heights, const Array2<const float>& peaks, const RayCast& cast,
                         const Array2<const double>& dirs, const Array1<double>& t);

// visible[i, j] gets 1 where the cell (region_row + i, region_column + j) of
// the grid is seen from the origin over the heights, else 0: the ray from the
// origin to the cell's centre at its own height (heights[region_row + i -
// window_row, ...]) reaches within half a cell of its distance:
// t >= distance - gsd / 2, with t from cast_rays along the ray's unit
// direction, distance = sqrt((dx^2 + dy^2) + dz^2).  A cell without a height
// is not seen.  The region lies inside the window.  Cannot fail; allocates
// nothing.
void visibility_reference(const Array2<const float>& heights, const Array2<const float>& peaks, const RayCast& cast,
                          std::int64_t region_row, std::int64_t region_column, const Array2<std::uint8_t>& visible);

}  // namespace quiltmap::kernels
