// Rays against a height model, compiled once per level (simd.hpp).
//
// Ray by ray, the twin's steps with its roundings; what differs is only
// where the constants live.
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/raycast.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline double maximum(double a, double b) { return (a >= b || a != a) ? a : b; }
inline double minimum(double a, double b) { return (a <= b || a != a) ? a : b; }

// A cell index of a position already clamped to [0, last] (NaN: 0).
inline int64_t cell_of(double x) { return x >= 0.0 ? int64_t(x) : 0; }

struct Scene {
    const float* heights;
    int64_t row_bytes, column_bytes, window_rows, window_columns;
    const float* peaks;
    int64_t peak_row_bytes, peak_column_bytes, peak_rows, peak_columns;
    double X0, Y0, gsd, last_row, last_column, edge_row, edge_column;
    int64_t window_row, window_column, window_block_row, window_block_column;
    double o[3], z_lo, z_hi, leap_plan, step_plan;
    int32_t refine, block;

    Scene(const Array2<const float>& h, const Array2<const float>& p, const RayCast& cast)
        : heights(h.data), row_bytes(h.stride[0]), column_bytes(h.stride[1]), window_rows(h.extent[0]),
          window_columns(h.extent[1]), peaks(p.data), peak_row_bytes(p.stride[0]), peak_column_bytes(p.stride[1]),
          peak_rows(p.extent[0]), peak_columns(p.extent[1]), X0(cast.X0), Y0(cast.Y0), gsd(cast.gsd),
          last_row(double(cast.rows - 1)), last_column(double(cast.columns - 1)),
          edge_row(double(cast.rows) - 1.000001), edge_column(double(cast.columns) - 1.000001),
          window_row(cast.window_row), window_column(cast.window_column),
          window_block_row(cast.window_row / cast.block), window_block_column(cast.window_column / cast.block),
          o{cast.origin[0], cast.origin[1], cast.origin[2]}, z_lo(cast.z_lo), z_hi(cast.z_hi),
          leap_plan(double(cast.block - 1) * cast.gsd), step_plan(0.7 * cast.gsd), refine(cast.refine),
          block(cast.block) {}

    double height(int64_t r, int64_t c) const {
        if (uint64_t(r) >= uint64_t(window_rows) || uint64_t(c) >= uint64_t(window_columns)) return kNaN;
        return *at(heights, r * row_bytes + c * column_bytes);
    }

    double peak(int64_t r, int64_t c) const {
        if (uint64_t(r) >= uint64_t(peak_rows) || uint64_t(c) >= uint64_t(peak_columns)) return -kInf;
        return *at(peaks, r * peak_row_bytes + c * peak_column_bytes);
    }

    double bilinear(double X, double Y) const {
        const double r = minimum(maximum((Y0 - Y) / gsd - 0.5, 0.0), edge_row);
        const double c = minimum(maximum((X - X0) / gsd - 0.5, 0.0), edge_column);
        const int64_t r0 = cell_of(r), c0 = cell_of(c);
        const double fr = r - double(r0), fc = c - double(c0);
        const int64_t wr = r0 - window_row, wc = c0 - window_column;
        double a, b, cc, d;
        if (wr >= 0 && wc >= 0 && wr + 1 < window_rows && wc + 1 < window_columns) {
            const float* p = at(heights, wr * row_bytes + wc * column_bytes);
            const float* q = at(p, row_bytes);
            a = *p, b = *at(p, column_bytes), cc = *q, d = *at(q, column_bytes);
        } else {
            a = height(wr, wc), b = height(wr, wc + 1), cc = height(wr + 1, wc), d = height(wr + 1, wc + 1);
        }
        return (a * (1 - fc) + b * fc) * (1 - fr) + (cc * (1 - fc) + d * fc) * fr;
    }

    double cast(const double dir[3]) const {
        const double dz = dir[2];
        if (!(dz < -1e-9)) return 0.0;
        double t_start = maximum((z_hi - o[2]) / dz, 0.0);
        const double t_end = (z_lo - o[2]) / dz;
        if (!(t_end > t_start)) return t_end;
        const double horizontal = maximum(std::hypot(dir[0], dir[1]), 1e-9);
        const double climb = maximum(-dz, 1e-9);

        if (block > 1) {
            const double leap = minimum(leap_plan / horizontal, 2.0 / climb);
            for (;;) {
                const double t = t_start;
                const double px = o[0] + t * dir[0], py = o[1] + t * dir[1];
                const double fr = std::nearbyint((Y0 - py) / gsd - 0.5), fc = std::nearbyint((px - X0) / gsd - 0.5);
                const int64_t r = cell_of(minimum(maximum(fr, 0.0), last_row)) / block - window_block_row;
                const int64_t c = cell_of(minimum(maximum(fc, 0.0), last_column)) / block - window_block_column;
                const double ahead = t + leap;
                if (!(o[2] + ahead * dz > peak(r, c) && ahead < t_end && ahead > t)) break;
                t_start = ahead;
            }
        }

        const double step = minimum(step_plan / horizontal, 0.5 / climb);
        double t = t_start;
        for (;;) {
            const double px = o[0] + t * dir[0], py = o[1] + t * dir[1], pz = o[2] + t * dz;
            if (pz <= bilinear(px, py)) {
                double hi = t;
                double lo = maximum(hi - step, t_start);
                for (int i = 0; i < refine; ++i) {
                    const double mid = 0.5 * (lo + hi);
                    const double qx = o[0] + mid * dir[0], qy = o[1] + mid * dir[1], qz = o[2] + mid * dz;
                    if (qz <= bilinear(qx, qy))
                        hi = mid;
                    else
                        lo = mid;
                }
                return hi;
            }
            const double next = t + step;
            if (next > t_end || !(next > t)) return t_end;
            t = next;
        }
    }
};

}  // namespace

