// quiltmap._pipeline: the matching pipeline's steps at kernel speed.
//
// Plain builtin functions (METH_FASTCALL | METH_KEYWORDS) on the binding
// machinery that quiltmap._mvs uses: one typed parameter table per function,
// arguments by position or keyword, array arguments as typed C-contiguous
// views.  Every result is an array the caller passes in, so that a run
// allocates its volumes once and reuses them across labels and tiles; a
// function checks every shape and every overlap before it releases the
// interpreter lock, and returns None.  The module keeps no state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/compat.hpp"
#include "binding/ref.hpp"
#include "binding/startup.hpp"
#include "binding/views.hpp"
#include "kernels/levels.hpp"

namespace quiltmap {
namespace {

using binding::InArray;
using binding::Int64;
using binding::OutArray;
using binding::Real;
using binding::Single;

// ---------------------------------------------------------------------------
// The machinery: a function is a struct with its name, parameter table,
// documentation and body; call<F> binds a call by the table and runs the body
// with the converted arguments.

template <typename F>
const binding::Signature& signature_of() {
    static const binding::Signature signature = binding::SignatureOf<F::kParams>::make(F::kName, 0);
    return signature;
}

template <typename F>
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    binding::Arguments<F::kParams> arguments;
    int line;
    if (!arguments.bind(signature_of<F>(), args, static_cast<std::size_t>(nargs), kwnames, &line)) return nullptr;
    return F::body(arguments);
}

template <typename F>
constexpr PyMethodDef method() {
    return {F::kName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call<F>)),
            METH_FASTCALL | METH_KEYWORDS, F::kDoc};
}

PyObject* value_error(const char* function, const char* message) {
    PyErr_Format(PyExc_ValueError, "%s(): %s", function, message);
    return nullptr;
}

// ---------------------------------------------------------------------------
// The functions.

struct Census {
    static constexpr const char* kName = "census";
    enum Arg { image, rows, columns, step, codes };
    static constexpr auto kParams = std::make_tuple(InArray<const float, 2>{"image", 0}, Int64{"rows", 0},
                                                    Int64{"columns", 0}, Int64{"step", 0},
                                                    OutArray<std::uint64_t, 2>{"codes", 0});
    static constexpr const char* kDoc =
        "census(image, rows, columns, step, codes)\n--\n\n"
        "Census code of every cell of a float32 image into codes (uint64, the image's shape): one bit\n"
        "per other sample of the (2 rows + 1) x (2 columns + 1) window whose samples are `step` cells\n"
        "apart, row by row from the top-left, set where that sample is darker than the centre; samples\n"
        "beyond the image take the nearest edge cell.  At most 64 bits.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& image = a.get<Arg::image>();
        const auto& codes = a.get<Arg::codes>();
        const std::int64_t rows = a.get<Arg::rows>(), columns = a.get<Arg::columns>(), step = a.get<Arg::step>();
        if (rows < 0 || columns < 0 || rows > 32 || columns > 32 ||
            kernels::census_bits(std::int32_t(rows), std::int32_t(columns)) > 64)
            return value_error(kName, "the window (2 rows + 1) x (2 columns + 1) must hold at most 65 samples");
        if (step < 1 || step > INT32_MAX) return value_error(kName, "step must be at least 1");
        const std::int64_t cells[] = {image.extent(0), image.extent(1)};
        if (!binding::require_extents(codes, kName, "argument 'codes'", cells, /*at_least=*/false) ||
            !binding::require_separate(codes, image, kName, "argument 'codes'", "argument 'image'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::census(image.array(), std::int32_t(rows), std::int32_t(columns), std::int32_t(step),
                            codes.array());
        }
        Py_RETURN_NONE;
    }
};

// member(team) on `threads` threads, this one among them: on as many as
// the system starts (one it cannot make leaves the work to the others).
// The members learn their number once all are made.
template <typename Member>
void on_threads(int threads, const Member& member) {
    std::atomic<int> members{0};
    std::optional<kernels::Barrier> barrier;
    const auto join = [&](int index) {
        int count;
        while ((count = members.load(std::memory_order_acquire)) == 0) std::this_thread::yield();
        if (index < count) member(kernels::Team{index, count, &*barrier});
    };
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(std::size_t(threads - 1));
        for (int index = 1; index < threads; ++index) helpers.emplace_back(join, index);
    } catch (const std::exception&) {
    }
    barrier.emplace(int(helpers.size()) + 1);
    members.store(int(helpers.size()) + 1, std::memory_order_release);
    join(0);
    for (std::thread& helper : helpers) helper.join();
}

// More than the cores of any machine this runs on: past five, the members
// add only to the first sweep, whose columns they share in groups of 16 at
// most (in the second one goes across the rows, at most four make rows
// ahead of it; the third is one member's).
constexpr std::int64_t kMostSgmThreads = 64;

// The checks that sgm and sgm_counts share: agg and path of the cost
// volume's extents, the three apart, threads in range.
bool aggregation_arguments(const char* function, const binding::ArrayView& cost, const char* cost_name,
                           const binding::ArrayView& agg, const binding::ArrayView& path, std::int64_t threads) {
    const std::int64_t extents[] = {cost.extent(0), cost.extent(1), cost.extent(2)};
    if (!binding::require_extents(agg, function, "argument 'agg'", extents, /*at_least=*/false) ||
        !binding::require_extents(path, function, "argument 'path'", extents, /*at_least=*/false) ||
        !binding::require_separate(agg, cost, function, "argument 'agg'", cost_name) ||
        !binding::require_separate(path, cost, function, "argument 'path'", cost_name) ||
        !binding::require_separate(path, agg, function, "argument 'path'", "argument 'agg'"))
        return false;
    if (threads < 1 || threads > kMostSgmThreads) return value_error(function, "threads must be from 1 to 64"), false;
    return true;
}

