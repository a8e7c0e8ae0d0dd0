// Rays against a height model, compiled once per level (simd.hpp).
//
// Rays are taken kBatch at a time and marched in vector lanes, one ray per
// lane: a lane whose ray is done takes the next ray of the batch, so the
// lanes stay busy however unequal the rays' lengths, and the bisection's
// halves are chosen by selects rather than unpredictable branches.  Two
// passes over a batch: the leaps over the blocks, then the steps and the
// bisection, each lane doing the twin's operations on its ray in the twin's
// order.  Heights and peaks are read lane by lane (there is no gather in the
// vocabulary), everything else is vector arithmetic.
//
// Round half to even of a position x that is then clamped to [0, rows - 1]:
// (x + 2^52) - 2^52 is that rounding for 0 <= x < 2^52 in the default
// rounding mode; any x < 0 gives a value <= 0 and any larger x a value
// beyond the grid, which the clamp takes to the same cell as the exact
// rounding.
#include <algorithm>
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
// Rays marched at once: enough independent work to cover the latency of the
// divisions and of the reads (16 ran a fifth slower than 32 at AVX-512).
constexpr int kLanes = 32;
constexpr int kBatch = 256;  // rays set up, then marched, at a time
static_assert(kLanes == 32 && kLanes % kDoubleLanes == 0, "a bit of an unsigned per lane");

inline double maximum(double a, double b) { return (a >= b || a != a) ? a : b; }
inline double minimum(double a, double b) { return (a <= b || a != a) ? a : b; }

// max(x, 0) and min(x, hi) as NumPy takes them (a NaN x stays NaN).
inline Doubles at_least_zero(Doubles x, Doubles zero) { return select(less(x, zero), zero, x); }
inline Doubles at_most(Doubles x, Doubles hi) { return select(less(hi, x), hi, x); }

// The rays of a batch once set up: direction, the span of t they are
// marched over, leap and step; t receives each ray's distance.
struct Batch {
    double dx[kBatch], dy[kBatch], dz[kBatch], t_start[kBatch], t_end[kBatch], leap[kBatch], step[kBatch];
    double t[kBatch];
    int count = 0;
};

// Per-lane state of a pass, kLanes wide, and which ray each lane marches.
// The lanes that march a ray are always the first `live`; the others idle
// on harmless values, and only the vectors that hold live lanes are worked.
struct Lanes {
    alignas(64) double dx[kLanes], dy[kLanes], dz[kLanes], t[kLanes], t_start[kLanes], t_end[kLanes];
    alignas(64) double jump[kLanes], lo[kLanes], hi[kLanes], k[kLanes];
    alignas(64) double value[4][kLanes];
    alignas(64) std::int64_t index[2][kLanes];
    int ray[kLanes];
    int live = 0, next = 0;  // live lanes; the batch entry the next free lane takes

    // Every lane takes a ray of the batch while there are any (idle lanes
    // copy entry 0); `by` is the pass's leap or step per entry.
    Lanes(const Batch& batch, const double* by) {
        for (int lane = 0; lane < kLanes; ++lane) take(lane, batch, lane < batch.count ? lane : 0, by);
        live = next = std::min(kLanes, batch.count);
    }

    // The lanes worth computing: the vectors that hold live lanes.
    int span() const { return (live + kDoubleLanes - 1) / kDoubleLanes * kDoubleLanes; }
    unsigned span_bits() const { return span() == 32 ? ~0u : (1u << span()) - 1u; }

    void take(int lane, const Batch& batch, int entry, const double* by) {
        ray[lane] = entry;
        dx[lane] = batch.dx[entry];
        dy[lane] = batch.dy[entry];
        dz[lane] = batch.dz[entry];
        t[lane] = t_start[lane] = batch.t_start[entry];
        t_end[lane] = batch.t_end[entry];
        jump[lane] = by[entry];
        lo[lane] = hi[lane] = 0.0;
        k[lane] = -1.0;
    }

