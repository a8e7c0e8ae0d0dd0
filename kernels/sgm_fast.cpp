// Semi-global aggregation, compiled once per level (simd.hpp).
//
// Every element of the result is the sum ((((0 + L0) + L1) + L2) + ... + L7)
// of the eight directions' path costs in table order.  Directions 2, 4 and 5
// run down the grid, 3, 6 and 7 up it, 0 and 1 along the rows, so three sweeps
// keep that order instead of eight passes over whole volumes:
//
//   1. bottom up: L3 into agg;
//   2. top down:  per row L0 and L1, one column after the other with the
//                 labels in the lanes (on a transposed copy of the row's
//                 costs), then L2, L4 and L5, and agg = ((((L0 + L1) + L2) +
//                 L3) + L4) + L5 with L3 read from agg in its place in the
//                 order;
//   3. bottom up: L6 and L7, and agg = (agg + L6) + L7.
//
// That reads the cost volume three times and agg twice and writes agg three
// times, against some forty volumes for eight passes.  The rows of scratch
// live at the start of the path buffer, so that its other pages are never
// touched; a volume too short to hold them goes direction by direction
// through the whole path buffer instead.  Each lane performs the scalar steps
// of its cell in their order, so every element keeps its bits.
//
// Shared by a team (kernels/team.hpp), the members split the columns of
// sweep 1, which reads nothing across them.  In sweep 2 member 0 goes
// across the rows, all columns, while up to four others make L0 + L1 of
// the rows ahead of it through a ring of rows; sweep 3 is member 0's
// alone.  Split by columns, the sweeps with diagonals met every row (each
// member reads its neighbours' previous row) and took longer on two cores
// than on one.
//
// Measured on an Intel Xeon guest with AVX-512 (2 cores), on the stereo
// example's (64, 500, 741) volume, buffers reused: 79 ms on one thread and
// 51 ms on two, against 93 and 81 ms with the row blocks and per-row
// meetings that came before.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "kernels/level_entry_points.hpp"
#include "kernels/sgm.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int64_t;

constexpr int64_t kLanes = kFloatLanes;

// ---------------------------------------------------------------------------
// The recurrence, for one cell (V = float) or kLanes cells (V = Floats).

template <typename V>
struct Penalties {
    V P1, P2;
    V missing;  // +inf stands in for the neighbour label that d = 0 or D - 1 lacks:
                // +inf + P1 is +inf or NaN, never strictly smaller than v
};

// L = (min(mid, lo + P1, hi + P1, best + P2) + cost) - best, where mid, lo
// and hi are the predecessor's path costs at labels d, d - 1 and d + 1 and
// best their minimum over all labels; each replacement is made only when
// strictly smaller, in that order.  Every sweep computes L here.  The sums
// with the penalties come in made (lo_p1 = lo + P1, hi_p1 = hi + P1,
// best_p2 = best + P2), so that a sweep that uses one predecessor label for
// two labels, or best for all of them, adds once.
template <typename V>
inline V recurrence(V lo_p1, V mid, V hi_p1, V best_p2, V best, V cost) {
    V v = keep_smaller(lo_p1, mid);
    v = keep_smaller(hi_p1, v);
    v = keep_smaller(best_p2, v);
    return (v + cost) - best;
}

// A cell's (or a group's) labels one after the other, the predecessor's
// labels coming from prev(d).
template <typename V>
struct Recurrence {
    V best, lo, mid;

    template <typename Prev>
    void begin(int64_t D, const Prev& prev, const Penalties<V>& p) {
        best = prev(0);
        for (int64_t d = 1; d < D; ++d) best = keep_smaller(V(prev(d)), best);
        lo = p.missing;
        mid = prev(0);
    }

    template <typename Prev>
    V next(int64_t d, int64_t D, const Prev& prev, V cost, const Penalties<V>& p) {
        const V hi = d + 1 < D ? V(prev(d + 1)) : p.missing;
        const V L = recurrence(lo + p.P1, mid, hi + p.P1, best + p.P2, best, cost);
        lo = mid;
        mid = hi;
        return L;
    }
};

// ---------------------------------------------------------------------------
// Volumes and scratch.

// Row y of label d of a (D, H, W) volume; columns are consecutive floats.
template <typename T>
struct Rows {
    T* data;
    int64_t plane, row;  // bytes
    T* operator()(int64_t d, int64_t y) const { return at(data, d * plane + y * row); }
};