struct Sgm {
    static constexpr const char* kName = "sgm";
    enum Arg { cost, P1, P2, agg, path, threads };
    static constexpr auto kParams =
        std::make_tuple(InArray<const float, 3>{"cost", 0}, Single{"P1", 0}, Single{"P2", 0},
                        OutArray<float, 3>{"agg", 0}, OutArray<float, 3>{"path", 0}, Int64{"threads", 0});
    static constexpr const char* kDoc =
        "sgm(cost, P1, P2, agg, path, threads)\n--\n\n"
        "quiltmap._mvs.sgm into arrays the caller owns: agg receives the sum of the 8 path-cost\n"
        "volumes of the (D, H, W) float32 cost volume, with the same bits; path is scratch of the same\n"
        "shape (any content).  Reusing both across calls saves the first touch of fresh volumes.\n"
        "The work is shared by `threads` threads (1 to 64), the calling one among them.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& cost = a.get<Arg::cost>();
        const auto& agg = a.get<Arg::agg>();
        const auto& path = a.get<Arg::path>();
        const std::int64_t threads = a.get<Arg::threads>();
        if (!aggregation_arguments(kName, cost, "argument 'cost'", agg, path, threads)) return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            // The arrays once, here: taking a result's array marks the view written.
            const auto costs = cost.array();
            const auto sums = agg.array(), scratch = path.array();
            on_threads(int(threads), [&, P1 = a.get<Arg::P1>(), P2 = a.get<Arg::P2>()](const kernels::Team& team) {
                kernels::sgm_aggregate_shared(costs, P1, P2, sums, scratch, team);
            });
        }
        Py_RETURN_NONE;
    }
};

struct SgmCounts {
    static constexpr const char* kName = "sgm_counts";
    enum Arg { counts, scale, outside, P1, P2, agg, path, threads };
    static constexpr auto kParams =
        std::make_tuple(InArray<const std::uint8_t, 3>{"counts", 0}, Single{"scale", 0}, Single{"outside", 0},
                        Single{"P1", 0}, Single{"P2", 0}, OutArray<float, 3>{"agg", 0},
                        OutArray<float, 3>{"path", 0}, Int64{"threads", 0});
    static constexpr const char* kDoc =
        "sgm_counts(counts, scale, outside, P1, P2, agg, path, threads)\n--\n\n"
        "sgm() of the cost volume that census counts stand for (census_counts): the (D, H, W) uint8\n"
        "counts give float32(count) * float32(scale), and float32(outside) where a count is 255.  The\n"
        "same bits as sgm() of that float32 volume, which census_cost makes, from a quarter of its\n"
        "bytes.  agg and path are float32 of the counts' shape; `threads` from 1 to 64.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& counts = a.get<Arg::counts>();
        const auto& agg = a.get<Arg::agg>();
        const auto& path = a.get<Arg::path>();
        const std::int64_t threads = a.get<Arg::threads>();
        if (!aggregation_arguments(kName, counts, "argument 'counts'", agg, path, threads)) return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            const auto costs = counts.array();  // once, as in sgm()
            const auto sums = agg.array(), scratch = path.array();
            on_threads(int(threads), [&, scale = a.get<Arg::scale>(), outside = a.get<Arg::outside>(),
                                      P1 = a.get<Arg::P1>(), P2 = a.get<Arg::P2>()](const kernels::Team& team) {
                kernels::sgm_counts_shared(costs, scale, outside, P1, P2, sums, scratch, team);
            });
        }
        Py_RETURN_NONE;
    }
};

// The scene of the ray casters: checked and gathered once for both.
struct RaySceneArgs {
    const binding::InView<const float, 2>& heights;
    const binding::InView<const float, 2>& peaks;
    double X0, Y0, gsd;
    std::int64_t rows, columns, window_row, window_column;
    const binding::InView<const double, 1>& origin;
    const binding::InView<const double, 1>& z_range;
    std::int64_t refine, block;
};

bool finite(double x) { return x - x == 0.0; }