void block_peaks(const Array2<const float>& heights, std::int32_t block, const Array2<float>& peaks) {
    const int64_t rows = peaks.extent[0], columns = peaks.extent[1];
    const int64_t H = heights.extent[0], W = heights.extent[1];
    if (rows == 0 || columns == 0) return;
    const float lowest = -std::numeric_limits<float>::infinity();
    auto peak = [&](int64_t R, int64_t C) -> float& { return *at(peaks.data, R * peaks.stride[0] + C * peaks.stride[1]); };
    // Each block's own highest height...
    for (int64_t R = 0; R < rows; ++R) {
        for (int64_t C = 0; C < columns; ++C) peak(R, C) = lowest;
        for (int64_t r = R * block; r < H && r < (R + 1) * block; ++r) {
            const float* z = at(heights.data, r * heights.stride[0]);
            for (int64_t C = 0; C < columns; ++C) {
                float highest = peak(R, C);
                for (int64_t c = C * block; c < W && c < (C + 1) * block; ++c) {
                    const float v = *at(z, c * heights.stride[1]);
                    highest = v > highest ? v : highest;
                }
                peak(R, C) = highest;
            }
        }
    }
    // ...then the highest of its row neighbours, then of its column neighbours, in place.
    for (int64_t R = 0; R < rows; ++R) {
        float before = lowest;
        for (int64_t C = 0; C < columns; ++C) {
            const float own = peak(R, C), after = C + 1 < columns ? peak(R, C + 1) : lowest;
            float highest = before > own ? before : own;
            highest = after > highest ? after : highest;
            peak(R, C) = highest;
            before = own;
        }
    }
    for (int64_t C = 0; C < columns; ++C) {
        float before = lowest;
        for (int64_t R = 0; R < rows; ++R) {
            const float own = peak(R, C), after = R + 1 < rows ? peak(R + 1, C) : lowest;
            float highest = before > own ? before : own;
            highest = after > highest ? after : highest;
            peak(R, C) = highest + 0.0f;  // a zero peak is +0 whichever zero was highest
            before = own;
        }
    }
}

void cast_rays(const Array2<const float>& heights, const Array2<const float>& peaks, const RayCast& cast,
               const Array2<const double>& dirs, const Array1<double>& t) {
    const Scene scene(heights, peaks, cast);
    for (int64_t i = 0; i < dirs.extent[0]; ++i) {
        const double* d = at(dirs.data, i * dirs.stride[0]);
        const double dir[3] = {d[0], *at(d, dirs.stride[1]), *at(d, 2 * dirs.stride[1])};
        *at(t.data, i * t.stride[0]) = scene.cast(dir);
    }
}

void visibility(const Array2<const float>& heights, const Array2<const float>& peaks, const RayCast& cast,
                std::int64_t region_row, std::int64_t region_column, const Array2<std::uint8_t>& visible) {
    const Scene scene(heights, peaks, cast);
    const double* o = scene.o;
    const double half_cell = 0.5 * cast.gsd;
    for (int64_t i = 0; i < visible.extent[0]; ++i) {
        const int64_t r = region_row + i;
        const double dy = (cast.Y0 - (double(r) + 0.5) * cast.gsd) - o[1];
        const float* z = at(heights.data, (r - cast.window_row) * heights.stride[0]);
        std::uint8_t* out = at(visible.data, i * visible.stride[0]);
        for (int64_t j = 0; j < visible.extent[1]; ++j) {
            const int64_t c = region_column + j;
            const double dx = (cast.X0 + (double(c) + 0.5) * cast.gsd) - o[0];
            const double dz = double(*at(z, (c - cast.window_column) * heights.stride[1])) - o[2];
            const double distance = std::sqrt((dx * dx + dy * dy) + dz * dz);
            const double dir[3] = {dx / distance, dy / distance, dz / distance};
            *at(out, j * visible.stride[1]) = scene.cast(dir) >= distance - half_cell;
        }
    }
}

QUILTMAP_LEVEL_END
