// Every production kernel on fixed inputs, one line per kernel of the
// registry: its name and a hash of its results' bytes (Digest says how NaNs
// count).  The inputs take each kernel's awkward paths (NaNs, infinities,
// signed zeros and ties, grids smaller than a window, boxes and rays beyond
// the edges, rows wider than a kernel's chunk) through padded arrays, whose
// padding is hashed with the results so that a stray write shows.  Built for
// x86-64 and for another architecture (tools/test-aarch64), the lines must
// agree but for the kernels whose results go through the C library's pow or
// hypot, which are not correctly rounded and differ between architectures'
// libraries.
//
// Every level up to the chosen one (levels.hpp) runs each case, and the
// program fails unless they agree.  The cases are listed by QUILTMAP_KERNELS
// itself: a kernel without its golden_<name> below does not compile, and a
// case that never runs its kernel makes the program fail.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/levels.hpp"

namespace {

using namespace quiltmap::kernels;
using std::int32_t;
using std::int64_t;
using std::uint64_t;
using std::uint8_t;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Inputs from raw integers and exact or correctly rounded arithmetic, so
// that nothing depends on a library's distributions or its sin and cos.
struct Stream {
    uint64_t state;
    uint64_t next() {  // SplitMix64
        uint64_t z = (state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    float unit() { return float(next() >> 40) / float(1 << 24); }  // [0, 1), exactly representable
    double unit_double() { return double(next() >> 11) / 9007199254740992.0; }
    float uniform(float lo, float hi) { return lo + (hi - lo) * unit(); }
    double uniform_double(double lo, double hi) { return lo + (hi - lo) * unit_double(); }
    int64_t index(int64_t n) { return int64_t(next() % uint64_t(n)); }
    bool chance(double p) { return unit_double() < p; }
    float special() {
        static const float kSpecial[] = {kNaN, kInf, -kInf, 0.0f, -0.0f, 1e-41f, -3e38f, 3e38f};
        return kSpecial[index(8)];
    }
    float mixed(float lo, float hi, double p_special) { return chance(p_special) ? special() : uniform(lo, hi); }
    float tie() {  // small integers and signed zeros: many exact ties
        static const float kTie[] = {-0.0f, 0.0f, -0.0f, 0.0f, 1.0f, 2.0f, 3.0f};
        return kTie[index(7)];
    }
    uint8_t flag(double p_zero) { return chance(p_zero) ? 0 : uint8_t(1 + index(255)); }  // any nonzero byte
};

// An array over owned storage whose axes are `pad` elements longer than its
// extents and whose last axis is stepped `step` elements at a time (only
// where the kernel allows it), so that no stride is the dense one.
template <typename T, int N>
struct Padded {
    std::vector<T> storage;
    Array<T, N> view;

    Padded(const int64_t (&extents)[N], const int64_t (&pad)[N], T fill, int64_t step = 1) {
        int64_t box[N], total = 1;
        for (int i = 0; i < N; ++i) total *= (box[i] = extents[i] * (i == N - 1 ? step : 1) + pad[i]);
        storage.assign(std::size_t(total), fill);
        view = contiguous(storage.data(), box);
        for (int i = 0; i < N; ++i) view.extent[i] = extents[i];
        view.stride[N - 1] *= step;
    }
    Padded(const Padded& other) : storage(other.storage), view(other.view) { view.data = storage.data(); }
    Padded& operator=(const Padded&) = delete;

    T& operator()(const int64_t (&idx)[N]) const {
        int64_t bytes = 0;
        for (int i = 0; i < N; ++i) bytes += idx[i] * view.stride[i];
        return *at(view.data, bytes);
    }

    // Every element inside the extents gets next(), in row-major order.
    template <typename Next>
    Padded& fill(Next next) {
        int64_t count = 1;
        for (int i = 0; i < N; ++i) count *= view.extent[i];
        for (int64_t flat = 0; flat < count; ++flat) {
            int64_t idx[N];
            for (int64_t i = N - 1, rest = flat; i >= 0; --i) {
                idx[i] = rest % view.extent[i];
                rest /= view.extent[i];
            }
            (*this)(idx) = next();
        }
        return *this;
    }

    Array<const T, N> in() const { return read_only(view); }
};

// FNV-1a over the results' bytes, every NaN taken as the one quiet NaN:
// which NaN an operation makes is no kernel's promise (x86 makes the
// negative quiet NaN, Arm the positive one, and the x86 levels order a
// commutative operation's operands as they please).  Signed zeros and all
// else count to the bit.
class Digest {
public:
    template <typename T>
    void add(const std::vector<T>& values) {
        for (T value : values) {
            if constexpr (std::is_floating_point_v<T>)
                if (std::isnan(value)) value = std::numeric_limits<T>::quiet_NaN();
            add_bytes(&value, sizeof value);
        }
    }
    template <typename T, int N>
    void add(const Padded<T, N>& array) {
        add(array.storage);
    }
    // NaNs too to the bit, for a kernel that promises one.
    void add_exactly(const std::vector<float>& values) { add_bytes(values.data(), values.size() * sizeof(float)); }
    uint64_t value() const { return h_; }

private:
    void add_bytes(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) h_ = (h_ ^ bytes[i]) * 0x100000001b3u;
    }
    uint64_t h_ = 0xcbf29ce484222325u;
};

// ---------------------------------------------------------------------------
// The cases, golden_<name>(kernels, digest) for each kernel of the registry.

template <typename Aggregate>
void golden_sgm_cases(Digest& digest, const Aggregate& aggregate) {
    Stream stream{101};
    // Taller than a few dozen rows (the production kernel's short path
    // buffer: 120 rows at every level), one label, one cell, a row of one cell.
    const int64_t shapes[][3] = {{9, 50, 37}, {6, 120, 40}, {5, 3, 70}, {1, 4, 6}, {3, 1, 1}, {4, 7, 1}};
    const float penalties[][2] = {{0.05f, 0.4f}, {1, 4}, {kInf, kInf}, {1, -kInf}, {kNaN, 2}, {0.5f, kNaN}};
    for (const auto& [D, H, W] : shapes) {
        for (int mode = 0; mode < 3; ++mode) {
            Padded<float, 3> cost({D, H, W}, {1, 2, 3}, kNaN);
            cost.fill([&] {
                if (mode == 0) return stream.unit();
                return mode == 1 ? stream.tie() : stream.mixed(0, 9, 0.02);
            });
            for (const auto& [P1, P2] : penalties) {
                // agg and path are C-contiguous; agg is summed into from zero whatever it held.
                Padded<float, 3> agg({D, H, W}, {0, 0, 0}, -7.0f), path({D, H, W}, {0, 0, 0}, 5.0f);
                aggregate(cost.in(), P1, P2, agg.view, path.view);
                digest.add(agg);
            }
        }
    }
}

void golden_sgm_aggregate(const LevelKernels& k, Digest& digest) { golden_sgm_cases(digest, k.sgm_aggregate); }

// The same cases, shared by two threads.
void golden_sgm_aggregate_shared(const LevelKernels& k, Digest& digest) {
    const auto shared = [&k](const Array3<const float>& cost, float P1, float P2, const Array3<float>& agg,
                             const Array3<float>& path) {
        Barrier barrier(2);
        std::thread helper([&] { k.sgm_aggregate_shared(cost, P1, P2, agg, path, Team{1, 2, &barrier}); });
        k.sgm_aggregate_shared(cost, P1, P2, agg, path, Team{0, 2, &barrier});
        helper.join();
    };
    golden_sgm_cases(digest, shared);
}

// The sgm cases from counts: all 65 counts of a uint64 and the outside one,
// shared by two threads.
void golden_sgm_counts_shared(const LevelKernels& k, Digest& digest) {
    int calls_made = 0;
    const auto shared = [&k, &calls_made](const Array3<const float>& cost, float P1, float P2, const Array3<float>& agg,
                             const Array3<float>& path) {
        const int64_t D = cost.extent[0], H = cost.extent[1], W = cost.extent[2];
        Padded<uint8_t, 3> counts({D, H, W}, {2, 1, 5}, 0);
        // The float cases' costs in [0, 9] or special, folded into counts.
        int64_t i = 0;
        counts.fill([&] {
            const float c = *at(cost.data, (i / (H * W)) * cost.stride[0] + (i / W % H) * cost.stride[1] +
                                               (i % W) * cost.stride[2]);
            ++i;
            return c == c && c >= 0 && c < 9 ? uint8_t(c * 7.2f) : kOutsideCount;
        });
        // The census example's scale, and one that makes negative costs, in turn.
        const bool census = calls_made++ % 2 == 0;
        const float scale = census ? 1.0f / 62 : -0.25f, outside = census ? 0.2f : kNaN;
        Barrier barrier(2);
        std::thread helper(
            [&] { k.sgm_counts_shared(counts.in(), scale, outside, P1, P2, agg, path, Team{1, 2, &barrier}); });
        k.sgm_counts_shared(counts.in(), scale, outside, P1, P2, agg, path, Team{0, 2, &barrier});
        helper.join();
    };
    golden_sgm_cases(digest, shared);
}

void golden_bilateral_filter(const LevelKernels& k, Digest& digest) {
    Stream stream{102};
    // A grid wider than the table, and one smaller than it: its table is made
    // only as far as the grid reaches, the rest never read.
    for (const auto& [H, W, radius] : {std::tuple<int64_t, int64_t, int32_t>{37, 53, 3}, {2, 3, 3}, {19, 40, 1}}) {
        Padded<float, 2> Z({H, W}, {1, 3}, kNaN);
        Z.fill([&] {
            if (stream.chance(0.05)) return kNaN;
            return stream.chance(0.2) ? stream.tie() : 10.0f * stream.unit();
        });
        Padded<uint8_t, 2> valid({H, W}, {2, 1}, 1);  // valid beyond the grid: a read past its edge shows
        valid.fill([&] { return stream.flag(0.2); });
        const int64_t side = 2 * radius + 1;
        Padded<float, 2> table({side, side}, {1, 2}, kNaN, 2);  // the table may have any strides
        bilateral_spatial_table(radius, bilateral_scale(2.0f), std::max(H, W) - 1, table.view);
        for (float sigma : {1.0f, 0.3f}) {
            Padded<float, 2> out = Z;
            k.bilateral_filter(Z.in(), valid.in(), radius, bilateral_scale(sigma), table.in(), out.view);
            digest.add(out);
        }
    }
}

void golden_range_weights(const LevelKernels& k, Digest& digest) {
    Stream stream{103};
    std::vector<float> exponents(4096), weights(exponents.size(), -1.0f);
    for (float& t : exponents) t = -120.0f * stream.unit();
    // Zeros, the edge below which weights are 0, subnormals, and what the
    // fast path leaves to the library: NaN and positive exponents.
    const float edges[] = {0.0f, -0.0f, -104.0f, -103.99999f, -104.00001f, -1e-41f, -1e-7f, kNaN, 0.5f, 1e-41f, -kInf};
    for (std::size_t i = 0; i < sizeof edges / sizeof *edges; ++i) exponents[37 * i + 5] = edges[i];
    k.range_weights(exponents.data(), weights.data(), int64_t(exponents.size()));
    digest.add(weights);
}

// The corner (-30, 22), cells 1.1 wide, of the grids that sample_view sees.
constexpr GroundGrid kSampledGrid{-30.0, 22.0, 1.1};

void golden_sample_view(const LevelKernels& k, Digest& digest) {
    Stream stream{104};
    const int64_t H = 37, W = 53, h = 64, w = 80, channels = 3;
    Padded<float, 3> image({h, w, channels}, {1, 2, 1}, kNaN);
    image.fill([&] { return stream.mixed(-50, 250, 0.01); });
    Padded<float, 2> Z({H, W}, {2, 1}, kNaN);
    Z.fill([&] { return stream.mixed(0, 15, 0.03); });
    Z({19, 10}) = 7.25f;
    const GroundGrid& grid = kSampledGrid;
    // A cell centre straight below the camera lands exactly on the image's last pixel.
    const double X = (10.0 + 0.5) * grid.gsd + grid.X0, Y = grid.Y0 - (7.0 + 0.5) * grid.gsd;
    // Cell (19, 10) lies a hair in front of the level camera, closer than it sees, on its axis.
    const double hair = grid.Y0 - (19.0 + 0.5) * grid.gsd - 5e-7;
    const Camera cameras[] = {
        {{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}, {0.5, -0.25, 60.0}, 70.0, -0.04, 0.01, 39.5, 31.5},
        {{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}, {X, Y, 40.0}, 50.0, 0.02, -0.003, double(w - 1), double(h - 1)},
        // Level, looking north from inside the grid: the cells south of it are behind.
        {{{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}, {X, hair, 7.25}, 30.0, 0.0, 0.0, 39.5, 31.5},
    };
    for (const Camera& camera : cameras) {
        Padded<float, 3> samples({H, W, channels}, {1, 1, 2}, -7.0f);
        Padded<uint8_t, 2> seen({H, W}, {1, 2}, 9);
        k.sample_view(image.in(), camera, grid, Z.in(), samples.view, seen.view);
        digest.add(samples);
        digest.add(seen);
    }
}

void golden_census(const LevelKernels& k, Digest& digest) {
    Stream stream{105};
    for (const auto& [H, W] : {std::pair<int64_t, int64_t>{37, 53}, {2, 3}, {1, 70}}) {
        Padded<float, 2> image({H, W}, {1, 3}, kNaN);
        image.fill([&] { return stream.chance(0.4) ? stream.tie() : stream.mixed(-4, 4, 0.05); });
        // Square and oblong windows up to 62 bits, steps beyond the grid.
        for (const auto& [rows, columns, step] : {std::tuple<int32_t, int32_t, int32_t>{3, 3, 2}, {2, 4, 1},
                                                  {4, 3, 1}, {0, 1, 3}, {1, 0, 1}, {0, 0, 1}}) {
            Padded<uint64_t, 2> codes({H, W}, {1, 2}, 12345);
            k.census(image.in(), rows, columns, step, codes.view);
            digest.add(codes);
        }
    }
}

void golden_whole_windows(const LevelKernels& k, Digest& digest) {
    Stream stream{106};
    for (const auto& [H, W] : {std::pair<int64_t, int64_t>{23, 70}, {4, 9}, {9, 4}, {1, 1}}) {
        for (double holes : {0.0, 0.02, 0.1}) {
            Padded<uint8_t, 2> valid({H, W}, {2, 3}, 1);  // valid beyond the grid: a read past its edge shows
            valid.fill([&] { return stream.flag(holes); });
            for (int32_t r : {0, 1, 2, 3}) {
                for (int32_t step : {1, 2, 5}) {
                    Padded<uint8_t, 2> whole({H, W}, {1, 2}, 7);
                    k.whole_windows(valid.in(), r, step, whole.view);
                    digest.add(whole);
                }
            }
        }
    }
}

// The codes and flags of V views at one label, their boxes reaching beyond
// the plane: one view's box is empty, one lies wholly outside the plane.
struct Label {
    int64_t H, W;
    Padded<int32_t, 2> boxes;
    Padded<uint64_t, 2> codes;
    Padded<uint8_t, 2> whole;

    Label(Stream& stream, int64_t views, int64_t H, int64_t W)
        : H(H), W(W), boxes({views, 4}, {1, 0}, -1), codes({views, (H + 6) * (W + 6)}, {1, 5}, 0),
          whole({views, (H + 6) * (W + 6)}, {1, 5}, 0) {
        uint64_t pool[6];  // few codes: many tied distances
        for (auto& code : pool) code = uint64_t(stream.index(1 << 20)) * 0x9E3779B97F4A7C15ull;
        for (int64_t v = 0; v < views; ++v) {
            int64_t r0 = stream.index(H + 7) - 3, r1 = stream.index(H + 7) - 3, c0 = stream.index(W + 7) - 3,
                    c1 = stream.index(W + 7) - 3;
            if (stream.chance(0.3)) r0 = -2, r1 = H + 1, c0 = -1, c1 = W + 2;
            if (v == 1) r1 = r0;
            if (v == 2) r0 = H + 1, r1 = H + 3;
            const int32_t box[4] = {int32_t(std::min(r0, r1)), int32_t(std::max(r0, r1)),
                                    int32_t(std::min(c0, c1)), int32_t(std::max(c0, c1))};
            for (int side = 0; side < 4; ++side) boxes({v, side}) = box[side];
            for (int64_t i = 0; i < (H + 6) * (W + 6); ++i) {
                codes({v, i}) = pool[stream.index(6)] ^ (stream.chance(0.5) ? 0 : uint64_t(1) << stream.index(64));
                whole({v, i}) = stream.flag(0.15);
            }
        }
    }
};

void golden_match_cost(const LevelKernels& k, Digest& digest) {
    Stream stream{107};
    // Rows wider than the kernel's chunk; best_views on both sides of its
    // sorted bytes and beyond the views.
    for (const auto& [views, H, W] : {std::tuple<int64_t, int64_t, int64_t>{1, 3, 4}, {6, 17, 40}, {13, 6, 300}}) {
        const Label label(stream, views, H, W);
        for (int32_t ref : {int32_t(0), int32_t(views / 2), int32_t(views - 1)}) {
            for (int32_t best_views : {1, 3, 8, 9, 14}) {
                for (int32_t bits : {24, 48}) {
                    Padded<float, 2> plane({H, W}, {1, 2}, kNaN);
                    k.match_cost(label.codes.in(), label.whole.in(), label.boxes.in(), ref, bits, best_views,
                                 plane.view);
                    digest.add(plane);
                }
            }
        }
    }
}

void golden_census_whole(const LevelKernels& k, Digest& digest) {
    Stream stream{108};
    for (const auto& [H, W] : {std::pair<int64_t, int64_t>{41, 67}, {5, 8}, {8, 5}, {1, 1}}) {
        for (double holes : {0.0, 0.01, 0.1}) {
            Padded<float, 2> samples({H, W}, {1, 3}, kNaN);
            samples.fill([&] { return stream.chance(0.5) ? stream.tie() : stream.mixed(-4, 4, 0.05); });
            Padded<uint8_t, 2> valid({H, W}, {2, 1}, 1);  // valid beyond the grid: a read past its edge shows
            valid.fill([&] { return stream.flag(holes); });
            for (int32_t r : {0, 1, 2, 3}) {
                for (int32_t step : {1, 2, 3}) {
                    Padded<uint64_t, 2> codes({H, W}, {1, 1}, 12345);
                    Padded<uint8_t, 2> whole({H, W}, {1, 3}, 9);
                    k.census_whole(samples.in(), valid.in(), r, step, codes.view, whole.view);
                    digest.add(codes);
                    digest.add(whole);
                }
            }
        }
    }
}

// A ground grid whose corner and cell size are no binary fractions: ridges
// with many equal heights, a flat band, towers, spikes and NaN holes.  Every
// array of the ray casters may have any strides: the heights' columns are
// two floats apart.
struct Survey {
    RayCast cast{};
    Padded<float, 2> heights;

    Survey(Stream& stream, int64_t rows, int64_t columns) : heights({rows, columns}, {1, 3}, kNaN, 2) {
        cast.X0 = -37.3;
        cast.Y0 = 52.9;
        cast.gsd = 0.73;
        cast.rows = rows;
        cast.columns = columns;
        for (int64_t r = 0; r < rows; ++r)
            for (int64_t c = 0; c < columns; ++c) {
                float z = float((7 * r + 3 * c) % 11) * 0.375f - float((r * c) % 5) * 0.5f;
                if (r >= 40 && r < 46) z = 2.0f;
                if ((r / 7) % 3 == 1 && (c / 11) % 2 == 1) z = 12.0f + float(r / 21);
                if (stream.chance(0.02)) z = stream.uniform(5, 40);
                if (stream.chance(0.08)) z = kNaN;
                heights({r, c}) = z;
            }
        float lo = kInf, hi = -kInf;
        for (float z : heights.storage)
            if (!std::isnan(z)) lo = std::min(lo, z), hi = std::max(hi, z);
        cast.z_lo = double(lo) - 1.0;
        cast.z_hi = double(hi) + 1.0;
    }

    // The cells from (row, column) on as the heights window, and the scene's window set to it.
    Array2<const float> window(int64_t row, int64_t column) {
        cast.window_row = row;
        cast.window_column = column;
        Array2<const float> w = heights.in();
        w.data = at(w.data, row * w.stride[0] + column * w.stride[1]);
        w.extent[0] -= row;
        w.extent[1] -= column;
        return w;
    }
};

// Every (refine, block) of the scenes the ray casters see: blocks of one
// cell (no leaps) and blocks that do not divide the grid.
constexpr std::pair<int32_t, int32_t> kRaySettings[] = {{6, 16}, {0, 4}, {3, 1}, {6, 5}};

// The window's peaks for `block`, in a strided array.
Padded<float, 2> peaks_of(const LevelKernels& k, const Array2<const float>& window, int32_t block) {
    Padded<float, 2> peaks({block_count(window.extent[0], block), block_count(window.extent[1], block)}, {2, 1}, kNaN,
                           2);
    k.block_peaks(window, block, peaks.view);
    return peaks;
}

// Each scene of a survey: seen from high above, from low and far off and
// from within the height range, over the whole grid and over a window that
// starts mid-grid.
template <typename Run>
void for_each_scene(Stream& stream, Run run) {
    Survey survey(stream, 60, 50);
    for (const auto& [refine, block] : kRaySettings) {
        survey.cast.refine = refine;
        survey.cast.block = block;
        const double lift[] = {stream.uniform_double(60, 200), stream.uniform_double(15, 30), survey.cast.z_hi - 2.0};
        for (double above : lift) {
            survey.cast.origin[0] = survey.cast.X0 + stream.uniform_double(-80, 120);
            survey.cast.origin[1] = survey.cast.Y0 + stream.uniform_double(-120, 80);
            survey.cast.origin[2] = above;
            for (int64_t start : {int64_t(0), int64_t(2 * block)}) run(survey, survey.window(start, start / 2));
        }
    }
}

void golden_block_peaks(const LevelKernels& k, Digest& digest) {
    Stream stream{109};
    Survey survey(stream, 60, 50);
    for (int32_t block : {1, 2, 4, 5, 16, 64})
        for (int64_t start : {int64_t(0), int64_t(2 * block)})
            if (start < 60) digest.add(peaks_of(k, survey.window(start, start / 2), block));
    // Blocks of NaN only, and -inf: peaks that stay -inf; and peaks of -0, which are +0.
    Padded<float, 2> holes({5, 7}, {1, 1}, 0.0f), below({6, 7}, {1, 1}, 0.0f);
    holes.fill([&] { return stream.chance(0.7) ? kNaN : stream.special(); });
    below.fill([&] {
        static const float kBelow[] = {-0.0f, -0.0f, -1.0f, kNaN, -kInf};
        return kBelow[stream.index(5)];
    });
    for (int32_t block : {1, 2, 3}) {
        digest.add(peaks_of(k, holes.in(), block));
        digest.add(peaks_of(k, below.in(), block));
    }
}

// Unit directions from the origin to points of the grid: cell centres,
// block edges at the top of the height range (grazing the leap's peaks), and
// a few that climb, stay level or barely descend.
Padded<double, 2> directions(Stream& stream, const RayCast& cast) {
    const int64_t n = 200;
    Padded<double, 2> dirs({n, 3}, {0, 1}, std::numeric_limits<double>::quiet_NaN(), 2);
    const double* o = cast.origin;
    for (int64_t i = 0; i < n; ++i) {
        double X = cast.X0 + stream.uniform_double(0, double(cast.columns)) * cast.gsd;
        const double Y = cast.Y0 - stream.uniform_double(0, double(cast.rows)) * cast.gsd;
        double Z = stream.uniform_double(cast.z_lo, cast.z_hi);
        if (i % 3 == 0) {
            X = cast.X0 + double(cast.block * stream.index(cast.columns / cast.block + 1)) * cast.gsd;
            Z = cast.z_hi - 1.0;
        }
        double d[3] = {X - o[0], Y - o[1], Z - o[2]};
        if (i < 12) d[2] = (i % 4 == 0) ? 0.0 : (i % 4 == 1) ? 1.0 : (i % 4 == 2) ? -1e-9 : -1.1e-9;
        const double norm = std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
        for (int64_t axis = 0; axis < 3; ++axis) dirs({i, axis}) = d[axis] / norm;
    }
    return dirs;
}

void golden_cast_rays(const LevelKernels& k, Digest& digest) {
    Stream stream{110};
    for_each_scene(stream, [&](const Survey& survey, const Array2<const float>& window) {
        const auto peaks = peaks_of(k, window, survey.cast.block);
        const auto dirs = directions(stream, survey.cast);
        Padded<double, 1> t({dirs.view.extent[0]}, {1}, -7.0, 2);
        k.cast_rays(window, peaks.in(), survey.cast, dirs.in(), t.view);
        digest.add(t);
    });
}

void golden_visibility(const LevelKernels& k, Digest& digest) {
    Stream stream{111};
    for_each_scene(stream, [&](const Survey& survey, const Array2<const float>& window) {
        const auto peaks = peaks_of(k, window, survey.cast.block);
        // At most 24 of the window's last rows (the rays are slow under emulation), from three
        // columns in to the far edge; the region ends on the last row or up to 3 rows short of it.
        const int64_t row = survey.cast.window_row + std::max<int64_t>(0, window.extent[0] - 24) + stream.index(5);
        const int64_t column = survey.cast.window_column + 3;
        const int64_t rows = window.extent[0] - (row - survey.cast.window_row) - stream.index(4);
        const int64_t columns = window.extent[1] - 3;
        Padded<uint8_t, 2> visible({rows, columns}, {1, 3}, 9, 2);
        k.visibility(window, peaks.in(), survey.cast, row, column, visible.view);
        digest.add(visible);
    });
}

void golden_select_heights(const LevelKernels& k, Digest& digest) {
    Stream stream{112};
    // One and two labels, a row longer than the kernel's blocks, many labels.
    const int64_t shapes[][3] = {{1, 3, 5}, {2, 4, 9}, {3, 1, 1100}, {7, 5, 40}, {96, 3, 70}};
    const double agrees[] = {0.0, 1.0, 2.5, 500.0, -1.0, double(kNaN), double(kInf)};
    for (const auto& [D, H, W] : shapes) {
        for (int mode = 0; mode < 6; ++mode) {
            Padded<float, 3> agg({D, H, W}, {1, 2, 5}, kNaN);
            agg.fill([&] {
                if (mode == 0) return stream.tie();
                if (mode == 5) {  // least costs of 1 beside 2^25 + 4: the sums round, offsets pass 0.5
                    static const float kRounding[] = {1.0f, 1.0f, 2.0f, 33554436.0f, 33554440.0f};
                    return kRounding[stream.index(5)];
                }
                if (mode == 1) return stream.mixed(0, 1, 0.02);
                if (mode == 2) return stream.chance(0.3) ? stream.tie() : stream.mixed(-2, 2, 0.2);
                const float v = stream.mixed(-2, 2, 0.1);  // infinities without NaN
                return std::isnan(v) ? -kInf : v;
            });
            if (mode == 4) {  // bowls whose least label drifts along the row, as real costs do
                for (int64_t d = 0; d < D; ++d)
                    for (int64_t y = 0; y < H; ++y)
                        for (int64_t x = 0; x < W; ++x) {
                            const double centre = double(D) * (0.1 + 0.8 * double((x + 7 * y) % 97) / 97.0);
                            agg({d, y, x}) = float((double(d) - centre) * (double(d) - centre) / double(D));
                        }
            }
            for (double agree : agrees) {
                for (const auto& [lowest, step, uniqueness] :
                     {std::tuple<double, double, float>{0.0, 1.0, 0.97f}, {-3.25, 0.1, 1.0f}, {12.0, -0.7, 0.0f},
                      {-1.5, 1.0, 0.5f}}) {  // the last: label 1 + 0.5 at 0, where an unclipped offset shows
                    Padded<float, 2> z({H, W}, {1, 3}, -7.0f);
                    Padded<uint8_t, 2> unique({H, W}, {2, 1}, 9);
                    k.select_heights(agg.in(), lowest, step, agree, uniqueness, z.view, unique.view);
                    digest.add(z);
                    digest.add(unique);
                }
            }
        }
    }
}

void golden_consistency_mask(const LevelKernels& k, Digest& digest) {
    Stream stream{113};
    for (const auto& [H, W] : {std::pair<int64_t, int64_t>{3, 37}, {17, 64}, {1, 1}, {0, 5}}) {
        Padded<float, 2> za({H, W}, {1, 3}, kNaN), zb({H, W}, {0, 2}, kNaN);
        Padded<uint8_t, 2> ua({H, W}, {2, 1}, 0), ub({H, W}, {0, 5}, 0);
        Padded<int32_t, 2> seen({H, W}, {1, 1}, 0);
        za.fill([&] { return stream.mixed(0, 1, 0.1); });
        zb.fill([&] { return stream.chance(0.3) ? stream.tie() : stream.mixed(0, 1, 0.1); });
        ua.fill([&] { return stream.flag(0.2); });
        ub.fill([&] { return uint8_t(stream.chance(0.8) ? 1 : 0); });
        seen.fill([&] {
            if (stream.chance(0.1)) return stream.chance(0.5) ? INT32_MIN : INT32_MAX;
            return int32_t(stream.index(7) - 1);
        });
        for (double tolerance : {0.0, 0.1, 1.0 / 3.0, 1e300, -1.0, double(kInf), double(kNaN)}) {
            for (int64_t needed : {int64_t(3), int64_t(0), int64_t(-5), int64_t(INT32_MAX), int64_t(1) << 40,
                                   -(int64_t(1) << 40)}) {
                Padded<uint8_t, 2> matched({H, W}, {1, 2}, 7);
                Padded<float, 2> raw({H, W}, {1, 2}, -7.0f);
                k.consistency_mask(za.in(), ua.in(), zb.in(), ub.in(), seen.in(), tolerance, needed, matched.view,
                                   raw.view);
                digest.add(matched);
                digest.add(raw);
                std::vector<float> unmatched;  // the one NaN that the kernel promises
                for (int64_t y = 0; y < H; ++y)
                    for (int64_t x = 0; x < W; ++x)
                        if (matched({y, x}) == 0) unmatched.push_back(raw({y, x}));
                digest.add_exactly(unmatched);
            }
        }
    }
}

void golden_fill_holes(const LevelKernels& k, Digest& digest) {
    Stream stream{114};
    for (const auto& [H, W] : {std::pair<int64_t, int64_t>{1, 1}, {1, 40}, {40, 1}, {23, 31}, {64, 90}}) {
        for (double holes : {0.3, 0.8, 0.97, 1.0}) {
            for (int mode = 0; mode < 3; ++mode) {
                Padded<float, 2> start({H, W}, {2, 3}, -9.0f);
                start.fill([&] {
                    if (stream.chance(holes)) return kNaN;
                    if (mode == 0) return stream.tie();  // ties of +0 and -0
                    return mode == 1 ? stream.uniform(-5, 5) : stream.mixed(-5, 5, 0.2);
                });
                if (mode == 2 && H * W > 100)  // one wide hole: many rings
                    for (int64_t y = H / 4; y < H; ++y)
                        for (int64_t x = 0; x < 3 * W / 4; ++x) start({y, x}) = kNaN;
                for (int64_t rings : {0, 1, 2, 5, -1}) {
                    Padded<float, 2> z = start;
                    Padded<int32_t, 2> ring({H, W}, {1, 2}, -3);  // scratch of any content
                    Padded<int32_t, 2> queue({2, H * W}, {0, 3}, 12345);
                    k.fill_holes(z.view, rings, ring.view, queue.view);
                    digest.add(z);
                }
            }
        }
    }
}

// run(D, H, W, first, left, right) for each case of the census volumes:
// the codes of two images, empty, full and sparse.
template <typename Run>
void golden_census_cases(Stream& stream, const Run& run) {
    for (const auto& [D, H, W] : {std::tuple<int64_t, int64_t, int64_t>{0, 3, 4}, {1, 1, 1}, {16, 4, 37},
                                  {5, 9, 130}, {64, 3, 70}}) {
        auto code = [&] {
            return stream.index(8) == 0 ? ~uint64_t{0} * uint64_t(stream.index(2)) : stream.next() >> stream.index(64);
        };
        Padded<uint64_t, 2> left({H, W}, {2, 1}, 0), right({H, W}, {1, 3}, 0);
        left.fill(code);
        right.fill(code);
        for (int64_t first : {int64_t{0}, int64_t{3}, W + 2}) run(D, H, W, first, left, right);
    }
}

void golden_census_cost(const LevelKernels& k, Digest& digest) {
    Stream stream{115};
    golden_census_cases(stream, [&](int64_t D, int64_t H, int64_t W, int64_t first, const Padded<uint64_t, 2>& left,
                                    const Padded<uint64_t, 2>& right) {
        for (const auto& [scale, outside] :
             {std::pair<float, float>{1.0f / 62, 0.2f}, {3.0f, kNaN}, {kInf, -0.0f}, {kNaN, 1.0f}}) {
            Padded<float, 3> cost({D, H, W}, {1, 2, 3}, -7.0f);
            k.census_cost(left.in(), right.in(), first, scale, outside, cost.view);
            digest.add(cost);
        }
    });
}

void golden_census_counts(const LevelKernels& k, Digest& digest) {
    Stream stream{118};
    golden_census_cases(stream, [&](int64_t D, int64_t H, int64_t W, int64_t first, const Padded<uint64_t, 2>& left,
                                    const Padded<uint64_t, 2>& right) {
        Padded<uint8_t, 3> counts({D, H, W}, {1, 2, 3}, 77);
        k.census_counts(left.in(), right.in(), first, counts.view);
        digest.add(counts);
    });
}

void golden_right_winner(const LevelKernels& k, Digest& digest) {
    Stream stream{116};
    // Rows wider than the kernel's chunk of columns; more disparities than columns.
    for (const auto& [D, H, W] : {std::tuple<int64_t, int64_t, int64_t>{16, 5, 40}, {4, 2, 1030}, {70, 2, 2100},
                                  {20, 3, 7}, {1, 1, 1}}) {
        for (int kind = 0; kind < 3; ++kind) {  // ties; specials; pixels without a cost below +inf
            Padded<float, 3> volume({D, H, W}, {1, 1, 3}, -kInf);  // a read past a row's end wins
            volume.fill([&] {
                if (kind == 2 && stream.chance(0.9)) return stream.chance(0.5) ? kInf : kNaN;
                return kind == 1 && stream.chance(0.3) ? stream.special() : stream.tie();
            });
            Padded<int32_t, 2> best({H, W}, {1, 2}, -5);
            k.right_winner(volume.in(), best.view);
            digest.add(best);
        }
    }
}

void golden_left_right_check(const LevelKernels& k, Digest& digest) {
    Stream stream{117};
    for (const auto& [H, W] : {std::pair<int64_t, int64_t>{1, 1}, {7, 130}, {2, 1030}}) {
        Padded<float, 2> left({H, W}, {1, 3}, kNaN);
        Padded<int32_t, 2> right({H, W}, {2, 1}, 0);
        int64_t x = 0;  // whole and half-way disparities that point near the edges, specials, any
        left.fill([&] {
            const float whole = float(x++ % W - stream.index(W + 4) + 2);
            if (stream.chance(0.4)) return stream.mixed(-2.0f * float(W), 2.0f * float(W), 0.3);
            return stream.chance(0.5) ? whole + 0.5f : whole;
        });
        right.fill([&] { return stream.chance(0.1) ? INT32_MIN : int32_t(stream.index(W + 2)); });
        for (double tolerance : {1.0, 0.5, 0.0, -1.0, double(kNaN)}) {
            Padded<uint8_t, 2> matched({H, W}, {2, 1}, 7);
            k.left_right_check(left.in(), right.in(), tolerance, matched.view);
            digest.add(matched);
        }
    }
}

// ---------------------------------------------------------------------------

enum KernelId {
#define QUILTMAP_KERNEL_ID(name) id_##name,
    QUILTMAP_KERNELS(QUILTMAP_KERNEL_ID)
#undef QUILTMAP_KERNEL_ID
        kKernelCount
};

int calls[kKernelCount];
Level running;

// The kernel `member` of the level running, its calls counted in calls[id].
template <typename Signature>
struct Counted;
template <typename Result, typename... Args>
struct Counted<Result (*)(Args...)> {
    template <auto member, int id>
    static Result call(Args... args) {
        ++calls[id];
        return (kernels_at(running).*member)(args...);
    }
};

struct GoldenCase {
    const char* kernel;
    int id;
    void (*run)(const LevelKernels&, Digest&);
};

// A kernel of the registry without its golden_<name> stops the build here.
#define QUILTMAP_GOLDEN_CASE(name) {#name, id_##name, golden_##name},
const GoldenCase kCases[] = {QUILTMAP_KERNELS(QUILTMAP_GOLDEN_CASE)};
#undef QUILTMAP_GOLDEN_CASE

}  // namespace

int main() {
#define QUILTMAP_COUNTED(name) &Counted<decltype(&name##_reference)>::call<&LevelKernels::name, id_##name>,
    const LevelKernels counted{level_choice().level, QUILTMAP_KERNELS(QUILTMAP_COUNTED)};  // calls `running`
#undef QUILTMAP_COUNTED
    const Level chosen = level_choice().level;
    int status = 0;
    for (const GoldenCase& golden : kCases) {
        uint64_t first = 0, last = 0;
        for (Level level : kAllLevels) {
            if (level > chosen) break;
            running = level;
            std::fill(std::begin(calls), std::end(calls), 0);
            Digest digest;
            golden.run(counted, digest);
            if (calls[golden.id] == 0) {
                std::fprintf(stderr, "golden: the case of %s never runs it (%s)\n", golden.kernel, level_name(level));
                status = 1;
            }
            last = digest.value();
            if (level == kAllLevels[0]) first = last;
            if (last != first) {
                std::fprintf(stderr, "golden: %s at %s differs from %s\n", golden.kernel, level_name(level),
                             level_name(kAllLevels[0]));
                status = 1;
            }
        }
        std::printf("%s %016llx\n", golden.kernel, static_cast<unsigned long long>(last));
    }
    return status;
}