// The RayCast of the arguments, or false with ValueError set.
bool ray_scene(const char* function, const RaySceneArgs& a, kernels::RayCast* cast) {
    if (!finite(a.X0) || !finite(a.Y0) || !finite(a.gsd) || !(a.gsd > 0.0))
        return value_error(function, "X0, Y0 must be finite and gsd finite and positive"), false;
    if (a.rows < 1 || a.columns < 1 || a.rows > INT32_MAX || a.columns > INT32_MAX)
        return value_error(function, "the grid must have from 1 to 2^31 - 1 rows and columns"), false;
    if (a.block < 1 || a.block > 65536) return value_error(function, "block must be from 1 to 65536"), false;
    if (a.refine < 0 || a.refine > 64) return value_error(function, "refine must be from 0 to 64"), false;
    if (a.window_row < 0 || a.window_column < 0 || a.window_row % a.block != 0 || a.window_column % a.block != 0)
        return value_error(function, "the window must start at a cell of the grid on a block boundary"), false;
    if (a.heights.extent(0) > a.rows - a.window_row || a.heights.extent(1) > a.columns - a.window_column)
        return value_error(function, "the heights window must lie inside the grid"), false;
    const std::int64_t three[] = {3}, two[] = {2};
    const std::int32_t block = std::int32_t(a.block);
    const std::int64_t blocks[] = {kernels::block_count(a.heights.extent(0), block),
                                   kernels::block_count(a.heights.extent(1), block)};
    if (!binding::require_extents(a.origin, function, "argument 'origin'", three, /*at_least=*/false) ||
        !binding::require_extents(a.z_range, function, "argument 'z_range'", two, /*at_least=*/false) ||
        !binding::require_extents(a.peaks, function, "argument 'peaks'", blocks, /*at_least=*/false))
        return false;
    const auto origin = a.origin.array(), z_range = a.z_range.array();
    const double o[3] = {*kernels::at(origin.data, 0), *kernels::at(origin.data, origin.stride[0]),
                         *kernels::at(origin.data, 2 * origin.stride[0])};
    const double z_lo = *kernels::at(z_range.data, 0), z_hi = *kernels::at(z_range.data, z_range.stride[0]);
    if (!finite(o[0]) || !finite(o[1]) || !finite(o[2]) || !finite(z_lo) || !finite(z_hi))
        return value_error(function, "origin and z_range must be finite"), false;
    *cast = kernels::RayCast{a.X0, a.Y0, a.gsd, a.rows, a.columns, a.window_row, a.window_column,
                             {o[0], o[1], o[2]}, z_lo, z_hi, std::int32_t(a.refine), block};
    return true;
}

// The parameters that open both ray casters' tables.
constexpr auto kRaySceneParams = std::make_tuple(
    InArray<const float, 2>{"heights", 0}, InArray<const float, 2>{"peaks", 0}, Real{"X0", 0}, Real{"Y0", 0},
    Real{"gsd", 0}, Int64{"rows", 0}, Int64{"columns", 0}, Int64{"window_row", 0}, Int64{"window_column", 0},
    InArray<const double, 1>{"origin", 0}, InArray<const double, 1>{"z_range", 0}, Int64{"refine", 0},
    Int64{"block", 0});

template <typename F, typename Arguments>
RaySceneArgs ray_scene_args(const Arguments& a) {
    return {a.template get<F::heights>(),   a.template get<F::peaks>(),      a.template get<F::X0>(),
            a.template get<F::Y0>(),        a.template get<F::gsd>(),        a.template get<F::rows>(),
            a.template get<F::columns>(),   a.template get<F::window_row>(), a.template get<F::window_column>(),
            a.template get<F::origin>(),    a.template get<F::z_range>(),    a.template get<F::refine>(),
            a.template get<F::block>()};
}

#define QUILTMAP_RAY_SCENE_DOC                                                                                 \
    "heights: float32 heights of the grid (rows x columns cells of gsd, (X0, Y0) the outer corner of cell\n"   \
    "(0, 0), rows running south) from cell (window_row, window_column) on, both multiples of block; it must\n" \
    "hold every cell the rays pass over, widened by two blocks (cells outside it stop no ray, nor do NaN\n"   \
    "heights).  peaks: block_peaks(heights, block).  origin: float64 (3,), z_range: float64 (lowest,\n"      \
    "highest), the heights the rays are cast through; refine: bisection steps (0 to 64).\n"

struct BlockPeaks {
    static constexpr const char* kName = "block_peaks";
    enum Arg { heights, block, peaks };
    static constexpr auto kParams =
        std::make_tuple(InArray<const float, 2>{"heights", 0}, Int64{"block", 0}, OutArray<float, 2>{"peaks", 0});
    static constexpr const char* kDoc =
        "block_peaks(heights, block, peaks)\n--\n\n"
        "peaks[R, C] (float32, ceil(rows / block) x ceil(columns / block)) gets the highest height of the\n"
        "3 x 3 blocks of block x block cells of heights around block (R, C): where a ray caster may leap.\n"
        "NaN heights and blocks beyond the window count as -inf; a zero peak is +0.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& heights = a.get<Arg::heights>();
        const auto& peaks = a.get<Arg::peaks>();
        const std::int64_t block = a.get<Arg::block>();
        if (block < 1 || block > 65536) return value_error(kName, "block must be from 1 to 65536");
        const std::int64_t blocks[] = {kernels::block_count(heights.extent(0), std::int32_t(block)),
                                       kernels::block_count(heights.extent(1), std::int32_t(block))};
        if (!binding::require_extents(peaks, kName, "argument 'peaks'", blocks, /*at_least=*/false) ||
            !binding::require_separate(peaks, heights, kName, "argument 'peaks'", "argument 'heights'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::block_peaks(heights.array(), std::int32_t(block), peaks.array());
        }
        Py_RETURN_NONE;
    }
};