// The columns a member works on: whole groups of kLanes, the last member's
// ending with the grid.
struct Columns {
    int64_t begin, end;
};

Columns columns_of(const Team& team, int64_t W) {
    const int64_t groups = (W + kLanes - 1) / kLanes;
    const int64_t first = groups * team.member / team.members, end = groups * (team.member + 1) / team.members;
    return {first * kLanes, std::min(end * kLanes, W)};
}

// The costs the sweeps read: a float32 volume as it stands, or counts that
// stand for float(count) * scale, and for outside where a count is
// kOutsideCount (a quarter of the float volume's memory traffic).  group()
// gives the costs of n columns from x of a label's row.
struct FloatCosts {
    static constexpr int64_t kBytes = sizeof(float);
    Rows<const float> rows;
    const float* row(int64_t d, int64_t y) const { return rows(d, y); }
    Floats group(const float* row, int64_t x, int64_t n) const { return load_n(row + x, n); }
    float one(int64_t d, int64_t y, int64_t x) const { return load_one(rows(d, y) + x); }
};

struct CountCosts {
    static constexpr int64_t kBytes = 1;
    Rows<const std::uint8_t> rows;
    float scale, outside;
    const std::uint8_t* row(int64_t d, int64_t y) const { return rows(d, y); }
    Floats group(const std::uint8_t* row, int64_t x, int64_t n) const {
        const Floats count = widen_bytes(row + x, n);
        return select(equal(count, splat(float(kOutsideCount))), splat(outside), count * splat(scale));
    }
    float one(int64_t d, int64_t y, int64_t x) const {
        const std::uint8_t count = rows(d, y)[x];
        return count == kOutsideCount ? outside : float(count) * scale;
    }
};

template <typename Costs>
struct Job {
    int64_t D, H, W;
    const Team& team;
    Columns mine;
    Costs cost;
    Rows<float> agg, path;
    Penalties<Floats> p;
    Penalties<float> p1;  // the same penalties, for one cell
};

// One row of one direction's path costs: D lines of `line` floats with
// column x at kLanes + x, so that a group may read one column beyond either
// edge of the grid, between two lines of +inf that stand for labels -1 and
// D (+inf + P1 is +inf or NaN, never strictly smaller than the running v).
struct Slab {
    float* data;
    int64_t line;
    float* operator()(int64_t d) const { return data + (d + 1) * line + kLanes; }
};

// Scratch carved out of the path buffer for the three sweeps.
struct Scratch {
    // Slabs: two per direction across the rows (this row and the previous
    // one), at most three directions at once.
    static constexpr int kSlabs = 6;
    // Lines: each direction's minimum over the labels, of this row and of
    // the previous one.
    static constexpr int kLines = 6;
    // Columns along the rows: the last two of L0 and of L1.
    static constexpr int kColumns = 4;
    // Rows of L0 + L1 made ahead of the sweep across the rows.
    static constexpr int kRing = 4;
    // The counts of the ring, a cache line each: kRing + 1.
    static constexpr int64_t kCountFloats = 16 * (kRing + 1);

    int64_t padded_width;  // W rounded up to whole groups
    int64_t line;          // floats per line: column x at kLanes + x, so that a group may
                           // read one column beyond either edge of the grid
    int64_t labels;        // D rounded up to whole groups: a column's floats along the rows
    int64_t column;        // floats per column along the rows: a group of +inf on either
                           // side, for labels -1 and D of its first and last groups
    int64_t per_member;    // floats of one member's scratch along the rows
    float* sums;           // L0 + L1 of kRing rows, row y in ring slot y % kRing: D lines of
                           // padded_width each
    std::int64_t* made;    // per slot, 1 + the row whose sums it holds (0: none yet)
    std::int64_t* used;    // 1 + the last row whose sums the sweep across has used
    float* slabs;          // kSlabs of D + 2 lines
    float* lines;          // kLines lines
    float* makers_own;     // each maker's: the row's costs and its first direction's path
                           // costs, column x at x * labels; then kColumns columns

