// View sampling, compiled once per level (simd.hpp).
//
// A row goes in chunks of kChunk cells, in two passes.  The first projects
// kDoubleLanes cells at once, one lane per cell, with the scalar steps in
// their order (the division too is the IEEE one, lane by lane), writes the
// valid flags and notes, for the cells that land inside the image, where
// their samples come from.  The second samples them: one channel kDoubleLanes
// cells at once by gathers, more channels a cell at a time, all channels of
// a pixel in one vector of doubles.  For the latter the first pass also asks
// for the image lines the samples will read: a surface model with relief
// scatters them over a band of image rows larger than the caches, and
// without the request each sample would wait for its lines in turn.
#include <algorithm>
#include <cstdint>

#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;

constexpr int64_t kLanes = kDoubleLanes;
constexpr int64_t kChunk = 256;  // cells; a multiple of kLanes

// The cells of a chunk that land in the image, and where their samples come
// from: the byte offsets in the image of the pixels (x0, y0), (x1, y0),
// (x0, y1) and (x1, y1) (x1 = x0 at the image's last column, y1 = y0 at its
// last row), and the weights.  Indexed by the cell's column in the chunk;
// `hit` lists the cells sampled, `taken` holds them as bits, a word per
// group of kLanes cells.
struct Chunk {
    std::int64_t corner[4][kChunk];
    double fx[kChunk], fy[kChunk];
    std::int32_t hit[kChunk];
    unsigned taken[kChunk / kLanes];
    int64_t hits;
};

}  // namespace

