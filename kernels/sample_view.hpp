// Projection of a ground grid into one frame camera, with bilinear sampling.
#pragma once

#include <cstdint>

#include "array.hpp"

namespace quiltmap::kernels {

// World-to-camera rotation (row i is camera axis i in world coordinates),
// camera centre, and the intrinsics in pixels of the sampled image.
struct Camera {
    double R[3][3];
    double C[3];
    double f, k1, k2, cx, cy;
};

// A cell is sampled only where its depth in front of the camera exceeds
// this; quiltmap.checks.MIN_DEPTH is the same figure on the Python side,
// and the tests hold the two together.
constexpr double kMinDepth = 1e-6;

// Cell (r, c) is the square whose outer corner is (X0, Y0): columns run
// towards +X, rows towards -Y, each cell gsd wide.
struct GroundGrid {
    double X0, Y0, gsd;
};

// Every cell of the Z.extent[0] x Z.extent[1] grid gets valid 0 or 1; cells
// that project inside the image also get out[r, c, 0..nch) (nch from img).
// The caller guarantees that out and valid cover the grid (and out covers
// img's channels), and that img, Z, out and valid are dense along their
// last axis (checked in debug builds: array.hpp, last_axis_is_dense).
// Cannot fail; touches nothing outside the arrays.
//
// This twin writes the per-cell steps out literally, one cell at a time; the
// production kernel, kernels::sample_view (levels.hpp), must agree with it to
// the bit.
void sample_view_reference(const Array3<const float>& img, const Camera& camera,
                           const GroundGrid& grid, const Array2<const float>& Z,
                           const Array3<float>& out, const Array2<std::uint8_t>& valid);

}  // namespace quiltmap::kernels
