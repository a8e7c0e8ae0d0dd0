#include "kernels/raycast.hpp"

#include <cmath>
#include <limits>

namespace quiltmap::kernels {

namespace {

using std::int64_t;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NumPy's maximum and minimum: a NaN operand wins.
double maximum(double a, double b) { return (a >= b || std::isnan(a)) ? a : b; }
double minimum(double a, double b) { return (a <= b || std::isnan(a)) ? a : b; }

// np.clip(x, lo, hi).astype(intp) for x >= lo; a NaN position takes the first cell.
int64_t clipped_index(double x, double hi) {
    x = maximum(x, 0.0);
    x = minimum(x, hi);
    return x >= 0.0 ? int64_t(x) : 0;
}

class Caster {
public:
    Caster(const Array2<const float>& heights, const Array2<const float>& peaks, const RayCast& cast)
        : heights_(heights), peaks_(peaks), p_(cast) {}

    // The height of window cell (r, c); NaN outside the window.
    double height(int64_t r, int64_t c) const {
        if (r < 0 || c < 0 || r >= heights_.extent[0] || c >= heights_.extent[1]) return kNaN;
        return *at(heights_.data, r * heights_.stride[0] + c * heights_.stride[1]);
    }

    double peak(int64_t r, int64_t c) const {
        if (r < 0 || c < 0 || r >= peaks_.extent[0] || c >= peaks_.extent[1]) return -kInf;
        return *at(peaks_.data, r * peaks_.stride[0] + c * peaks_.stride[1]);
    }

    // raycast.bilinear of the heights at plan position (X, Y).
    double bilinear(double X, double Y) const {
        double r = (p_.Y0 - Y) / p_.gsd - 0.5;
        double c = (X - p_.X0) / p_.gsd - 0.5;
        r = minimum(maximum(r, 0.0), double(p_.rows) - 1.000001);
        c = minimum(maximum(c, 0.0), double(p_.columns) - 1.000001);
        int64_t r0 = clipped_index(r, kInf), c0 = clipped_index(c, kInf);
        const double fr = r - double(r0), fc = c - double(c0);
        r0 -= p_.window_row;
        c0 -= p_.window_column;
        const double a = height(r0, c0), b = height(r0, c0 + 1);
        const double cc = height(r0 + 1, c0), d = height(r0 + 1, c0 + 1);
        return (a * (1 - fc) + b * fc) * (1 - fr) + (cc * (1 - fc) + d * fc) * fr;
    }