    // Every vector of the scratch is read and written many times over, so
    // it starts on a cache line: NumPy's large arrays start 16 bytes past
    // one, where each of these vectors would straddle two lines (about a
    // fifth of the whole call at AVX-512).  The line's worth of floats before
    // it may go unused.
    static constexpr int64_t kLineBytes = 64;
    static constexpr int64_t kLineFloats = kLineBytes / int64_t(sizeof(float));
    static int64_t whole_groups(int64_t n) { return (n + kLanes - 1) / kLanes * kLanes; }
    // The members that make rows along: a team of one's member, else all
    // but member 0, as many as the ring has rows at most (the rest would
    // only wait for a slot).
    static int64_t makers(int64_t members) { return members == 1 ? 1 : std::min<int64_t>(members - 1, kRing); }
    static int64_t floats_needed(int64_t D, int64_t W, int64_t members) {
        const int64_t width = whole_groups(W), labels = whole_groups(D);
        return kLineFloats + kRing * D * width + kCountFloats + (kSlabs * (D + 2) + kLines) * (width + 2 * kLanes) +
               makers(members) * (2 * width * labels + kColumns * (labels + 2 * kLanes));
    }
    static float* first_whole_line(float* path) {
        const auto address = reinterpret_cast<std::uintptr_t>(path);
        return at(path, int64_t((kLineBytes - address % kLineBytes) % kLineBytes));
    }
    Scratch(int64_t D, int64_t W, float* path)
        : padded_width(whole_groups(W)),
          line(padded_width + 2 * kLanes),
          labels(whole_groups(D)),
          column(labels + 2 * kLanes),
          per_member(2 * padded_width * labels + kColumns * column),
          sums(first_whole_line(path)),
          made(reinterpret_cast<std::int64_t*>(sums + kRing * D * padded_width)),
          used(made + kRing * 8),
          slabs(sums + kRing * D * padded_width + kCountFloats),
          lines(slabs + kSlabs * (D + 2) * line),
          makers_own(lines + kLines * line) {}
    // The lines of +inf around the slabs' labels, and the ring's counts at
    // zero; once per call, by one member.
    void fill_guards(int64_t D) const {
        for (int64_t i = 0; i < kRing; ++i) *made_count(i) = 0;
        *used = 0;
        const float inf = std::numeric_limits<float>::infinity();
        for (int i = 0; i < kSlabs; ++i) {
            std::fill(slab(D, i)(-1) - kLanes, slab(D, i)(0) - kLanes, inf);
            std::fill(slab(D, i)(D) - kLanes, slab(D, i)(D + 1) - kLanes, inf);
        }
    }
    Slab slab(int64_t D, int i) const { return Slab{slabs + i * (D + 2) * line, line}; }
    float* minimum(int direction, int parity) const { return lines + (2 * direction + parity) * line + kLanes; }
    float* row_sums(int64_t D, int64_t y) const { return sums + y % kRing * D * padded_width; }
    std::int64_t* made_count(int64_t y) const { return made + y % kRing * 8; }  // a line apart
    float* row_costs(int64_t maker) const { return makers_own + maker * per_member; }
    float* first_paths(int64_t maker) const { return row_costs(maker) + padded_width * labels; }
    // Column i's label 0, a group of +inf before it and after its labels.
    float* path_column(int64_t maker, int i) const {
        return first_paths(maker) + padded_width * labels + i * column + kLanes;
    }
    // The guards of a member's columns (and the lanes past label D - 1,
    // which every column keeps at +inf too); once per call, by that member.
    void fill_column_guards(int64_t maker) const {
        const float inf = std::numeric_limits<float>::infinity();
        std::fill(path_column(maker, 0) - kLanes, path_column(maker, kColumns - 1) - kLanes + column, inf);
    }
};

// ---------------------------------------------------------------------------
// The directions across the rows.  A sweep computes a few of them together,
// row after row, each reading its previous row from one slab and writing
// this row to another, and with it the minimum over the labels that the
// next row needs.  A row goes label by label, kBlock labels at a time (a
// predecessor's label then serves as the neighbour of two of them at the
// cost of one load and one addition), each label's row of cost and agg in
// one run.  The hardware follows a run once it has seen it start, so each
// group also asks for the line kAhead label rows further on (the rows of a
// label lie a power of two apart, H W floats, which keeps whole rows of the
// next labels from waiting in the caches).
constexpr int kBlock = 4;
constexpr int64_t kAhead = 8;

// Directions across the rows that one sweep computes, by their index K in
// kDirections (sgm.hpp), all running down the rows (dy = +1) or all up them.
template <int... K>
struct Across {
    static constexpr int N = sizeof...(K);
    static constexpr int k[N] = {K...};
    static constexpr int dy = kDirections[k[0]][0];
    static constexpr int dx[N] = {kDirections[K][1]...};  // -1, 0 or +1
    static_assert(dy != 0 && ((kDirections[K][0] == dy) && ...), "one sweep, one order of rows");
};