    void move(int from, int to) {
        ray[to] = ray[from];
        dx[to] = dx[from], dy[to] = dy[from], dz[to] = dz[from];
        t[to] = t[from], t_start[to] = t_start[from], t_end[to] = t_end[from];
        jump[to] = jump[from], lo[to] = lo[from], hi[to] = hi[from], k[to] = k[from];
    }

    // The live lanes of `done` hand their ray to `finish(lane)` and take the
    // next one; a lane left without one gets the last live lane's ray.
    // Highest lanes first, so that the lane moved down is never one still
    // to finish.
    template <typename Finish>
    void hand_over(unsigned done, const Batch& batch, const double* by, Finish finish) {
        for (done &= live == 32 ? ~0u : (1u << live) - 1u; done; done &= ~(1u << (31 - __builtin_clz(done)))) {
            const int lane = 31 - __builtin_clz(done);
            finish(lane);
            if (next < batch.count) {
                take(lane, batch, next++, by);
            } else if (lane != --live) {
                move(live, lane);
            }
        }
    }
};

class Scene {
public:
    Scene(const Array2<const float>& h, const Array2<const float>& p, const RayCast& cast)
        : heights_(h.data), row_bytes_(h.stride[0]), column_bytes_(h.stride[1]), window_rows_(h.extent[0]),
          window_columns_(h.extent[1]), peaks_(p.data), peak_row_bytes_(p.stride[0]),
          peak_column_bytes_(p.stride[1]), peak_rows_(p.extent[0]), peak_columns_(p.extent[1]), cast_(cast),
          leap_plan_(double(cast.block - 1) * cast.gsd), step_plan_(0.7 * cast.gsd) {}

    // Sets up the ray along dir as the next of the batch; false, with its
    // distance in *t, when it is not marched at all.
    bool admit(const double dir[3], Batch& batch, double* t) const {
        const double* o = cast_.origin;
        const double dz = dir[2];
        if (!(dz < -1e-9)) return *t = 0.0, false;
        const double t_start = maximum((cast_.z_hi - o[2]) / dz, 0.0);
        const double t_end = (cast_.z_lo - o[2]) / dz;
        if (!(t_end > t_start)) return *t = t_end, false;
        const double horizontal = maximum(std::hypot(dir[0], dir[1]), 1e-9);
        const double climb = maximum(-dz, 1e-9);
        const int n = batch.count++;
        batch.dx[n] = dir[0];
        batch.dy[n] = dir[1];
        batch.dz[n] = dz;
        batch.t_start[n] = t_start;
        batch.t_end[n] = t_end;
        batch.leap[n] = minimum(leap_plan_ / horizontal, 2.0 / climb);
        batch.step[n] = minimum(step_plan_ / horizontal, 0.5 / climb);
        return true;
    }

    // The distances of the batch's rays into batch.t.
    void march(Batch& batch) const {
        if (cast_.block > 1) leaps(batch);
        steps(batch);
    }

private:
    double height(int64_t r, int64_t c) const {
        if (r < 0 || c < 0 || r >= window_rows_ || c >= window_columns_) return kNaN;
        return *at(heights_, r * row_bytes_ + c * column_bytes_);
    }

    double peak(int64_t r, int64_t c) const {
        if (r < 0 || c < 0 || r >= peak_rows_ || c >= peak_columns_) return -kInf;
        return *at(peaks_, r * peak_row_bytes_ + c * peak_column_bytes_);
    }