struct CastRays {
    static constexpr const char* kName = "cast_rays";
    enum Arg { heights, peaks, X0, Y0, gsd, rows, columns, window_row, window_column, origin, z_range, refine, block,
               dirs, t };
    static constexpr auto kParams = std::tuple_cat(kRaySceneParams, std::make_tuple(InArray<const double, 2>{"dirs", 0},
                                                                                    OutArray<double, 1>{"t", 0}));
    static constexpr const char* kDoc =
        "cast_rays(heights, peaks, X0, Y0, gsd, rows, columns, window_row, window_column, origin, z_range,\n"
        "          refine, block, dirs, t)\n--\n\n"
        "t[i] (float64, (N,)) gets the distance along origin + t dirs[i] (dirs float64 (N, 3), finite) to the\n"
        "first crossing of the heights' bilinear surface, as quiltmap.raycast.cast: rays that do not descend\n"
        "or reach the bottom of z_range get the bottom's distance (0 when they do not descend).\n"
        QUILTMAP_RAY_SCENE_DOC;

    static PyObject* body(const binding::Arguments<kParams>& a) {
        kernels::RayCast cast;
        if (!ray_scene(kName, ray_scene_args<CastRays>(a), &cast)) return nullptr;
        const auto& dirs = a.get<Arg::dirs>();
        const auto& t = a.get<Arg::t>();
        const std::int64_t rays[] = {dirs.extent(0), 3}, distances[] = {dirs.extent(0)};
        if (!binding::require_extents(dirs, kName, "argument 'dirs'", rays, /*at_least=*/false) ||
            !binding::require_extents(t, kName, "argument 't'", distances, /*at_least=*/false) ||
            !binding::require_separate(t, dirs, kName, "argument 't'", "argument 'dirs'") ||
            !binding::require_separate(t, a.get<Arg::heights>(), kName, "argument 't'", "argument 'heights'") ||
            !binding::require_separate(t, a.get<Arg::peaks>(), kName, "argument 't'", "argument 'peaks'"))
            return nullptr;
        const auto d = dirs.array();
        for (std::int64_t i = 0; i < d.extent[0]; ++i)
            for (std::int64_t k = 0; k < 3; ++k)
                if (!finite(*kernels::at(d.data, i * d.stride[0] + k * d.stride[1])))
                    return value_error(kName, "dirs must be finite");
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::cast_rays(a.get<Arg::heights>().array(), a.get<Arg::peaks>().array(), cast, d, t.array());
        }
        Py_RETURN_NONE;
    }
};

struct Visibility {
    static constexpr const char* kName = "visibility";
    enum Arg { heights, peaks, X0, Y0, gsd, rows, columns, window_row, window_column, origin, z_range, refine, block,
               region_row, region_column, visible };
    static constexpr auto kParams = std::tuple_cat(
        kRaySceneParams, std::make_tuple(Int64{"region_row", 0}, Int64{"region_column", 0},
                                         OutArray<std::uint8_t, 2>{"visible", 0}));
    static constexpr const char* kDoc =
        "visibility(heights, peaks, X0, Y0, gsd, rows, columns, window_row, window_column, origin, z_range,\n"
        "           refine, block, region_row, region_column, visible)\n--\n\n"
        "visible[i, j] (uint8) gets 1 where origin sees the centre of grid cell (region_row + i,\n"
        "region_column + j) at its own height over the heights, else 0: the ray cast towards it (as\n"
        "cast_rays) reaches within half a cell of it.  A cell without a height is not seen; the region lies\n"
        "inside the heights window.\n"
        QUILTMAP_RAY_SCENE_DOC;

    static PyObject* body(const binding::Arguments<kParams>& a) {
        kernels::RayCast cast;
        if (!ray_scene(kName, ray_scene_args<Visibility>(a), &cast)) return nullptr;
        const auto& heights = a.get<Arg::heights>();
        const auto& visible = a.get<Arg::visible>();
        const std::int64_t r = a.get<Arg::region_row>() - cast.window_row;
        const std::int64_t c = a.get<Arg::region_column>() - cast.window_column;
        if (r < 0 || c < 0 || r > heights.extent(0) - visible.extent(0) || c > heights.extent(1) - visible.extent(1))
            return value_error(kName, "the region must lie inside the heights window");
        if (!binding::require_separate(visible, heights, kName, "argument 'visible'", "argument 'heights'") ||
            !binding::require_separate(visible, a.get<Arg::peaks>(), kName, "argument 'visible'", "argument 'peaks'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::visibility(heights.array(), a.get<Arg::peaks>().array(), cast, a.get<Arg::region_row>(),
                                a.get<Arg::region_column>(), visible.array());
        }
        Py_RETURN_NONE;
    }
};

struct WholeWindows {
    static constexpr const char* kName = "whole_windows";
    enum Arg { valid, r, step, whole };
    static constexpr auto kParams = std::make_tuple(InArray<const std::uint8_t, 2>{"valid", 0}, Int64{"r", 0},
                                                    Int64{"step", 0}, OutArray<std::uint8_t, 2>{"whole", 0});
    static constexpr const char* kDoc =
        "whole_windows(valid, r, step, whole)\n--\n\n"
        "Into whole (uint8, valid's shape): 1 where every sample of the cell's census window of\n"
        "(2 r + 1) x (2 r + 1) samples `step` cells apart lies in the grid and is nonzero in valid\n"
        "(uint8), else 0.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& valid = a.get<Arg::valid>();
        const auto& whole = a.get<Arg::whole>();
        const std::int64_t r = a.get<Arg::r>(), step = a.get<Arg::step>();
        if (r < 0 || r > INT32_MAX) return value_error(kName, "r must be at least 0");
        if (step < 1 || step > INT32_MAX) return value_error(kName, "step must be at least 1");
        const std::int64_t cells[] = {valid.extent(0), valid.extent(1)};
        if (!binding::require_extents(whole, kName, "argument 'whole'", cells, /*at_least=*/false) ||
            !binding::require_separate(whole, valid, kName, "argument 'whole'", "argument 'valid'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::whole_windows(valid.array(), std::int32_t(r), std::int32_t(step), whole.array());
        }
        Py_RETURN_NONE;
    }
};

