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

#include <cstdint>
#include <tuple>

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

struct Sgm {
    static constexpr const char* kName = "sgm";
    enum Arg { cost, P1, P2, agg, path };
    static constexpr auto kParams =
        std::make_tuple(InArray<const float, 3>{"cost", 0}, Single{"P1", 0}, Single{"P2", 0},
                        OutArray<float, 3>{"agg", 0}, OutArray<float, 3>{"path", 0});
    static constexpr const char* kDoc =
        "sgm(cost, P1, P2, agg, path)\n--\n\n"
        "quiltmap._mvs.sgm into arrays the caller owns: agg receives the sum of the 8 path-cost\n"
        "volumes of the (D, H, W) float32 cost volume, with the same bits; path is scratch of the same\n"
        "shape (any content).  Reusing both across calls saves the first touch of fresh volumes.";

    static PyObject* body(const binding::Arguments<kParams>& a) {
        const auto& cost = a.get<Arg::cost>();
        const auto& agg = a.get<Arg::agg>();
        const auto& path = a.get<Arg::path>();
        const std::int64_t extents[] = {cost.extent(0), cost.extent(1), cost.extent(2)};
        if (!binding::require_extents(agg, kName, "argument 'agg'", extents, /*at_least=*/false) ||
            !binding::require_extents(path, kName, "argument 'path'", extents, /*at_least=*/false) ||
            !binding::require_separate(agg, cost, kName, "argument 'agg'", "argument 'cost'") ||
            !binding::require_separate(path, cost, kName, "argument 'path'", "argument 'cost'") ||
            !binding::require_separate(path, agg, kName, "argument 'path'", "argument 'agg'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::sgm_aggregate(cost.array(), a.get<Arg::P1>(), a.get<Arg::P2>(), agg.array(), path.array());
        }
        Py_RETURN_NONE;
    }
};

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
        if (first < 0 || first > INT32_MAX) return value_error(kName, "first must be from 0 to 2**31 - 1");
        const std::int64_t pixels[] = {left.extent(0), left.extent(1)};
        const std::int64_t planes[] = {cost.extent(0), left.extent(0), left.extent(1)};
        if (!binding::require_extents(right, kName, "argument 'right'", pixels, /*at_least=*/false) ||
            !binding::require_extents(cost, kName, "argument 'cost'", planes, /*at_least=*/false) ||
            !binding::require_separate(cost, left, kName, "argument 'cost'", "argument 'left'") ||
            !binding::require_separate(cost, right, kName, "argument 'cost'", "argument 'right'"))
            return nullptr;
        {
            binding::WithoutInterpreterLock unlocked;
            kernels::census_cost(left.array(), right.array(), first, a.get<Arg::scale>(), a.get<Arg::outside>(),
                                 cost.array());
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
using Module = Functions<Census, Sgm, CensusCost, RightWinner, LeftRightCheck>;

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