// Labels d0 ... d0 + B - 1 of row y: emit(d, agg, x, n, L) receives label d
// of the group of n columns from x, agg pointing at its results and L[i]
// holding direction i's path costs.  In a row that starts the paths every
// path cost is the cost.  Every row the block reads lies a fixed stride
// from one base per array, so that the addresses need few registers.
template <typename Dirs, int B, typename Costs, typename Emit>
void label_block(const Job<Costs>& job, const Scratch& s, int64_t y, int64_t next_y, bool path_start,
                 int64_t d0, const Emit& emit) {
    constexpr int N = Dirs::N;
    const int64_t D = job.D, W = job.W;
    const int now = int(y & 1), before = now ^ 1;
    const int64_t last = (W - 1) / kLanes * kLanes;  // columns 0 and W - 1 start the diagonal paths
    const FloatMask first_column = lane_mask(0), last_column = lane_mask(int(W - 1 - last));
    const int64_t line = s.line;                     // floats from one slab label to the next
    const int64_t cost_plane = job.cost.rows.plane / Costs::kBytes;  // elements
    const int64_t agg_plane = job.agg.plane / int64_t(sizeof(float));

    const auto* cost = job.cost.row(d0, y);
    float* agg = job.agg(d0, y);
    // The rows kAhead labels further: in this row up to label D - 1 (labels
    // j < split of the block), then the next row's first ones.
    const int64_t split = D - d0 - kAhead;
    const bool next_ahead = next_y >= 0 && next_y < job.H;
    const decltype(cost) ahead_cost[2] = {split > 0 ? job.cost.row(d0 + kAhead, y) : cost,
                                          next_ahead ? job.cost.row(d0 + kAhead - D, next_y) : cost};
    const float* ahead_agg[2] = {split > 0 ? job.agg(d0 + kAhead, y) : agg,
                                 next_ahead ? job.agg(d0 + kAhead - D, next_y) : agg};
    // Direction i: the predecessors' labels d0 - 1 ... d0 + B and their
    // minimum, shifted to the columns they precede; this row's labels and
    // their minimum.
    const float* prev[N];
    float* out[N];
    const float* best[N];
    float* next_best[N];
    for (int i = 0; i < N; ++i) {
        prev[i] = s.slab(D, 2 * i + before)(d0 - 1) - Dirs::dx[i];
        out[i] = s.slab(D, 2 * i + now)(d0);
        best[i] = s.minimum(i, before) - Dirs::dx[i];
        next_best[i] = s.minimum(i, now);
    }

    const auto group = [&](int64_t x, int64_t n) {
        Floats c[B];
        for (int j = 0; j < B; ++j) {
            const int there = j < split ? 0 : 1;
            if (there == 0 || next_ahead) {
                prefetch(ahead_cost[there] + j * cost_plane + x);
                prefetch(ahead_agg[there] + j * agg_plane + x);
            }
            c[j] = job.cost.group(cost + j * cost_plane, x, n);
        }
        Floats L[B][N];
        for (int i = 0; i < N; ++i) {
            if (path_start) {
                for (int j = 0; j < B; ++j) L[j][i] = c[j];
            } else {
                const Floats b = load(best[i] + x), b_p2 = b + job.p.P2;
                Floats mid[B + 2], step[B + 2];  // the predecessors' labels, and + P1
                for (int j = 0; j < B + 2; ++j) {
                    mid[j] = load(prev[i] + j * line + x);
                    step[j] = mid[j] + job.p.P1;
                }
                for (int j = 0; j < B; ++j) {
                    L[j][i] = recurrence(step[j], mid[j + 1], step[j + 2], b_p2, b, c[j]);
                    if (Dirs::dx[i] > 0 && x == 0) L[j][i] = select(first_column, c[j], L[j][i]);
                    if (Dirs::dx[i] < 0 && x == last) L[j][i] = select(last_column, c[j], L[j][i]);
                }
            }
            Floats m = d0 == 0 ? L[0][i] : keep_smaller(L[0][i], load(next_best[i] + x));
            for (int j = 1; j < B; ++j) m = keep_smaller(L[j][i], m);
            store(next_best[i] + x, m);
            for (int j = 0; j < B; ++j) store(out[i] + j * line + x, L[j][i]);
        }
        for (int j = 0; j < B; ++j) emit(d0 + j, agg + j * agg_plane + x, x, n, L[j]);
    };
    int64_t x = job.mine.begin;
    for (; x + kLanes <= job.mine.end; x += kLanes) group(x, kLanes);
    if (x < job.mine.end) group(x, job.mine.end - x);
}

