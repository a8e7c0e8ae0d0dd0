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
#include <utility>

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

// ---------------------------------------------------------------------------
// The module.

template <typename... F>
struct Functions {
    static inline PyMethodDef methods[] = {method<F>()..., {nullptr, nullptr, 0, nullptr}};
    static bool intern() { return (binding::intern_parameter_names(signature_of<F>()) && ...); }
};
using Module = Functions<Census, Sgm, SelectHeights, ConsistencyMask, FillHoles>;

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