struct MatchCost {
    static constexpr const char* kName = "match_cost";
    enum Arg { codes, whole, boxes, ref, bits, best_views, plane };
    static constexpr auto kParams = std::make_tuple(
        InArray<const std::uint64_t, 2>{"codes", 0}, InArray<const std::uint8_t, 2>{"whole", 0},
        InArray<const std::int32_t, 2>{"boxes", 0}, Int64{"ref", 0}, Int64{"bits", 0}, Int64{"best_views", 0},
        OutArray<float, 2>{"plane", 0});
    static constexpr const char* kDoc =
        "match_cost(codes, whole, boxes, ref, bits, best_views, plane)\n--\n\n"
        "The matching cost of one label for reference view `ref` into plane (float32, H x W).  View v's\n"
        "census codes (uint64) and whole-window flags (uint8, nonzero: whole) at the label fill the\n"
        "start of codes[v] and whole[v] ((V, N) each) row by row over its box of cells,\n"
        "boxes[v] = (first row, end row, first column, end column) (int32, (V, 4)), in the plane's\n"
        "cells but free to reach beyond it; a view that sees nothing has an empty box.  Each cell of\n"
        "ref's box gets the mean of the best_views smallest distances popcount(code ^ other code) / bits\n"
        "to the other views whose box holds it and where both windows are whole, added smallest first\n"
        "in double and rounded to float32; 0.5 where there is none, and outside ref's box.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& codes = a.get<Arg::codes>();
        const auto& whole = a.get<Arg::whole>();
        const auto& boxes = a.get<Arg::boxes>();
        const auto& plane = a.get<Arg::plane>();
        const std::int64_t views = codes.extent(0), cells = codes.extent(1);
        const std::int64_t stacked[] = {views, cells}, sides[] = {views, 4};
        if (!binding::require_extents(whole, kName, "argument 'whole'", stacked, /*at_least=*/false) ||
            !binding::require_extents(boxes, kName, "argument 'boxes'", sides, /*at_least=*/false))
            return nullptr;
        const std::int64_t ref = a.get<Arg::ref>(), bits = a.get<Arg::bits>(), best = a.get<Arg::best_views>();
        if (ref < 0 || ref >= views) return value_error(kName, "ref must name one of the views");
        if (bits < 1 || bits > INT32_MAX) return value_error(kName, "bits must be at least 1");
        if (best < 1) return value_error(kName, "best_views must be at least 1");
        // The kernel indexes the stacks by the boxes: it gets a copy, checked
        // here, that no other thread can change while it runs.
        std::vector<std::int32_t> box;
        try {
            box.resize(std::size_t(views) * 4);
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        const kernels::Array2<const std::int32_t> given = boxes.array();
        for (std::int64_t v = 0; v < views; ++v) {
            std::int64_t side[4];
            for (int i = 0; i < 4; ++i)
                side[i] = box[std::size_t(v * 4 + i)] = *kernels::at(given.data, v * given.stride[0] + i * 4);
            const std::int64_t rows = side[1] - side[0], columns = side[3] - side[2];
            if (rows < 0 || columns < 0 || (rows > 0 && columns > cells / rows)) {
                PyErr_Format(PyExc_ValueError,
                             "%s(): boxes[%lld] must be (first row, end row, first column, end column) of at most "
                             "codes.shape[1] cells",
                             kName, static_cast<long long>(v));
                return nullptr;
            }
        }
        if (!binding::require_separate(plane, codes, kName, "argument 'plane'", "argument 'codes'") ||
            !binding::require_separate(plane, whole, kName, "argument 'plane'", "argument 'whole'") ||
            !binding::require_separate(plane, boxes, kName, "argument 'plane'", "argument 'boxes'"))
            return nullptr;
        const std::int64_t box_extents[] = {views, 4};
        const auto checked = kernels::read_only(kernels::contiguous(box.data(), box_extents));
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::match_cost(codes.array(), whole.array(), checked, std::int32_t(ref), std::int32_t(bits),
                                std::int32_t(std::min<std::int64_t>(best, INT32_MAX)), plane.array());
        }
        Py_RETURN_NONE;
    }
};