// Row y of the directions Dirs, whose slabs are 2 i and 2 i + 1.
template <typename Dirs, typename Costs, typename Emit>
void across_row(const Job<Costs>& job, const Scratch& s, int64_t y, int64_t next_y, bool path_start,
                const Emit& emit) {
    int64_t d0 = 0;
    for (; d0 + kBlock <= job.D; d0 += kBlock)
        label_block<Dirs, kBlock, Costs>(job, s, y, next_y, path_start, d0, emit);
    switch (job.D - d0) {
        case 3: label_block<Dirs, 3, Costs>(job, s, y, next_y, path_start, d0, emit); break;
        case 2: label_block<Dirs, 2, Costs>(job, s, y, next_y, path_start, d0, emit); break;
        case 1: label_block<Dirs, 1, Costs>(job, s, y, next_y, path_start, d0, emit); break;
        default: break;
    }
}

// ---------------------------------------------------------------------------
// Sweep 2, along the rows: L0 + L1 of one row, one column after the other
// with its labels in the lanes.  A row's costs and sums fit in the caches,
// and each column waits only for the one before it.

// One column of a direction along the row: its path costs from the
// column's costs and the predecessor column prev (nullptr where the path
// starts: the costs themselves), whose minimum is best, into out, with the
// lanes past label D - 1 at +inf, which the next column reads as the
// missing labels; and into the column's sum: L0 (kFirst) as 0 + L0 before
// or after L1, L1 alone or added to it (kSecond: the other direction has
// been here).  Returns the minimum of the new path costs as the literal
// order makes it: label 0's NaN wins, any later NaN loses (each lane's
// running minimum but label 0's starts from +inf).  Of equal zeros it may
// keep another than the first: the sign of a zero minimum reaches only the
// signs of zero path costs, which the sum, started from +0, drops.
template <bool kFirst, bool kSecond>
float column_along(int64_t D, const float* prev, float best, const float* cost, float* out, float* sum,
                   FloatMask last_real, const Penalties<Floats>& p) {
    const Floats b = splat(best), b_p2 = b + p.P2;
    Floats step_lo = p.missing + p.P1, mid = p.missing, step_mid = step_lo;
    if (prev != nullptr) {
        step_lo = load(prev - kLanes) + p.P1;
        mid = load(prev);
        step_mid = mid + p.P1;
    }
    Floats smallest = p.missing;
    for (int64_t d = 0; d < D; d += kLanes) {
        const Floats c = load(cost + d);
        Floats L = c;
        if (prev != nullptr) {
            const Floats hi = load(prev + d + kLanes), step_hi = hi + p.P1;
            L = recurrence(lanes_from(step_lo, step_mid, kLanes - 1), mid, lanes_from(step_mid, step_hi, 1), b_p2,
                           b, c);
            step_lo = step_mid;
            mid = hi;
            step_mid = step_hi;
        }
        if (d + kLanes >= D) L = select(last_real, L, p.missing);
        store(out + d, L);
        smallest = d == 0 ? select(lane_mask(0), L, keep_smaller(L, p.missing)) : keep_smaller(L, smallest);
        float* s = sum + d;
        if (kFirst) {
            const Floats first = splat(0.0f) + L;
            store(s, kSecond ? first + load(s) : first);
        } else {
            store(s, kSecond ? load(s) + L : L);
        }
    }
    return smallest_lane(smallest);
}