    double cast(const double dir[3]) const {
        const double* o = p_.origin;
        const double dz = dir[2];
        const bool down = dz < -1e-9;
        const double safe_dz = down ? dz : -1.0;
        double t_start = maximum(down ? (p_.z_hi - o[2]) / safe_dz : 0.0, 0.0);
        const double t_end = down ? (p_.z_lo - o[2]) / safe_dz : 0.0;
        const double horizontal = maximum(std::hypot(dir[0], dir[1]), 1e-9);
        const double climb = maximum(-dz, 1e-9);

        const double leap = minimum(double(p_.block - 1) * p_.gsd / horizontal, 2.0 / climb);
        if (p_.block > 1 && down && t_end > t_start) {
            for (;;) {
                const double t = t_start;
                const double px = o[0] + t * dir[0], py = o[1] + t * dir[1];
                const double fr = (p_.Y0 - py) / p_.gsd - 0.5, fc = (px - p_.X0) / p_.gsd - 0.5;
                const int64_t r = clipped_index(std::nearbyint(fr), double(p_.rows - 1)) / p_.block -
                                  p_.window_row / p_.block;
                const int64_t c = clipped_index(std::nearbyint(fc), double(p_.columns - 1)) / p_.block -
                                  p_.window_column / p_.block;
                const double ahead = t + leap;
                if (!(o[2] + ahead * dz > peak(r, c) && ahead < t_end && ahead > t)) break;
                t_start = ahead;
            }
        }

        const double step = minimum(0.7 * p_.gsd / horizontal, 0.5 / climb);
        double t_hit = t_end;
        if (!(down && t_end > t_start)) return t_hit;
        double t = t_start;
        for (;;) {
            const double px = o[0] + t * dir[0], py = o[1] + t * dir[1], pz = o[2] + t * dir[2];
            if (pz <= bilinear(px, py)) {
                double hi = t;
                double lo = maximum(hi - step, t_start);
                for (int i = 0; i < p_.refine; ++i) {
                    const double mid = 0.5 * (lo + hi);
                    const double qx = o[0] + mid * dir[0], qy = o[1] + mid * dir[1], qz = o[2] + mid * dir[2];
                    if (qz <= bilinear(qx, qy))
                        hi = mid;
                    else
                        lo = mid;
                }
                return hi;
            }
            const double next = t + step;
            if (next > t_end || !(next > t)) return t_hit;
            t = next;
        }
    }

private:
    const Array2<const float>& heights_;
    const Array2<const float>& peaks_;
    const RayCast& p_;
};

}  // namespace

void block_peaks_reference(const Array2<const float>& heights, std::int32_t block, const Array2<float>& peaks) {
    const int64_t rows = peaks.extent[0], columns = peaks.extent[1];
    auto block_max = [&](int64_t R, int64_t C) {
        float highest = -std::numeric_limits<float>::infinity();
        for (int64_t r = R * block; r < (R + 1) * block && r < heights.extent[0]; ++r)
            for (int64_t c = C * block; c < (C + 1) * block && c < heights.extent[1]; ++c) {
                const float z = *at(heights.data, r * heights.stride[0] + c * heights.stride[1]);
                if (z > highest) highest = z;  // NaN: no height
            }
        return highest;
    };
    for (int64_t R = 0; R < rows; ++R)
        for (int64_t C = 0; C < columns; ++C) {
            float highest = -std::numeric_limits<float>::infinity();
            for (int64_t i = R - 1; i <= R + 1; ++i)
                for (int64_t j = C - 1; j <= C + 1; ++j)
                    if (i >= 0 && j >= 0 && i < rows && j < columns) {
                        const float z = block_max(i, j);
                        if (z > highest) highest = z;
                    }
            *at(peaks.data, R * peaks.stride[0] + C * peaks.stride[1]) = highest + 0.0f;  // never -0
        }
}

void cast_rays_reference(const Array2<const float>& heights, const Array2<const float>& peaks, const RayCast& cast,
                         const Array2<const double>& dirs, const Array1<double>& t) {
    const Caster caster(heights, peaks, cast);
    for (int64_t i = 0; i < dirs.extent[0]; ++i) {
        double dir[3];
        for (int k = 0; k < 3; ++k) dir[k] = *at(dirs.data, i * dirs.stride[0] + k * dirs.stride[1]);
        *at(t.data, i * t.stride[0]) = caster.cast(dir);
    }
}

void visibility_reference(const Array2<const float>& heights, const Array2<const float>& peaks, const RayCast& cast,
                          std::int64_t region_row, std::int64_t region_column, const Array2<std::uint8_t>& visible) {
    const Caster caster(heights, peaks, cast);
    const double* o = cast.origin;
    for (int64_t i = 0; i < visible.extent[0]; ++i)
        for (int64_t j = 0; j < visible.extent[1]; ++j) {
            const int64_t r = region_row + i, c = region_column + j;
            const double X = cast.X0 + (double(c) + 0.5) * cast.gsd;
            const double Y = cast.Y0 - (double(r) + 0.5) * cast.gsd;
            const double Z = caster.height(r - cast.window_row, c - cast.window_column);
            const double d[3] = {X - o[0], Y - o[1], Z - o[2]};
            const double distance = std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
            const double dir[3] = {d[0] / distance, d[1] / distance, d[2] / distance};
            const double t = caster.cast(dir);
            *at(visible.data, i * visible.stride[0] + j * visible.stride[1]) = t >= distance - 0.5 * cast.gsd;
        }
}

}  // namespace quiltmap::kernels