struct CensusWhole {
    static constexpr const char* kName = "census_whole";
    enum Arg { samples, valid, r, step, codes, whole };
    static constexpr auto kParams = std::make_tuple(
        InArray<const float, 2>{"samples", 0}, InArray<const std::uint8_t, 2>{"valid", 0}, Int64{"r", 0},
        Int64{"step", 0}, OutArray<std::uint64_t, 2>{"codes", 0}, OutArray<std::uint8_t, 2>{"whole", 0});
    static constexpr const char* kDoc =
        "census_whole(samples, valid, r, step, codes, whole)\n--\n\n"
        "whole_windows(valid, r, step, whole), and into codes (uint64) the census code of the float32\n"
        "samples with rows = columns = r where the window is whole, 0 elsewhere: all four arrays of\n"
        "one shape.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& samples = a.get<Arg::samples>();
        const auto& valid = a.get<Arg::valid>();
        const auto& codes = a.get<Arg::codes>();
        const auto& whole = a.get<Arg::whole>();
        const std::int64_t r = a.get<Arg::r>(), step = a.get<Arg::step>();
        if (r < 0 || r > 3) return value_error(kName, "r must be 0 to 3: the code's bits must fit 64");
        if (step < 1 || step > INT32_MAX) return value_error(kName, "step must be at least 1");
        const std::int64_t cells[] = {samples.extent(0), samples.extent(1)};
        if (!binding::require_extents(valid, kName, "argument 'valid'", cells, /*at_least=*/false) ||
            !binding::require_extents(codes, kName, "argument 'codes'", cells, /*at_least=*/false) ||
            !binding::require_extents(whole, kName, "argument 'whole'", cells, /*at_least=*/false) ||
            !binding::require_separate(codes, samples, kName, "argument 'codes'", "argument 'samples'") ||
            !binding::require_separate(codes, valid, kName, "argument 'codes'", "argument 'valid'") ||
            !binding::require_separate(whole, samples, kName, "argument 'whole'", "argument 'samples'") ||
            !binding::require_separate(whole, valid, kName, "argument 'whole'", "argument 'valid'") ||
            !binding::require_separate(whole, codes, kName, "argument 'whole'", "argument 'codes'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::census_whole(samples.array(), valid.array(), std::int32_t(r), std::int32_t(step), codes.array(),
                                  whole.array());
        }
        Py_RETURN_NONE;
    }
};

struct SelectHeights {
    static constexpr const char* kName = "select_heights";
    enum Arg { agg, lowest, step, agree, uniqueness, z, unique };
    static constexpr auto kParams =
        std::make_tuple(InArray<const float, 3>{"agg", 0}, Real{"lowest", 0}, Real{"step", 0}, Real{"agree", 0},
                        Single{"uniqueness", 0}, OutArray<float, 2>{"z", 0}, OutArray<std::uint8_t, 2>{"unique", 0});
    static constexpr const char* kDoc =
        "select_heights(agg, lowest, step, agree, uniqueness, z, unique)\n--\n\n"
        "Best height of every cell of a (D, H, W) float32 aggregated cost volume into z ((H, W)\n"
        "float32): the first label of least cost (argmin's rule), refined by the vertex of the parabola\n"
        "through its cost and its neighbours' (within half a label), as lowest + label * step; and\n"
        "into unique ((H, W) uint8) 1 where that cost is below uniqueness times the least cost more\n"
        "than `agree` labels away, else 0.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& agg = a.get<Arg::agg>();
        const auto& z = a.get<Arg::z>();
        const auto& unique = a.get<Arg::unique>();
        if (agg.extent(0) < 1 || agg.extent(0) >= (std::int64_t(1) << 24))
            return value_error(kName, "agg must have from 1 to 2**24 - 1 labels");
        const std::int64_t cells[] = {agg.extent(1), agg.extent(2)};
        if (!binding::require_extents(z, kName, "argument 'z'", cells, /*at_least=*/false) ||
            !binding::require_extents(unique, kName, "argument 'unique'", cells, /*at_least=*/false) ||
            !binding::require_separate(z, agg, kName, "argument 'z'", "argument 'agg'") ||
            !binding::require_separate(unique, agg, kName, "argument 'unique'", "argument 'agg'") ||
            !binding::require_separate(unique, z, kName, "argument 'unique'", "argument 'z'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::select_heights(agg.array(), a.get<Arg::lowest>(), a.get<Arg::step>(), a.get<Arg::agree>(),
                                    a.get<Arg::uniqueness>(), z.array(), unique.array());
        }
        Py_RETURN_NONE;
    }
};

struct ConsistencyMask {
    static constexpr const char* kName = "consistency_mask";
    enum Arg { za, ua, zb, ub, seen, tolerance, needed, matched, raw };
    static constexpr auto kParams = std::make_tuple(
        InArray<const float, 2>{"za", 0}, InArray<const std::uint8_t, 2>{"ua", 0}, InArray<const float, 2>{"zb", 0},
        InArray<const std::uint8_t, 2>{"ub", 0}, InArray<const std::int32_t, 2>{"seen", 0}, Real{"tolerance", 0},
        Int64{"needed", 0}, OutArray<std::uint8_t, 2>{"matched", 0}, OutArray<float, 2>{"raw", 0});
    static constexpr const char* kDoc =
        "consistency_mask(za, ua, zb, ub, seen, tolerance, needed, matched, raw)\n--\n\n"
        "Cells on which two reference views agree, into matched ((H, W) uint8, 1 or 0): both unique\n"
        "(ua, ub nonzero), |za - zb| (in float32) at most tolerance, and seen >= needed; and into raw\n"
        "((H, W) float32) the mean 0.5 * (za + zb) there, NaN elsewhere.  Every array has za's shape.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& za = a.get<Arg::za>();
        const auto& matched = a.get<Arg::matched>();
        const auto& raw = a.get<Arg::raw>();
        using Subject = std::pair<const binding::ArrayView*, const char*>;
        const Subject inputs[] = {{&za, "argument 'za'"},     {&a.get<Arg::ua>(), "argument 'ua'"},
                                  {&a.get<Arg::zb>(), "argument 'zb'"}, {&a.get<Arg::ub>(), "argument 'ub'"},
                                  {&a.get<Arg::seen>(), "argument 'seen'"}};
        const Subject results[] = {{&matched, "argument 'matched'"}, {&raw, "argument 'raw'"}};
        const std::int64_t cells[] = {za.extent(0), za.extent(1)};
        for (const auto& [array, subject] : inputs)
            if (!binding::require_extents(*array, kName, subject, cells, /*at_least=*/false)) return nullptr;
        for (const auto& [result, subject] : results) {
            if (!binding::require_extents(*result, kName, subject, cells, /*at_least=*/false)) return nullptr;
            for (const auto& [input, input_subject] : inputs)
                if (!binding::require_separate(*result, *input, kName, subject, input_subject)) return nullptr;
        }
        if (!binding::require_separate(raw, matched, kName, "argument 'raw'", "argument 'matched'")) return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::consistency_mask(za.array(), a.get<Arg::ua>().array(), a.get<Arg::zb>().array(),
                                      a.get<Arg::ub>().array(), a.get<Arg::seen>().array(), a.get<Arg::tolerance>(),
                                      a.get<Arg::needed>(), matched.array(), raw.array());
        }
        Py_RETURN_NONE;
    }
};