// L0 + L1 of row y into sums: D lines of s.padded_width floats, with one
// maker's scratch.
template <typename Costs>
void along_row(const Job<Costs>& job, const Scratch& s, int64_t y, int64_t maker, float* sums) {
    const int64_t D = job.D, W = job.W, labels = s.labels;
    float* const costs = s.row_costs(maker);
    float* const firsts = s.first_paths(maker);

    // costs[x * labels + d]: each label's row read in one run, a tile of
    // kLanes labels and kLanes columns turned at a time.
    for (int64_t d0 = 0; d0 < D; d0 += kLanes) {
        for (int64_t x0 = 0; x0 < W; x0 += kLanes) {
            const int64_t n = std::min(kLanes, W - x0);
            Floats r[kLanes];
            for (int64_t i = 0; i < kLanes; ++i)
                r[i] = d0 + i < D ? job.cost.group(job.cost.row(d0 + i, y), x0, n) : splat(0.0f);
            transpose(r);
            for (int64_t j = 0; j < kLanes; ++j) store(costs + (x0 + j) * labels + d0, r[j]);
        }
    }

    // L0 from the left and L1 from the right at once, two independent
    // chains, each column's path costs of the one kept until the other
    // arrives: (0 + L0) + L1 either way.
    float lane[kLanes];
    for (int64_t i = 0; i < kLanes; ++i) lane[i] = float(i);
    const FloatMask last_real = less(load(lane), splat(float(D - (labels - kLanes))));
    float* L0[2] = {s.path_column(maker, 0), s.path_column(maker, 1)};
    float* L1[2] = {s.path_column(maker, 2), s.path_column(maker, 3)};
    const auto column = [&](int64_t x) { return costs + x * labels; };
    const auto first = [&](int64_t x) { return firsts + x * labels; };
    float best0 = 0.0f, best1 = 0.0f;
    for (int64_t k = 0; k < W; ++k) {
        const int64_t a = k, b = W - 1 - k;  // the columns of L0 and L1
        const float* prev0 = k == 0 ? nullptr : L0[(k + 1) & 1];
        const float* prev1 = k == 0 ? nullptr : L1[(k + 1) & 1];
        // L1 has reached column a in an earlier step when 2 k >= W; L0 has
        // reached column b (maybe just now: a == b) when 2 k >= W - 1.
        if (2 * k >= W) {
            best0 = column_along<true, true>(D, prev0, best0, column(a), L0[k & 1], first(a), last_real, job.p);
        } else {
            best0 = column_along<true, false>(D, prev0, best0, column(a), L0[k & 1], first(a), last_real, job.p);
        }
        if (2 * k >= W - 1) {
            best1 = column_along<false, true>(D, prev1, best1, column(b), L1[k & 1], first(b), last_real, job.p);
        } else {
            best1 = column_along<false, false>(D, prev1, best1, column(b), L1[k & 1], first(b), last_real, job.p);
        }
    }

    // Turned back: label d's columns x0 ... x0 + kLanes - 1 as one vector.
    for (int64_t x0 = 0; x0 < W; x0 += kLanes) {
        for (int64_t d0 = 0; d0 < D; d0 += kLanes) {
            Floats r[kLanes];
            for (int64_t j = 0; j < kLanes; ++j) r[j] = load(first(x0 + j) + d0);
            transpose(r);
            for (int64_t i = 0; i < kLanes && d0 + i < D; ++i) store(sums + (d0 + i) * s.padded_width + x0, r[i]);
        }
    }
}

// ---------------------------------------------------------------------------
// The three sweeps.

// Their directions, by index in kDirections: along the rows in along_row
// (L0 from the left, L1 from the right), across them in the sweeps.
constexpr int kFromLeft = 0, kFromRight = 1;
using UpStraight = Across<3>;
using Down = Across<2, 4, 5>;
using UpDiagonal = Across<6, 7>;
static_assert(kDirections[kFromLeft][0] == 0 && kDirections[kFromLeft][1] == 1 && kDirections[kFromRight][0] == 0 &&
              kDirections[kFromRight][1] == -1, "along_row scans L0 from the left, L1 from the right");
static_assert(UpStraight::dy == -1 && UpDiagonal::dy == -1 && Down::dy == 1, "the sweeps' orders of rows");

// The order in which the sweeps below add the path costs: along_row's sum,
// then sweep 2's terms around sweep 1's (read from agg), then sweep 3's.
// It must be the table's, the order of the literal sum.
constexpr int kSummed[8] = {kFromLeft, kFromRight, Down::k[0], UpStraight::k[0],
                            Down::k[1], Down::k[2], UpDiagonal::k[0], UpDiagonal::k[1]};
constexpr bool in_table_order(const int (&order)[8]) {
    for (int i = 0; i < 8; ++i)
        if (order[i] != i) return false;
    return true;
}
static_assert(in_table_order(kSummed), "the sweeps add the directions in kDirections' order");

// 1: L3 (straight up) into agg.
template <typename Costs>
void sweep_up_straight(const Job<Costs>& job, const Scratch& s) {
    for (int64_t y = job.H - 1; y >= 0; --y) {
        across_row<UpStraight>(job, s, y, y - 1, y == job.H - 1,
                               [&](int64_t, float* a, int64_t, int64_t n, const Floats(&L)[1]) {
            store_n(a, L[0], n);
        });
    }
}

