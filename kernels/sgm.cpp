#include "kernels/sgm.hpp"

#include <emmintrin.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cstdint>

namespace quiltmap::kernels {

namespace {

using std::int64_t;

// Scan directions (dy, dx), in the order their path costs are summed.
constexpr int kDirections[8][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0},
                                   {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};

// ---------------------------------------------------------------------------
// The arithmetic of one label, scalar or four lanes at once.
//
// Every replacement is "candidate < running ? candidate : running": MINPS and
// MINSS return their second operand when either is NaN or both are zeros,
// which is exactly that rule.  Keep the candidate first.

inline float keep_smaller(float candidate, float running) {
    return _mm_cvtss_f32(_mm_min_ss(_mm_set_ss(candidate), _mm_set_ss(running)));
}
inline __m128 keep_smaller(__m128 candidate, __m128 running) {
    return _mm_min_ps(candidate, running);
}
inline float add(float a, float b) { return a + b; }
inline __m128 add(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
inline float sub(float a, float b) { return a - b; }
inline __m128 sub(__m128 a, __m128 b) { return _mm_sub_ps(a, b); }

// L = (min(mid, lo + P1, hi + P1, best + P2) + cost) - best, with the
// replacements in that order; label 0 has no lo, label D-1 no hi.
template <bool kLo, bool kHi, typename V>
inline V path_cost(V lo, V mid, V hi, V best, V cost, V P1, V P2) {
    V v = mid;
    if (kLo) v = keep_smaller(add(lo, P1), v);
    if (kHi) v = keep_smaller(add(hi, P1), v);
    v = keep_smaller(add(best, P2), v);
    return sub(add(v, cost), best);
}

// Labels of one cell, `step` bytes apart.
template <typename T>
struct Labels {
    T* p;
    int64_t step;
    T& operator[](int64_t d) const { return *at(p, d * step); }
};

// One cell whose predecessor lies inside the grid.
template <typename V, typename Prev, typename Cost, typename Out>
inline void cell(const Prev& prev, const Cost& cost, const Out& L, int64_t D, V P1, V P2) {
    V best = prev[0];
    for (int64_t d = 1; d < D; ++d) best = keep_smaller(V(prev[d]), best);
    if (D == 1) {
        L[0] = path_cost<false, false>(best, V(prev[0]), best, best, V(cost[0]), P1, P2);
        return;
    }
    L[0] = path_cost<false, true>(best, V(prev[0]), V(prev[1]), best, V(cost[0]), P1, P2);
    for (int64_t d = 1; d < D - 1; ++d)
        L[d] = path_cost<true, true>(V(prev[d - 1]), V(prev[d]), V(prev[d + 1]), best,
                                     V(cost[d]), P1, P2);
    L[D - 1] = path_cost<true, false>(V(prev[D - 2]), V(prev[D - 1]), best, best,
                                      V(cost[D - 1]), P1, P2);
}

// A path start, L = cost, and the sum of either kind of cell into agg.
inline void start_and_sum(const Labels<const float>& cost, const Labels<float>& L,
                          const Labels<float>& agg, int64_t D, bool start) {
    for (int64_t d = 0; d < D; ++d) {
        if (start) L[d] = cost[d];
        agg[d] = agg[d] + L[d];
    }
}

// ---------------------------------------------------------------------------
// Production pass.

struct Volumes {
    int64_t D, H, W;
    const float* cost;
    int64_t cost_plane, cost_row;  // bytes
    float* agg;
    int64_t agg_plane, agg_row;  // bytes
    float* scratch;              // the path buffer: D * H * W floats, laid out as each pass needs
    float P1, P2;

    const float* cost_at(int64_t d, int64_t y) const {
        return at(cost, d * cost_plane + y * cost_row);
    }
    float* agg_at(int64_t d, int64_t y) const { return at(agg, d * agg_plane + y * agg_row); }
};

// Directions with dy != 0: row y depends only on row y - dy, so a row is
// computed four columns at a time.  Each direction keeps two row slabs of
// D x W floats (previous and current) in the path buffer; they stay in cache
// where the planes of the caller's layout, H * W floats apart, would not.
constexpr int64_t kChunk = 256;  // columns per pass over the labels

// A path start at every cell of row y: L = cost.
void start_row(const Volumes& v, int64_t y, float* cur) {
    const int64_t D = v.D, W = v.W;
    for (int64_t d = 0; d < D; ++d) {
        const float* c = v.cost_at(d, y);
        float* a = v.agg_at(d, y);
        float* l = cur + d * W;
        int64_t x = 0;
        for (; x + 4 <= W; x += 4) {
            const __m128 L = _mm_loadu_ps(c + x);
            _mm_storeu_ps(l + x, L);
            _mm_storeu_ps(a + x, _mm_add_ps(_mm_loadu_ps(a + x), L));
        }
        for (; x < W; ++x) {
            l[x] = c[x];
            a[x] = a[x] + l[x];
        }
    }
}

// One label over n consecutive columns.
template <bool kLo, bool kHi>
inline void label_run(const float* pl, const float* pm, const float* ph, const float* best,
                      const float* c, float* l, float* a, int64_t n, float P1, float P2) {
    const __m128 P1v = _mm_set1_ps(P1), P2v = _mm_set1_ps(P2);
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 L =
            path_cost<kLo, kHi>(_mm_loadu_ps(pl + i), _mm_loadu_ps(pm + i), _mm_loadu_ps(ph + i),
                                _mm_loadu_ps(best + i), _mm_loadu_ps(c + i), P1v, P2v);
        _mm_storeu_ps(l + i, L);
        _mm_storeu_ps(a + i, _mm_add_ps(_mm_loadu_ps(a + i), L));
    }
    for (; i < n; ++i) {
        l[i] = path_cost<kLo, kHi>(pl[i], pm[i], ph[i], best[i], c[i], P1, P2);
        a[i] = a[i] + l[i];
    }
}

// Columns [x0, x0 + n) of row y, whose predecessors lie at x - dx in `prev`,
// the slab of the row scanned before.
void chunk_of_row(const Volumes& v, int64_t y, int dx, int64_t x0, int64_t n, float* cur,
                  const float* prev) {
    const int64_t D = v.D, W = v.W;
    const float* p = prev + (x0 - dx);

    float best[kChunk];
    std::copy(p, p + n, best);
    for (int64_t d = 1; d < D; ++d) {
        const float* pd = p + d * W;
        int64_t i = 0;
        for (; i + 4 <= n; i += 4)
            _mm_storeu_ps(best + i, keep_smaller(_mm_loadu_ps(pd + i), _mm_loadu_ps(best + i)));
        for (; i < n; ++i) best[i] = keep_smaller(pd[i], best[i]);
    }

    for (int64_t d = 0; d < D; ++d) {
        const float* pm = p + d * W;
        const float* c = v.cost_at(d, y) + x0;
        float* a = v.agg_at(d, y) + x0;
        float* l = cur + d * W + x0;
        if (D == 1)
            label_run<false, false>(pm, pm, pm, best, c, l, a, n, v.P1, v.P2);
        else if (d == 0)
            label_run<false, true>(pm, pm, pm + W, best, c, l, a, n, v.P1, v.P2);
        else if (d == D - 1)
            label_run<true, false>(pm - W, pm, pm, best, c, l, a, n, v.P1, v.P2);
        else
            label_run<true, true>(pm - W, pm, pm + W, best, c, l, a, n, v.P1, v.P2);
    }
}

void scan_row(const Volumes& v, int64_t y, bool first, int dx, float* cur, const float* prev) {
    if (first) {
        start_row(v, y, cur);
        return;
    }
    const int64_t D = v.D, W = v.W;
    // The column whose predecessor falls outside the grid starts a path.
    if (dx != 0) {
        const int64_t x = dx > 0 ? 0 : W - 1;
        start_and_sum(Labels<const float>{v.cost_at(0, y) + x, v.cost_plane},
                      Labels<float>{cur + x, W * int64_t(sizeof(float))},
                      Labels<float>{v.agg_at(0, y) + x, v.agg_plane}, D, true);
    }
    const int64_t lo = dx > 0 ? 1 : 0;
    const int64_t hi = dx < 0 ? W - 1 : W;
    for (int64_t x0 = lo; x0 < hi; x0 += kChunk)
        chunk_of_row(v, y, dx, x0, std::min(kChunk, hi - x0), cur, prev);
}

// Sweeps the rows for `count` directions that share dy (4 and 5, or 6 and
// 7), each row for one direction after the other: every element still gets
// their sums in table order, and the rows of cost and agg come from memory
// once for both.  Each direction keeps two slabs: H >= 2 * count (or H == 1).
void row_sweep(const Volumes& v, const int (*dirs)[2], int count) {
    const int64_t H = v.H, slab = v.D * v.W;
    const int dy = dirs[0][0];
    for (int64_t yy = 0; yy < H; ++yy) {
        const int64_t y = dy < 0 ? H - 1 - yy : yy;
        for (int j = 0; j < count; ++j) {
            float* pair = v.scratch + 2 * j * slab;
            scan_row(v, y, yy == 0, dirs[j][1], pair + (yy & 1) * slab,
                     pair + ((yy + 1) & 1) * slab);
        }
    }
}

// Directions with dy == 0 are sequential along x.  Four rows are scanned at
// once, one per lane: their cost is transposed into the path buffer as
// [x][d][4 rows], overwritten in place by the path costs, and added into agg
// on the way back.  Labels of a cell are contiguous, and every lane runs the
// recurrence of its own row.  Needs H >= 4 (4 * D * W floats).
constexpr int64_t kLanes = 4;

inline void transpose_in(const Volumes& v, const int64_t (&rows)[kLanes], float* t) {
    const int64_t D = v.D, W = v.W;
    for (int64_t d = 0; d < D; ++d) {
        const float* src[kLanes];
        for (int i = 0; i < kLanes; ++i) src[i] = v.cost_at(d, rows[i]);
        int64_t x = 0;
        for (; x + 4 <= W; x += 4) {
            __m128 r0 = _mm_loadu_ps(src[0] + x), r1 = _mm_loadu_ps(src[1] + x);
            __m128 r2 = _mm_loadu_ps(src[2] + x), r3 = _mm_loadu_ps(src[3] + x);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            _mm_storeu_ps(t + ((x + 0) * D + d) * kLanes, r0);
            _mm_storeu_ps(t + ((x + 1) * D + d) * kLanes, r1);
            _mm_storeu_ps(t + ((x + 2) * D + d) * kLanes, r2);
            _mm_storeu_ps(t + ((x + 3) * D + d) * kLanes, r3);
        }
        for (; x < W; ++x)
            for (int i = 0; i < kLanes; ++i) t[(x * D + d) * kLanes + i] = src[i][x];
    }
}

// agg[d, rows[i], x] += t[x][d][i] for the first `used` lanes.
inline void transpose_add(const Volumes& v, const int64_t (&rows)[kLanes], int64_t used,
                          const float* t) {
    const int64_t D = v.D, W = v.W;
    for (int64_t d = 0; d < D; ++d) {
        float* dst[kLanes];
        for (int i = 0; i < kLanes; ++i) dst[i] = v.agg_at(d, rows[i]);
        int64_t x = 0;
        for (; x + 4 <= W; x += 4) {
            __m128 r0 = _mm_loadu_ps(t + ((x + 0) * D + d) * kLanes);
            __m128 r1 = _mm_loadu_ps(t + ((x + 1) * D + d) * kLanes);
            __m128 r2 = _mm_loadu_ps(t + ((x + 2) * D + d) * kLanes);
            __m128 r3 = _mm_loadu_ps(t + ((x + 3) * D + d) * kLanes);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            const __m128 r[kLanes] = {r0, r1, r2, r3};
            for (int64_t i = 0; i < used; ++i)
                _mm_storeu_ps(dst[i] + x, _mm_add_ps(_mm_loadu_ps(dst[i] + x), r[i]));
        }
        for (; x < W; ++x)
            for (int64_t i = 0; i < used; ++i)
                dst[i][x] = dst[i][x] + t[(x * D + d) * kLanes + i];
    }
}

// Labels of one transposed cell: four lanes per label.
struct LaneLabels {
    float* p;
    struct Ref {
        float* q;
        void operator=(__m128 x) const { _mm_storeu_ps(q, x); }
        operator __m128() const { return _mm_loadu_ps(q); }
    };
    Ref operator[](int64_t d) const { return Ref{p + d * kLanes}; }
};

// Directions with dy == 0, four rows at a time; a block of fewer rows
// fills its spare lanes with a copy of its last row and drops them.
void column_sweep(const Volumes& v, const int (*dirs)[2], int count) {
    const int64_t D = v.D, H = v.H, W = v.W;
    float* t = v.scratch;
    const __m128 P1 = _mm_set1_ps(v.P1), P2 = _mm_set1_ps(v.P2);
    for (int64_t y0 = 0; y0 < H; y0 += kLanes) {
        const int64_t used = std::min(kLanes, H - y0);
        int64_t rows[kLanes];
        for (int64_t i = 0; i < kLanes; ++i) rows[i] = y0 + std::min(i, used - 1);
        for (int j = 0; j < count; ++j) {
            const int dx = dirs[j][1];
            transpose_in(v, rows, t);
            // Overwrite each cell's cost with its path cost, in scan order.
            for (int64_t xx = 1; xx < W; ++xx) {
                const int64_t x = dx > 0 ? xx : W - 1 - xx;
                float* cur = t + x * D * kLanes;
                const LaneLabels here{cur};
                cell(LaneLabels{cur - dx * D * kLanes}, here, here, D, P1, P2);
            }
            transpose_add(v, rows, used, t);
        }
    }
}

// Fewer than four rows: the same recurrence, one cell at a time, with the
// path buffer in the caller's layout.
void column_scan_scalar(const Volumes& v, float* path, int64_t path_plane, int64_t path_row,
                        int dx) {
    const int64_t D = v.D, H = v.H, W = v.W;
    for (int64_t y = 0; y < H; ++y) {
        float* Lrow = at(path, y * path_row);
        for (int64_t xx = 0; xx < W; ++xx) {
            const int64_t x = dx > 0 ? xx : W - 1 - xx;
            const Labels<const float> cost{v.cost_at(0, y) + x, v.cost_plane};
            const Labels<float> L{Lrow + x, path_plane};
            const Labels<float> agg{v.agg_at(0, y) + x, v.agg_plane};
            if (xx > 0)
                cell(Labels<const float>{Lrow + x - dx, path_plane}, cost, L, D, v.P1, v.P2);
            start_and_sum(cost, L, agg, D, xx == 0);
        }
    }
}

}  // namespace

void sgm_aggregate(const Array3<const float>& cost, float P1, float P2, const Array3<float>& agg,
                   const Array3<float>& path) {
    const int64_t D = cost.extent[0], H = cost.extent[1], W = cost.extent[2];
    if (D == 0 || H == 0 || W == 0) return;  // nothing to aggregate, and no label 0 to read
    const Volumes v{D, H, W,
                    cost.data, cost.stride[0], cost.stride[1],
                    agg.data, agg.stride[0], agg.stride[1],
                    path.data, P1, P2};

    // Directions 0 and 1 (dy == 0) first, then the others in table order, so
    // that every element of agg receives its eight sums in table order.
    if (H >= kLanes) {
        column_sweep(v, &kDirections[0], 2);
    } else {
        for (int k = 0; k < 2; ++k)
            column_scan_scalar(v, path.data, path.stride[0], path.stride[1], kDirections[k][1]);
    }
    for (int k = 2; k < 8;) {
        const bool pair = H >= 4 && k + 1 < 8 && kDirections[k + 1][0] == kDirections[k][0];
        row_sweep(v, &kDirections[k], pair ? 2 : 1);
        k += pair ? 2 : 1;
    }
}

void sgm_aggregate_reference(const Array3<const float>& cost, float P1, float P2,
                             const Array3<float>& agg, const Array3<float>& path) {
    const int64_t D = cost.extent[0], H = cost.extent[1], W = cost.extent[2];
    if (D == 0 || H == 0 || W == 0) return;  // nothing to aggregate, and no label 0 to read
    auto C = [&](int64_t d, int64_t y, int64_t x) -> float {
        return *at(cost.data, d * cost.stride[0] + y * cost.stride[1] + x * 4);
    };
    auto L = [&](int64_t d, int64_t y, int64_t x) -> float& {
        return *at(path.data, d * path.stride[0] + y * path.stride[1] + x * 4);
    };
    auto A = [&](int64_t d, int64_t y, int64_t x) -> float& {
        return *at(agg.data, d * agg.stride[0] + y * agg.stride[1] + x * 4);
    };

    for (int k = 0; k < 8; ++k) {
        const int64_t dy = kDirections[k][0], dx = kDirections[k][1];
        for (int64_t yy = 0; yy < H; ++yy) {
            const int64_t y = dy < 0 ? H - 1 - yy : yy;
            for (int64_t xx = 0; xx < W; ++xx) {
                const int64_t x = dx < 0 ? W - 1 - xx : xx;
                const int64_t py = y - dy, px = x - dx;
                if (py < 0 || py >= H || px < 0 || px >= W) {
                    for (int64_t d = 0; d < D; ++d) L(d, y, x) = C(d, y, x);
                } else {
                    float best_prev = L(0, py, px);
                    for (int64_t d = 1; d < D; ++d)
                        if (L(d, py, px) < best_prev) best_prev = L(d, py, px);
                    for (int64_t d = 0; d < D; ++d) {
                        float v = L(d, py, px);
                        if (d > 0 && L(d - 1, py, px) + P1 < v) v = L(d - 1, py, px) + P1;
                        if (d < D - 1 && L(d + 1, py, px) + P1 < v) v = L(d + 1, py, px) + P1;
                        if (best_prev + P2 < v) v = best_prev + P2;
                        L(d, y, x) = (v + C(d, y, x)) - best_prev;
                    }
                }
                for (int64_t d = 0; d < D; ++d) A(d, y, x) = A(d, y, x) + L(d, y, x);
            }
        }
    }
}

}  // namespace quiltmap::kernels