struct FillHoles {
    static constexpr const char* kName = "fill_holes";
    enum Arg { z, rings, ring, queue };
    static constexpr auto kParams = std::make_tuple(OutArray<float, 2>{"z", 0}, Int64{"rings", 0},
                                                    OutArray<std::int32_t, 2>{"ring", 0},
                                                    OutArray<std::int32_t, 2>{"queue", 0});
    static constexpr const char* kDoc =
        "fill_holes(z, rings, ring, queue)\n--\n\n"
        "Fills the NaN cells of the (H, W) float32 grid z in place, ring by ring: in each ring every\n"
        "NaN cell takes the least of its 8 neighbours that held a value before the ring, if that is\n"
        "finite; at most `rings` rings (no limit when negative).  ring ((H, W) int32) and queue\n"
        "((2, H * W) int32) are scratch of any content.  At most 2**31 - 1 cells.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& z = a.get<Arg::z>();
        const auto& ring = a.get<Arg::ring>();
        const auto& queue = a.get<Arg::queue>();
        const std::int64_t H = z.extent(0), W = z.extent(1);
        if (W > 0 && H > INT32_MAX / W) return value_error(kName, "z must have at most 2**31 - 1 cells");
        const std::int64_t cells[] = {H, W}, lists[] = {2, H * W};
        if (!binding::require_extents(ring, kName, "argument 'ring'", cells, /*at_least=*/false) ||
            !binding::require_extents(queue, kName, "argument 'queue'", lists, /*at_least=*/false) ||
            !binding::require_separate(ring, z, kName, "argument 'ring'", "argument 'z'") ||
            !binding::require_separate(queue, z, kName, "argument 'queue'", "argument 'z'") ||
            !binding::require_separate(queue, ring, kName, "argument 'queue'", "argument 'ring'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::fill_holes(z.array(), a.get<Arg::rings>(), ring.array(), queue.array());
        }
        Py_RETURN_NONE;
    }
};

// The checks that census_cost and census_counts share: first in range, the
// two images' codes of one shape, the volume (D, H, W) of that shape and
// apart from both.
bool census_volume_arguments(const char* function, const binding::ArrayView& left, const binding::ArrayView& right,
                             std::int64_t first, const binding::ArrayView& volume, const char* volume_name) {
    if (first < 0 || first > INT32_MAX) return value_error(function, "first must be from 0 to 2**31 - 1"), false;
    const std::int64_t pixels[] = {left.extent(0), left.extent(1)};
    const std::int64_t planes[] = {volume.extent(0), left.extent(0), left.extent(1)};
    return binding::require_extents(right, function, "argument 'right'", pixels, /*at_least=*/false) &&
           binding::require_extents(volume, function, volume_name, planes, /*at_least=*/false) &&
           binding::require_separate(volume, left, function, volume_name, "argument 'left'") &&
           binding::require_separate(volume, right, function, volume_name, "argument 'right'");
}

struct CensusCost {
    static constexpr const char* kName = "census_cost";
    enum Arg { left, right, first, scale, outside, cost };
    static constexpr auto kParams =
        std::make_tuple(InArray<const std::uint64_t, 2>{"left", 0}, InArray<const std::uint64_t, 2>{"right", 0},
                        Int64{"first", 0}, Single{"scale", 0}, Single{"outside", 0}, OutArray<float, 3>{"cost", 0});
    static constexpr const char* kDoc =
        "census_cost(left, right, first, scale, outside, cost)\n--\n\n"
        "The matching cost of a rectified pair from its census codes (uint64, (H, W) each) into cost\n"
        "((D, H, W) float32): plane k holds disparity d = first + k, and cost[k, y, x] is\n"
        "float32(popcount(left[y, x] ^ right[y, x - d])) * float32(scale), or float32(outside) where\n"
        "x - d < 0.  0 <= first <= 2**31 - 1; disjoint ranges of planes can be filled by separate calls.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& left = a.get<Arg::left>();
        const auto& right = a.get<Arg::right>();
        const auto& cost = a.get<Arg::cost>();
        const std::int64_t first = a.get<Arg::first>();
        if (!census_volume_arguments(kName, left, right, first, cost, "argument 'cost'")) return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::census_cost(left.array(), right.array(), first, a.get<Arg::scale>(), a.get<Arg::outside>(),
                                 cost.array());
        }
        Py_RETURN_NONE;
    }
};