    // Leaps: t_start moves on by the ray's leap while the leap ends above the
    // peak of the block under its start and before t_end.
    void leaps(Batch& batch) const {
        if (batch.count == 0) return;
        const double* o = cast_.origin;
        const Doubles zero = splat_double(0.0), half = splat_double(0.5), big = splat_double(0x1p52);
        const Doubles O0 = splat_double(o[0]), O1 = splat_double(o[1]), O2 = splat_double(o[2]);
        const Doubles X0 = splat_double(cast_.X0), Y0 = splat_double(cast_.Y0), gsd = splat_double(cast_.gsd);
        const Doubles last_row = splat_double(double(cast_.rows - 1));
        const Doubles last_column = splat_double(double(cast_.columns - 1));
        const Doubles block = splat_double(double(cast_.block));
        const Doubles block_row = splat_double(double(cast_.window_row / cast_.block));
        const Doubles block_column = splat_double(double(cast_.window_column / cast_.block));
        Lanes lanes(batch, batch.leap);
        while (lanes.live > 0) {
            const int span = lanes.span();
            unsigned done = 0;
            for (int v = 0; v < span; v += kDoubleLanes) {
                const Doubles t = load_doubles(lanes.t + v);
                const Doubles px = O0 + t * load_doubles(lanes.dx + v), py = O1 + t * load_doubles(lanes.dy + v);
                Doubles r = ((Y0 - py) / gsd - half + big) - big;
                Doubles c = ((px - X0) / gsd - half + big) - big;
                r = at_most(at_least_zero(r, zero), last_row);
                c = at_most(at_least_zero(c, zero), last_column);
                r = select(greater_equal(r, zero), r, zero);  // a NaN position: the first cell
                c = select(greater_equal(c, zero), c, zero);
                store_integers(lanes.index[0] + v, truncate(r / block) - block_row);
                store_integers(lanes.index[1] + v, truncate(c / block) - block_column);
            }
            for (int lane = 0; lane < span; ++lane)
                lanes.value[0][lane] = peak(lanes.index[0][lane], lanes.index[1][lane]);
            for (int v = 0; v < span; v += kDoubleLanes) {
                const Doubles t = load_doubles(lanes.t + v);
                const Doubles ahead = t + load_doubles(lanes.jump + v);
                const DoubleMask clear =
                    both(both(less(load_doubles(lanes.value[0] + v), O2 + ahead * load_doubles(lanes.dz + v)),
                              less(ahead, load_doubles(lanes.t_end + v))),
                         less(t, ahead));
                store_doubles(lanes.t + v, select(clear, ahead, t));
                done |= (~lane_bits(clear) & ((1u << kDoubleLanes) - 1u)) << v;
            }
            lanes.hand_over(done, batch, batch.leap,
                            [&](int lane) { batch.t_start[lanes.ray[lane]] = lanes.t[lane]; });
        }
    }