// 2: down the rows, L2, L4, L5, and the sum of the first six.  In a team,
// member 0 goes across the rows over all their columns, while the makers
// (Scratch::makers) make the rows' L0 + L1 ahead of it, in turn, through a
// ring of kRing rows: the two halves of the work are about even, and neither waits at a
// meeting every row (the sweep across would, split by columns, since the
// diagonals read the neighbours' previous row).
template <typename Costs>
void across_down(const Job<Costs>& job, const Scratch& s, int64_t y) {
    const float* sums = s.row_sums(job.D, y);  // + d * s.padded_width + x: this row's L0 + L1
    across_row<Down>(job, s, y, y + 1, y == 0, [&](int64_t d, float* a, int64_t x, int64_t n, const Floats(&L)[3]) {
        const Floats L01 = load(sums + d * s.padded_width + x);
        store_n(a, (((L01 + L[0]) + load_n(a, n)) + L[1]) + L[2], n);
    });
}

template <typename Costs>
void sweep_down(const Job<Costs>& job, const Scratch& s) {
    const Team& team = job.team;
    const int64_t D = job.D, H = job.H;
    if (team.members == 1) {
        for (int64_t y = 0; y < H; ++y) {
            along_row(job, s, y, 0, s.row_sums(D, y));
            across_down(job, s, y);
        }
        return;
    }
    if (team.member == 0) {
        Job<Costs> whole = job;
        whole.mine = Columns{0, job.W};
        for (int64_t y = 0; y < H; ++y) {
            wait_until_reaches(s.made_count(y), y + 1);
            across_down(whole, s, y);
            publish(s.used, y + 1);
        }
        return;
    }
    const int64_t makers = Scratch::makers(team.members), maker = team.member - 1;
    for (int64_t y = maker; maker < makers && y < H; y += makers) {
        wait_until_reaches(s.used, y + 1 - Scratch::kRing);  // the slot's last row is used
        along_row(job, s, y, maker, s.row_sums(D, y));
        publish(s.made_count(y), y + 1);
    }
}

// 3: L6 and L7 (up the diagonals), added last.  Member 0 alone, over all
// the columns: split by columns, the members would meet every row (each
// reads its neighbours' previous row), which cost more than the second
// core gained on a sweep that memory bounds.
template <typename Costs>
void sweep_up_diagonal(const Job<Costs>& job, const Scratch& s) {
    if (job.team.member != 0) return;
    Job<Costs> whole = job;
    whole.mine = Columns{0, job.W};
    for (int64_t y = job.H - 1; y >= 0; --y) {
        across_row<UpDiagonal>(whole, s, y, y - 1, y == job.H - 1,
                               [&](int64_t, float* a, int64_t, int64_t n, const Floats(&L)[2]) {
            store_n(a, (load_n(a, n) + L[0]) + L[1], n);
        });
    }
}

// ---------------------------------------------------------------------------
// Small volumes: direction by direction through the whole path buffer, in
// the caller's layout, as the literal recurrence does.  Each direction adds
// its path costs to agg (the first to 0) as soon as a row is done.

// Row y of a direction along the rows, one cell after the other.
template <typename Costs>
void row_by_cells(const Job<Costs>& job, bool first_direction, int64_t y, int64_t dx) {
    const int64_t D = job.D, W = job.W;
    for (int64_t xx = 0; xx < W; ++xx) {
        const int64_t x = dx < 0 ? W - 1 - xx : xx;
        const auto L = [&](int64_t d) { return job.path(d, y) + x; };
        if (xx == 0) {
            for (int64_t d = 0; d < D; ++d) store_one(L(d), job.cost.one(d, y, x));
        } else {
            const auto prev = [&](int64_t d) { return load_one(job.path(d, y) + x - dx); };
            Recurrence<float> r;
            r.begin(D, prev, job.p1);
            for (int64_t d = 0; d < D; ++d)
                store_one(L(d), r.next(d, D, prev, job.cost.one(d, y, x), job.p1));
        }
        for (int64_t d = 0; d < D; ++d) {
            float* a = job.agg(d, y) + x;
            store_one(a, (first_direction ? 0.0f : load_one(a)) + load_one(L(d)));
        }
    }
}

