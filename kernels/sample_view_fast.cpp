// View sampling, compiled once per level (simd.hpp).
//
// kDoubleLanes cells of a row are projected at once, one lane per cell, with
// the scalar steps in their order (the division too is the IEEE one, lane by
// lane); the cells that land inside the image are then sampled one by one.
#include <algorithm>
#include <cstdint>

#include "kernels/level_entry_points.hpp"

namespace quiltmap::kernels::QUILTMAP_LEVEL {

namespace {

using std::int64_t;

constexpr int64_t kLanes = kDoubleLanes;

// The bilinear sample of every channel at (u, v), 0 <= u <= w - 1 and
// 0 <= v <= h - 1 (so truncation is the floor and every index is in range).
inline void sample(const Array3<const float>& img, double u, double v, float* dst, int64_t out_ch) {
    const int64_t h = img.extent[0], w = img.extent[1], nch = img.extent[2];
    const int64_t x0 = int64_t(u), y0 = int64_t(v);
    const int64_t x1 = x0 + 1 < w ? x0 + 1 : x0;
    const int64_t y1 = y0 + 1 < h ? y0 + 1 : y0;
    const double fx = u - double(x0), fy = v - double(y0);
    const double gx = 1.0 - fx, gy = 1.0 - fy;
    const int64_t row = img.stride[0], col = img.stride[1], ch_step = img.stride[2];
    const float* p00 = at(img.data, y0 * row + x0 * col);
    const float* p01 = at(img.data, y0 * row + x1 * col);
    const float* p10 = at(img.data, y1 * row + x0 * col);
    const float* p11 = at(img.data, y1 * row + x1 * col);
    for (int64_t ch = 0; ch < nch; ++ch) {
        const int64_t off = ch * ch_step;
        const double top = double(load_one(at(p00, off))) * gx + double(load_one(at(p01, off))) * fx;
        const double bottom = double(load_one(at(p10, off))) * gx + double(load_one(at(p11, off))) * fx;
        store_one(at(dst, ch * out_ch), float(top * gy + bottom * fy));
    }
}

}  // namespace

void sample_view(const Array3<const float>& img, const Camera& camera, const GroundGrid& grid,
                 const Array2<const float>& Z, const Array3<float>& out,
                 const Array2<std::uint8_t>& valid) {
    const int64_t H = Z.extent[0], W = Z.extent[1];
    if (H == 0 || W == 0) return;
    const int64_t h = img.extent[0], w = img.extent[1];
    const Camera cam = camera;  // locals, so that stores through out cannot alias them
    const auto R = [&](int i, int j) { return splat_double(cam.R[i][j]); };
    const Doubles C0 = splat_double(cam.C[0]), C2 = splat_double(cam.C[2]);
    const Doubles near = splat_double(1e-6), one = splat_double(1.0), zero = splat_double(0.0);
    const Doubles last_u = splat_double(double(w - 1)), last_v = splat_double(double(h - 1));
    double lane_index[kLanes];
    for (int64_t i = 0; i < kLanes; ++i) lane_index[i] = double(i);
    const Doubles lanes = load_doubles(lane_index);

    for (int64_t r = 0; r < H; ++r) {
        const double Y = grid.Y0 - (double(r) + 0.5) * grid.gsd;
        const double dy = Y - cam.C[1];
        // R[i][1] * dy, the same product for every cell of the row.
        const Doubles dy0 = splat_double(cam.R[0][1] * dy), dy1 = splat_double(cam.R[1][1] * dy),
                      dy2 = splat_double(cam.R[2][1] * dy);
        const float* z_row = at(Z.data, r * Z.stride[0]);
        float* out_row = at(out.data, r * out.stride[0]);
        std::uint8_t* valid_row = at(valid.data, r * valid.stride[0]);

        for (int64_t c = 0; c < W; c += kLanes) {
            const int64_t n = std::min(kLanes, W - c);
            const Doubles X = ((splat_double(double(c)) + lanes) + splat_double(0.5)) * splat_double(grid.gsd) +
                              splat_double(grid.X0);
            const Doubles dx = X - C0;
            const Floats z = load_first(z_row + c, int(n));
            const Doubles dz = widen_low(z) - C2;
            const Doubles zc = (R(2, 0) * dx + dy2) + R(2, 2) * dz;
            const Doubles xc = (R(0, 0) * dx + dy0) + R(0, 2) * dz;
            const Doubles yc = (R(1, 0) * dx + dy1) + R(1, 2) * dz;
            const Doubles nx = xc / zc, ny = yc / zc;
            const Doubles r2 = nx * nx + ny * ny;
            const Doubles d = (one + splat_double(cam.k1) * r2) + (splat_double(cam.k2) * r2) * r2;
            const Doubles fd = splat_double(cam.f) * d;
            const Doubles u = fd * nx + splat_double(cam.cx);
            const Doubles v = fd * ny + splat_double(cam.cy);
            // A NaN depth goes on, as in the literal steps; a NaN position fails
            // every bound and never becomes an index.
            const DoubleMask taken =
                both(both(not_less_equal(zc, near), both(greater_equal(u, zero), greater_equal(v, zero))),
                     both(less_equal(u, last_u), less_equal(v, last_v)));
            unsigned hits = lane_bits(taken) & unsigned((1u << n) - 1u);
            for (int64_t i = 0; i < n; ++i) *at(valid_row, (c + i) * valid.stride[1]) = std::uint8_t((hits >> i) & 1u);
            if (hits == 0) continue;
            double u_lanes[kLanes], v_lanes[kLanes];
            store_doubles(u_lanes, u);
            store_doubles(v_lanes, v);
            for (; hits != 0; hits &= hits - 1) {
                const int i = __builtin_ctz(hits);
                sample(img, u_lanes[i], v_lanes[i], at(out_row, (c + i) * out.stride[1]), out.stride[2]);
            }
        }
    }
}

}  // namespace quiltmap::kernels::QUILTMAP_LEVEL