    // Steps from t_start until a point is at or below the surface, then
    // `refine` bisections; a lane with k < 0 steps, else it has bisected k times.
    void steps(Batch& batch) const {
        if (batch.count == 0) return;
        const double* o = cast_.origin;
        const Doubles zero = splat_double(0.0), one = splat_double(1.0), half = splat_double(0.5);
        const Doubles minus_one = splat_double(-1.0), refine = splat_double(double(cast_.refine));
        const Doubles O0 = splat_double(o[0]), O1 = splat_double(o[1]), O2 = splat_double(o[2]);
        const Doubles X0 = splat_double(cast_.X0), Y0 = splat_double(cast_.Y0), gsd = splat_double(cast_.gsd);
        const Doubles edge_row = splat_double(double(cast_.rows) - 1.000001);
        const Doubles edge_column = splat_double(double(cast_.columns) - 1.000001);
        const Doubles window_row = splat_double(double(cast_.window_row));
        const Doubles window_column = splat_double(double(cast_.window_column));
        const Doubles rows = splat_double(double(window_rows_)), columns = splat_double(double(window_columns_));
        const Doubles row_bytes = splat_double(double(row_bytes_)), column_bytes = splat_double(double(column_bytes_));
        // Lanes may read the four corners at offset 0 only where the window has them.
        const bool gather = window_rows_ >= 2 && window_columns_ >= 2;
        alignas(64) double fr[kLanes], fc[kLanes], s[kLanes], row_in_window[kLanes], column_in_window[kLanes];
        Lanes lanes(batch, batch.step);
        while (lanes.live > 0) {
            const int span = lanes.span();
            // Where each lane looks next, and the cell under it.
            unsigned inside = 0;
            for (int v = 0; v < span; v += kDoubleLanes) {
                const Doubles k = load_doubles(lanes.k + v);
                const Doubles at_t = select(greater_equal(k, zero),
                                            half * (load_doubles(lanes.lo + v) + load_doubles(lanes.hi + v)),
                                            load_doubles(lanes.t + v));
                store_doubles(s + v, at_t);
                const Doubles px = O0 + at_t * load_doubles(lanes.dx + v);
                const Doubles py = O1 + at_t * load_doubles(lanes.dy + v);
                const Doubles r = at_most(at_least_zero((Y0 - py) / gsd - half, zero), edge_row);
                const Doubles c = at_most(at_least_zero((px - X0) / gsd - half, zero), edge_column);
                const Doubles r0 = truncate(select(greater_equal(r, zero), r, zero));
                const Doubles c0 = truncate(select(greater_equal(c, zero), c, zero));
                store_doubles(fr + v, r - r0);
                store_doubles(fc + v, c - c0);
                const Doubles wr = r0 - window_row, wc = c0 - window_column;
                const DoubleMask in = both(both(greater_equal(wr, zero), less(wr + one, rows)),
                                           both(greater_equal(wc, zero), less(wc + one, columns)));
                inside |= lane_bits(in) << v;
                store_integers(lanes.index[0] + v, select(in, wr * row_bytes + wc * column_bytes, zero));
                store_doubles(row_in_window + v, wr);
                store_doubles(column_in_window + v, wc);
            }
            // Every lane reads the four corners at its offset (0 where its cell
            // is not inside the window), then the lanes outside read theirs
            // corner by corner, NaN beyond the window.
            if (gather) {
                for (int lane = 0; lane < span; ++lane) {
                    const int64_t offset = lanes.index[0][lane];
                    lanes.value[0][lane] = *at(heights_, offset);
                    lanes.value[1][lane] = *at(heights_, offset + column_bytes_);
                    lanes.value[2][lane] = *at(heights_, offset + row_bytes_);
                    lanes.value[3][lane] = *at(heights_, offset + row_bytes_ + column_bytes_);
                }
            }
            for (unsigned outside = (gather ? ~inside : ~0u) & lanes.span_bits(); outside; outside &= outside - 1) {
                const int lane = __builtin_ctz(outside);
                const int64_t r = int64_t(row_in_window[lane]), c = int64_t(column_in_window[lane]);
                lanes.value[0][lane] = height(r, c);
                lanes.value[1][lane] = height(r, c + 1);
                lanes.value[2][lane] = height(r + 1, c);
                lanes.value[3][lane] = height(r + 1, c + 1);
            }
            // The surface there, and each lane's next state.
            unsigned ended = 0, hit = 0;
            for (int v = 0; v < span; v += kDoubleLanes) {
                const Doubles down = load_doubles(fr + v), east = load_doubles(fc + v);
                const Doubles a = load_doubles(lanes.value[0] + v), b = load_doubles(lanes.value[1] + v);
                const Doubles cc = load_doubles(lanes.value[2] + v), d = load_doubles(lanes.value[3] + v);
                const Doubles surface =
                    (a * (one - east) + b * east) * (one - down) + (cc * (one - east) + d * east) * down;
                const Doubles at_t = load_doubles(s + v);
                const DoubleMask below = less_equal(O2 + at_t * load_doubles(lanes.dz + v), surface);
                const Doubles k = load_doubles(lanes.k + v), t = load_doubles(lanes.t + v);
                const Doubles step = load_doubles(lanes.jump + v), t_start = load_doubles(lanes.t_start + v);
                const DoubleMask stepping = less(k, zero);
                const Doubles lo_start = at_t - step;
                const Doubles new_k = select(stepping, select(below, zero, minus_one), k + one);
                const Doubles next_t = t + step;
                store_doubles(lanes.hi + v, select(below, at_t, load_doubles(lanes.hi + v)));
                store_doubles(lanes.lo + v, select(stepping, select(less(lo_start, t_start), t_start, lo_start),
                                                   select(below, load_doubles(lanes.lo + v), at_t)));
                store_doubles(lanes.k + v, new_k);
                store_doubles(lanes.t + v, select(stepping, select(below, t, next_t), t));
                const unsigned past = lane_bits(less(load_doubles(lanes.t_end + v), next_t)) |
                                      lane_bits(less_equal(next_t, t));
                ended |= (lane_bits(stepping) & ~lane_bits(below) & past) << v;
                hit |= lane_bits(greater_equal(new_k, refine)) << v;
            }
            lanes.hand_over(ended | hit, batch, batch.step, [&](int lane) {
                batch.t[lanes.ray[lane]] = (hit >> lane & 1u) ? lanes.hi[lane] : lanes.t_end[lane];
            });
        }
    }