// Row y of a direction across the rows, from row y - dy; in the row the
// scan starts with (first) every cell starts a path, elsewhere the column
// whose predecessor lies outside the grid does.
template <typename Costs>
void row_from_previous(const Job<Costs>& job, int64_t y, int64_t dy, int64_t dx, bool first) {
    const int64_t D = job.D, W = job.W;
    const int64_t start = dx > 0 ? 0 : W - 1;
    for (int64_t x = 0; x < W; x += kLanes) {
        const int64_t n = std::min(kLanes, W - x);
        const bool inside = x - dx >= 0 && x - dx + n <= W;
        const auto prev = [&](int64_t d) {
            const float* row = job.path(d, y - dy);
            if (inside) return load_n(row + x - dx, n);
            // The lane that starts a path reads its own column instead.
            float lanes[kLanes];
            for (int64_t i = 0; i < n; ++i) lanes[i] = load_one(row + std::clamp<int64_t>(x + i - dx, 0, W - 1));
            return load_first(lanes, int(n));
        };
        Recurrence<Floats> r{};
        if (!first) r.begin(D, prev, job.p);
        for (int64_t d = 0; d < D; ++d) {
            const Floats c = job.cost.group(job.cost.row(d, y), x, n);
            Floats L = c;
            if (!first) {
                L = r.next(d, D, prev, c, job.p);
                if (!inside) L = select(lane_mask(int(start - x)), c, L);
            }
            store_n(job.path(d, y) + x, L, n);
            float* a = job.agg(d, y) + x;
            store_n(a, load_n(a, n) + L, n);
        }
    }
}

template <typename Costs>
void by_direction(const Job<Costs>& job) {
    const int64_t H = job.H;
    for (int k = 0; k < 8; ++k) {
        const int64_t dy = kDirections[k][0], dx = kDirections[k][1];
        for (int64_t yy = 0; yy < H; ++yy) {
            const int64_t y = dy < 0 ? H - 1 - yy : yy;
            if (dy == 0) {
                row_by_cells(job, k == 0, y, dx);
            } else {
                row_from_previous(job, y, dy, dx, yy == 0);
            }
        }
    }
}

template <typename Costs>
void aggregate(const Costs& costs, int64_t D, int64_t H, int64_t W, float P1, float P2, const Array3<float>& agg,
               const Array3<float>& path, const Team& team) {
    if (D == 0 || H == 0 || W == 0) return;  // nothing to aggregate, and no label 0 to read
    const float inf = std::numeric_limits<float>::infinity();
    const Job<Costs> job{D, H, W, team, columns_of(team, W), costs,
                         Rows<float>{agg.data, agg.stride[0], agg.stride[1]},
                         Rows<float>{path.data, path.stride[0], path.stride[1]},
                         Penalties<Floats>{splat(P1), splat(P2), splat(inf)},
                         Penalties<float>{P1, P2, inf}};
    if (Scratch::floats_needed(D, W, team.members) > D * H * W) {
        if (team.member == 0) by_direction(job);  // a small volume: not worth sharing
        return;
    }
    const Scratch scratch(D, W, path.data);
    if (team.member == 0) scratch.fill_guards(D);
    const int64_t maker = team.members == 1 ? 0 : team.member - 1;
    if (maker >= 0 && maker < Scratch::makers(team.members)) scratch.fill_column_guards(maker);
    team.meet();
    sweep_up_straight(job, scratch);
    team.meet();  // the next sweep's slabs and lines are this one's
    sweep_down(job, scratch);
    team.meet();
    sweep_up_diagonal(job, scratch);
}

}  // namespace

void sgm_aggregate_shared(const Array3<const float>& cost, float P1, float P2, const Array3<float>& agg,
                          const Array3<float>& path, const Team& team) {
    assert(last_axis_is_dense(cost) && last_axis_is_dense(agg) && last_axis_is_dense(path));
    aggregate(FloatCosts{Rows<const float>{cost.data, cost.stride[0], cost.stride[1]}}, cost.extent[0],
              cost.extent[1], cost.extent[2], P1, P2, agg, path, team);
}

void sgm_counts_shared(const Array3<const std::uint8_t>& counts, float scale, float outside, float P1, float P2,
                       const Array3<float>& agg, const Array3<float>& path, const Team& team) {
    assert(last_axis_is_dense(counts) && last_axis_is_dense(agg) && last_axis_is_dense(path));
    aggregate(CountCosts{Rows<const std::uint8_t>{counts.data, counts.stride[0], counts.stride[1]}, scale, outside},
              counts.extent[0], counts.extent[1], counts.extent[2], P1, P2, agg, path, team);
}

void sgm_aggregate(const Array3<const float>& cost, float P1, float P2, const Array3<float>& agg,
                   const Array3<float>& path) {
    sgm_aggregate_shared(cost, P1, P2, agg, path, Team{});
}

QUILTMAP_LEVEL_END