struct CensusCounts {
    static constexpr const char* kName = "census_counts";
    enum Arg { left, right, first, counts };
    static constexpr auto kParams =
        std::make_tuple(InArray<const std::uint64_t, 2>{"left", 0}, InArray<const std::uint64_t, 2>{"right", 0},
                        Int64{"first", 0}, OutArray<std::uint8_t, 3>{"counts", 0});
    static constexpr const char* kDoc =
        "census_counts(left, right, first, counts)\n--\n\n"
        "census_cost() before its scale, a quarter of its bytes: counts ((D, H, W) uint8) receives\n"
        "popcount(left[y, x] ^ right[y, x - d]) for d = first + k, and 255 where x - d < 0.  sgm_counts\n"
        "aggregates it.  0 <= first <= 2**31 - 1.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& left = a.get<Arg::left>();
        const auto& right = a.get<Arg::right>();
        const auto& counts = a.get<Arg::counts>();
        const std::int64_t first = a.get<Arg::first>();
        if (!census_volume_arguments(kName, left, right, first, counts, "argument 'counts'")) return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::census_counts(left.array(), right.array(), first, counts.array());
        }
        Py_RETURN_NONE;
    }
};

struct RightWinner {
    static constexpr const char* kName = "right_winner";
    enum Arg { volume, best };
    static constexpr auto kParams =
        std::make_tuple(InArray<const float, 3>{"volume", 0}, OutArray<std::int32_t, 2>{"best", 0});
    static constexpr const char* kDoc =
        "right_winner(volume, best)\n--\n\n"
        "The best whole disparity of every pixel of the right image, read from the left image's (D, H, W)\n"
        "float32 cost volume along its diagonals, into best ((H, W) int32): right pixel (y, x) is left\n"
        "pixel (y, x + d) at disparity d, for d < min(D, W - x).  Only a strictly smaller cost replaces\n"
        "the running lowest, which starts at +inf: of equal costs the smaller disparity wins, a NaN never\n"
        "does, and a pixel without a cost below +inf gets 0.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& volume = a.get<Arg::volume>();
        const auto& best = a.get<Arg::best>();
        const std::int64_t pixels[] = {volume.extent(1), volume.extent(2)};
        if (!binding::require_extents(best, kName, "argument 'best'", pixels, /*at_least=*/false) ||
            !binding::require_separate(best, volume, kName, "argument 'best'", "argument 'volume'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::right_winner(volume.array(), best.array());
        }
        Py_RETURN_NONE;
    }
};

struct LeftRightCheck {
    static constexpr const char* kName = "left_right_check";
    enum Arg { left, right, tolerance, matched };
    static constexpr auto kParams =
        std::make_tuple(InArray<const float, 2>{"left", 0}, InArray<const std::int32_t, 2>{"right", 0},
                        binding::Real{"tolerance", 0}, OutArray<std::uint8_t, 2>{"matched", 0});
    static constexpr const char* kDoc =
        "left_right_check(left, right, tolerance, matched)\n--\n\n"
        "1 into matched ((H, W) uint8) where a left pixel's match points back to it, else 0: with\n"
        "t = rint(x - left[y, x]) in float64, 0 <= t < W and |left[y, x] - right[y, t]| <= tolerance\n"
        "in float64.  left holds the left image's disparities ((H, W) float32), right the right\n"
        "image's whole ones ((H, W) int32).";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& left = a.get<Arg::left>();
        const auto& right = a.get<Arg::right>();
        const auto& matched = a.get<Arg::matched>();
        const std::int64_t pixels[] = {left.extent(0), left.extent(1)};
        if (!binding::require_extents(right, kName, "argument 'right'", pixels, /*at_least=*/false) ||
            !binding::require_extents(matched, kName, "argument 'matched'", pixels, /*at_least=*/false) ||
            !binding::require_separate(matched, left, kName, "argument 'matched'", "argument 'left'") ||
            !binding::require_separate(matched, right, kName, "argument 'matched'", "argument 'right'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::left_right_check(left.array(), right.array(), a.get<Arg::tolerance>(), matched.array());
        }
        Py_RETURN_NONE;
    }
};

// ---------------------------------------------------------------------------
// The module.

template <typename... F>
struct Functions {
    static inline PyMethodDef methods[] = {method<F>()..., {nullptr, nullptr, 0, nullptr}};
    static bool intern() { return (binding::intern_parameter_names(signature_of<F>()) && ...); }
};
using Module = Functions<Census, Sgm, WholeWindows, MatchCost, CensusWhole, BlockPeaks, CastRays, Visibility,
                         SelectHeights, ConsistencyMask, FillHoles, CensusCost, RightWinner, LeftRightCheck,
                         CensusCounts, SgmCounts>;

int module_exec(PyObject* module) {
    if (!binding::warn_on_version_mismatch("quiltmap._pipeline") || !Module::intern()) return -1;
    return PyModule_AddFunctions(module, Module::methods);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    QUILTMAP_MODULE_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_pipeline",
    "The matching pipeline's steps at kernel speed: census codes, matching costs, selection, consistency,\n"
    "hole filling and visibility, into arrays the caller passes in.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quiltmap

PyMODINIT_FUNC PyInit__pipeline(void) { return PyModuleDef_Init(&quiltmap::module_def); }