    const float* heights_;
    int64_t row_bytes_, column_bytes_, window_rows_, window_columns_;
    const float* peaks_;
    int64_t peak_row_bytes_, peak_column_bytes_, peak_rows_, peak_columns_;
    const RayCast cast_;
    const double leap_plan_, step_plan_;
};

}  // namespace

void block_peaks(const Array2<const float>& heights, std::int32_t block, const Array2<float>& peaks) {
    const int64_t rows = peaks.extent[0], columns = peaks.extent[1];
    const int64_t H = heights.extent[0], W = heights.extent[1];
    if (rows == 0 || columns == 0) return;
    const float lowest = -std::numeric_limits<float>::infinity();
    auto peak = [&](int64_t R, int64_t C) -> float& {
        return *at(peaks.data, R * peaks.stride[0] + C * peaks.stride[1]);
    };
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
    Batch batch;
    int64_t marched[kBatch];
    auto flush = [&] {
        scene.march(batch);
        for (int n = 0; n < batch.count; ++n) *at(t.data, marched[n] * t.stride[0]) = batch.t[n];
        batch.count = 0;
    };
    for (int64_t i = 0; i < dirs.extent[0]; ++i) {
        const double* d = at(dirs.data, i * dirs.stride[0]);
        const double dir[3] = {d[0], *at(d, dirs.stride[1]), *at(d, 2 * dirs.stride[1])};
        double direct;
        const int n = batch.count;
        if (!scene.admit(dir, batch, &direct)) {
            *at(t.data, i * t.stride[0]) = direct;
            continue;
        }
        marched[n] = i;
        if (batch.count == kBatch) flush();
    }
    flush();
}

void visibility(const Array2<const float>& heights, const Array2<const float>& peaks, const RayCast& cast,
                std::int64_t region_row, std::int64_t region_column, const Array2<std::uint8_t>& visible) {
    const Scene scene(heights, peaks, cast);
    const double* o = cast.origin;
    const double half_cell = 0.5 * cast.gsd;
    Batch batch;
    std::uint8_t* flag[kBatch];
    double reach[kBatch];  // distance - half a cell: a ray that gets there sees its cell
    auto flush = [&] {
        scene.march(batch);
        for (int n = 0; n < batch.count; ++n) *flag[n] = batch.t[n] >= reach[n];
        batch.count = 0;
    };
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
            double direct;
            const int n = batch.count;
            if (!scene.admit(dir, batch, &direct)) {
                *at(out, j * visible.stride[1]) = direct >= distance - half_cell;
                continue;
            }
            flag[n] = at(out, j * visible.stride[1]);
            reach[n] = distance - half_cell;
            if (batch.count == kBatch) flush();
        }
    }
    flush();
}

QUILTMAP_LEVEL_END