void sample_view(const Array3<const float>& img, const Camera& camera, const GroundGrid& grid,
                 const Array2<const float>& Z, const Array3<float>& out,
                 const Array2<std::uint8_t>& valid) {
    const int64_t H = Z.extent[0], W = Z.extent[1];
    if (H == 0 || W == 0) return;
    assert(last_axis_is_dense(img) && last_axis_is_dense(Z) && last_axis_is_dense(out) && last_axis_is_dense(valid));
    const int64_t h = img.extent[0], w = img.extent[1], nch = img.extent[2];
    const Camera cam = camera;  // locals, so that stores through out cannot alias them
    const auto R = [&](int i, int j) { return splat_double(cam.R[i][j]); };
    const Doubles C0 = splat_double(cam.C[0]), C2 = splat_double(cam.C[2]);
    const Doubles near = splat_double(kMinDepth), one = splat_double(1.0), zero = splat_double(0.0);
    const Doubles last_u = splat_double(double(w - 1)), last_v = splat_double(double(h - 1));
    const Doubles width = splat_double(double(w)), height = splat_double(double(h));
    const Doubles row_bytes = splat_double(double(img.stride[0])), column_bytes = splat_double(double(img.stride[1]));
    double lane_index[kLanes];
    for (int64_t i = 0; i < kLanes; ++i) lane_index[i] = double(i);
    const Doubles lanes = load_doubles(lane_index);
    // The plane sweep's grey images: kLanes samples at once, by gathers.
    const bool one_channel = nch == 1 && out.stride[1] == int64_t(sizeof(float));
    Chunk chunk;
    int64_t last_line = -1;  // the image line last asked for

    for (int64_t r = 0; r < H; ++r) {
        const double Y = grid.Y0 - (double(r) + 0.5) * grid.gsd;
        const double dy = Y - cam.C[1];
        // R[i][1] * dy, the same product for every cell of the row.
        const Doubles dy0 = splat_double(cam.R[0][1] * dy), dy1 = splat_double(cam.R[1][1] * dy),
                      dy2 = splat_double(cam.R[2][1] * dy);
        const float* z_row = at(Z.data, r * Z.stride[0]);
        float* out_row = at(out.data, r * out.stride[0]);
        std::uint8_t* valid_row = at(valid.data, r * valid.stride[0]);

        for (int64_t c0 = 0; c0 < W; c0 += kChunk) {
            const int64_t c1 = std::min(W, c0 + kChunk);
            chunk.hits = 0;
            for (int64_t c = c0; c < c1; c += kLanes) {
                const int64_t n = std::min(kLanes, c1 - c);
                const Doubles X = ((splat_double(double(c)) + lanes) + splat_double(0.5)) * splat_double(grid.gsd) +
                                  splat_double(grid.X0);
                const Doubles dx = X - C0;
                const Doubles dz = widen_low(load_first(z_row + c, int(n))) - C2;
                const Doubles zc = (R(2, 0) * dx + dy2) + R(2, 2) * dz;
                const Doubles xc = (R(0, 0) * dx + dy0) + R(0, 2) * dz;
                const Doubles yc = (R(1, 0) * dx + dy1) + R(1, 2) * dz;
                const Doubles nx = xc / zc, ny = yc / zc;
                const Doubles r2 = nx * nx + ny * ny;
                const Doubles d = (one + splat_double(cam.k1) * r2) + (splat_double(cam.k2) * r2) * r2;
                const Doubles fd = splat_double(cam.f) * d;
                const Doubles u = fd * nx + splat_double(cam.cx);
                const Doubles v = fd * ny + splat_double(cam.cy);
                // A NaN depth goes on, as in the literal steps; a NaN position
                // fails every bound and never becomes an index.
                const DoubleMask taken =
                    both(both(not_less_equal(zc, near), both(greater_equal(u, zero), greater_equal(v, zero))),
                         both(less_equal(u, last_u), less_equal(v, last_v)));
                unsigned hits = lane_bits(taken) & unsigned((1u << n) - 1u);
                // Consecutive bytes when W > 1; one byte otherwise, whatever the stride.
                store_flags(at(valid_row, c * valid.stride[1]), hits, int(n));
                chunk.taken[(c - c0) / kLanes] = hits;
                if (hits == 0 || nch == 0) continue;
                // The corner pixels and the weights, for the lanes whose
                // position passed the bounds (others carry junk): 0 <= u <= w - 1,
                // so the truncation is the floor, and the byte offsets, below
                // the buffer's size, are exact in double.
                const Doubles x0 = truncate(select(taken, u, zero)), y0 = truncate(select(taken, v, zero));
                const int64_t k = c - c0;
                const Doubles top_left = y0 * row_bytes + x0 * column_bytes;
                const Doubles right = select(less(x0 + one, width), column_bytes, zero);
                const Doubles below = top_left + select(less(y0 + one, height), row_bytes, zero);
                store_integers(chunk.corner[0] + k, top_left);
                store_integers(chunk.corner[1] + k, top_left + right);
                store_integers(chunk.corner[2] + k, below);
                store_integers(chunk.corner[3] + k, below + right);
                store_doubles(chunk.fx + k, u - x0);
                store_doubles(chunk.fy + k, v - y0);
                // The gathers of one channel keep many misses in flight on
                // their own; asking for the lines first only slowed them.
                if (one_channel) continue;
                for (; hits != 0; hits &= hits - 1) {
                    const int64_t cell = k + __builtin_ctz(hits);
                    chunk.hit[chunk.hits++] = std::int32_t(cell);
                    // A sample's pixels span one or two lines of each image
                    // row; neighbouring cells mostly share them, so only a
                    // cell that starts on a new line asks.  (The line after
                    // may lie past the image: it is an address, not a read.)
                    const int64_t line = chunk.corner[0][cell] >> 6;
                    if (line == last_line) continue;
                    last_line = line;
                    const auto top_row = reinterpret_cast<std::uintptr_t>(img.data) + std::uintptr_t(chunk.corner[0][cell]);
                    const auto bottom_row = reinterpret_cast<std::uintptr_t>(img.data) + std::uintptr_t(chunk.corner[2][cell]);
                    prefetch(reinterpret_cast<const void*>(top_row));
                    prefetch(reinterpret_cast<const void*>(top_row + 64));
                    prefetch(reinterpret_cast<const void*>(bottom_row));
                    prefetch(reinterpret_cast<const void*>(bottom_row + 64));
                }
            }

            // Every channel of each sample, the literal expression in double:
            // (p00 (1 - fx) + p01 fx) (1 - fy) + (p10 (1 - fx) + p11 fx) fy.
            if (one_channel) {
                for (int64_t k = 0; k < c1 - c0; k += kLanes) {
                    const unsigned lanes = chunk.taken[k / kLanes];
                    if (lanes == 0) continue;
                    const Doubles fx = load_doubles(chunk.fx + k), fy = load_doubles(chunk.fy + k);
                    const Doubles gx = one - fx, gy = one - fy;
                    const Doubles top = gather_widened(img.data, chunk.corner[0] + k, lanes) * gx +
                                        gather_widened(img.data, chunk.corner[1] + k, lanes) * fx;
                    const Doubles bottom = gather_widened(img.data, chunk.corner[2] + k, lanes) * gx +
                                           gather_widened(img.data, chunk.corner[3] + k, lanes) * fx;
                    store_narrowed(out_row + c0 + k, top * gy + bottom * fy, lanes);
                }
                continue;
            }
            // Channels are consecutive floats whenever there are two or more.
            for (int64_t j = 0; j < chunk.hits; ++j) {
                const int64_t k = chunk.hit[j];
                const float* p00 = at(img.data, chunk.corner[0][k]);
                const float* p01 = at(img.data, chunk.corner[1][k]);
                const float* p10 = at(img.data, chunk.corner[2][k]);
                const float* p11 = at(img.data, chunk.corner[3][k]);
                const Channels fx = splat_channels(chunk.fx[k]), fy = splat_channels(chunk.fy[k]);
                const Channels gx = splat_channels(1.0 - chunk.fx[k]), gy = splat_channels(1.0 - chunk.fy[k]);
                float* dst = at(out_row, (c0 + k) * out.stride[1]);
                for (int64_t ch = 0; ch < nch; ch += kChannelLanes) {
                    const int m = int(std::min<int64_t>(kChannelLanes, nch - ch));
                    const Channels top = load_channels(p00 + ch, m) * gx + load_channels(p01 + ch, m) * fx;
                    const Channels bottom = load_channels(p10 + ch, m) * gx + load_channels(p11 + ch, m) * fx;
                    store_channels(dst + ch, top * gy + bottom * fy, m);
                }
            }
        }
    }
}

QUILTMAP_LEVEL_END
