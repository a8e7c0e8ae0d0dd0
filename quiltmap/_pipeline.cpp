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
#include <cstdint>
#include <new>
#include <tuple>
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

// ---------------------------------------------------------------------------
// The module.

template <typename... F>
struct Functions {
    static inline PyMethodDef methods[] = {method<F>()..., {nullptr, nullptr, 0, nullptr}};
    static bool intern() { return (binding::intern_parameter_names(signature_of<F>()) && ...); }
};
using Module = Functions<Census, Sgm, WholeWindows, MatchCost, CensusWhole>;

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
