// quiltmap._mvs: dense-stereo kernels as the interpreter meets them.
//
// The module is loaded once per process, into one interpreter, and never
// unloaded: everything it keeps lives in process-wide storage written only by
// create and exec.  This file holds that state and, per function, one record
// (parameters, locals, documentation, the source lines of its failures)
// beside its body; the machinery that makes them Python functions lives in
// binding/.  Every failure adds one traceback entry that names the function
// and the source line of the failing statement.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "binding/arguments.hpp"
#include "binding/compat.hpp"
#include "binding/function_object.hpp"
#include "binding/interpreter.hpp"
#include "binding/ref.hpp"
#include "binding/startup.hpp"
#include "binding/view_object.hpp"
#include "binding/views.hpp"
#include "kernels/bilateral.hpp"
#include "kernels/levels.hpp"
#include "kernels/sample_view.hpp"
#include "kernels/sgm.hpp"

namespace quiltmap {
namespace {

using binding::Call;
using binding::Ref;
using binding::compat::new_ref;

constexpr const char* kModuleName = "quiltmap._mvs";
// No extension, so that a traceback never shows a line of some real file
// under this name (the C++ source's lines are not the ones reported).
constexpr const char* kSourcePath = "quiltmap/_mvs";
constexpr const char* kInitEntry = "init quiltmap._mvs";

// ---------------------------------------------------------------------------
// Process-wide state, written only by create and exec.

std::int64_t owning_interpreter = -1;
PyObject* module_object = nullptr;    // strong; set while exec runs or once it succeeded
PyObject* module_dict = nullptr;      // strong; the dictionary of module_object
PyObject* builtins_module = nullptr;  // strong

// Identifiers looked up or matched at call time, interned once by exec.
struct Names {
    PyObject* np;
    PyObject* zeros;
    PyObject* empty;
    PyObject* array;
    PyObject* float32;
    PyObject* module_name;
    PyObject* copy_keyword;  // the keyword-name tuple ("copy",)
};
Names names{};

struct InternedName {
    PyObject** slot;
    const char* text;
};
const InternedName kStringTable[] = {
    {&names.np, "np"},           {&names.zeros, "zeros"},   {&names.empty, "empty"},
    {&names.array, "array"},     {&names.float32, "float32"}, {&names.module_name, kModuleName},
};

// ---------------------------------------------------------------------------
// Module globals at call time.

// np.<allocator>(shape, np.float32), with `np` looked up for each use.
Ref allocate_float32(PyObject* globals, PyObject* allocator_name, const std::int64_t* extents, int axes) {
    Ref np = binding::lookup_global(globals, builtins_module, names.np);
    if (!np) return Ref();
    Ref allocator(PyObject_GetAttr(np.get(), allocator_name));
    if (!allocator) return Ref();
    Ref shape(PyTuple_New(axes));
    if (!shape) return Ref();
    for (int axis = 0; axis < axes; ++axis) {
        PyObject* extent = PyLong_FromLongLong(extents[axis]);
        if (extent == nullptr) return Ref();
        PyTuple_SET_ITEM(shape.get(), axis, extent);
    }
    np = binding::lookup_global(globals, builtins_module, names.np);
    if (!np) return Ref();
    Ref dtype(PyObject_GetAttr(np.get(), names.float32));
    if (!dtype) return Ref();
    return Ref(PyObject_CallFunctionObjArgs(allocator.get(), shape.get(), dtype.get(), nullptr));
}

// A writable float32 view on an array the call made itself, which must have
// exactly the extents the kernel will index it with: `np` may be rebound to
// anything, and nothing else stands between its results and the kernel.
template <int N>
bool view_own_array(binding::OutView<float, N>& view, PyObject* array, const char* function, const char* what,
                    const std::int64_t* extents) {
    return view.acquire(array) && binding::require_extents(view, function, what, extents, /*at_least=*/false);
}

template <std::size_t N>
constexpr int count_of(const char* const (&)[N]) {
    return static_cast<int>(N);
}

// ---------------------------------------------------------------------------
// The three functions, each as one record beside its body: its parameters in
// a typed table (with the source line a failed conversion reports), the
// source lines of its other failures, its locals as its code object lists
// them, and its documentation.  A body starts with bound, converted
// arguments and the interpreter lock held, reaches module globals through
// call.globals(), and reports a failure with call.fail(<line>).

using binding::InArray;
using binding::OutArray;

namespace sample_view_fn {
constexpr const char* kName = "sample_view";
enum Arg { img, R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z, out, valid };
// A conversion fails at the line that lists its parameter: img, R and C on
// the first, then the intrinsics, the grid and the outputs.
enum Line { first = 12, intrinsics = 13, grid = 14, outputs = 15, camera = first };
constexpr auto kParams = std::make_tuple(
    InArray<const float, 3>{"img", Line::first}, InArray<const double, 2>{"R", Line::first},
    InArray<const double, 1>{"C", Line::first}, binding::Real{"f", Line::intrinsics},
    binding::Real{"k1", Line::intrinsics}, binding::Real{"k2", Line::intrinsics},
    binding::Real{"cx", Line::intrinsics}, binding::Real{"cy", Line::intrinsics}, binding::Real{"X0", Line::grid},
    binding::Real{"Y0", Line::grid}, binding::Real{"gsd", Line::grid}, InArray<const float, 2>{"Z", Line::grid},
    OutArray<float, 3>{"out", Line::outputs}, OutArray<std::uint8_t, 2>{"valid", Line::outputs});
const char* const kLocals[] = {"H",  "W",  "h", "w", "nch", "r",  "c",  "ch", "x0", "y0", "x1", "y1", "X",  "Y",
                               "dx", "dy", "dz", "xc", "yc", "zc", "nx", "ny", "r2", "d",  "u",  "v",  "fx", "fy"};
constexpr const char* kDoc =
    "Grid cell (r, c) is the ground point (X0 + (c+.5) gsd, Y0 - (r+.5) gsd, Z[r, c]).\n"
    "    Writes the bilinear sample of `img` (h, w, ch) to out[r, c] and 1/0 to valid[r, c].\n"
    "    Camera parameters are in the pixel units of `img` (i.e. already scaled).";

PyObject* body(const binding::Arguments<kParams>& a, Call& call) {
    const auto& img = a.get<Arg::img>();
    const auto& Z = a.get<Arg::Z>();
    const auto& out = a.get<Arg::out>();
    const auto& valid = a.get<Arg::valid>();
    const std::int64_t H = Z.extent(0), W = Z.extent(1);
    kernels::Camera camera{};
    // Without cells nothing is read or written, whatever the other arrays.
    if (H > 0 && W > 0) {
        const std::int64_t rotation[] = {3, 3}, centre[] = {3};
        const std::int64_t samples[] = {H, W, img.extent(2)}, cells[] = {H, W};
        if (!binding::require_extents(a.get<Arg::R>(), kName, "argument 'R'", rotation, true) ||
            !binding::require_extents(a.get<Arg::C>(), kName, "argument 'C'", centre, true)) {
            return call.fail(Line::camera);
        }
        if (!binding::require_extents(out, kName, "argument 'out'", samples, true) ||
            !binding::require_extents(valid, kName, "argument 'valid'", cells, true)) {
            return call.fail(Line::outputs);
        }
        const auto rotation_elements = a.get<Arg::R>().array();
        const auto centre_elements = a.get<Arg::C>().array();
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                camera.R[i][j] = *kernels::at(rotation_elements.data,
                                              i * rotation_elements.stride[0] + j * rotation_elements.stride[1]);
            }
            camera.C[i] = *kernels::at(centre_elements.data, i * centre_elements.stride[0]);
        }
    }
    camera.f = a.get<Arg::f>();
    camera.k1 = a.get<Arg::k1>();
    camera.k2 = a.get<Arg::k2>();
    camera.cx = a.get<Arg::cx>();
    camera.cy = a.get<Arg::cy>();
    const kernels::GroundGrid grid{a.get<Arg::X0>(), a.get<Arg::Y0>(), a.get<Arg::gsd>()};
    {
        binding::WithoutInterpreterLock unlocked;
        kernels::sample_view(img.array(), camera, grid, Z.array(), out.array(), valid.array());
    }
    Py_RETURN_NONE;
}

const binding::Signature kSignature = binding::SignatureOf<kParams>::make(kName, Line::first);
const binding::FunctionDef kDef{kName, "quiltmap._mvs.sample_view", kSourcePath, kSignature, kLocals,
                                count_of(kLocals), kDoc, binding::bind_and_run<kParams, body>};
}  // namespace sample_view_fn

namespace sgm_fn {
constexpr const char* kName = "sgm";
// What its messages call the arrays.
constexpr const char* kCost = "argument 'cost'";
constexpr const char* kAgg = "the result array 'agg'";
constexpr const char* kPath = "the path buffer 'L'";
enum Arg { cost, P1, P2 };
enum Line { first = 56, allocate_agg = 61, allocate_path = 62, view_agg = 63, view_path = 64 };
constexpr auto kParams = std::make_tuple(InArray<const float, 3>{"cost", Line::first},
                                         binding::Single{"P1", Line::first}, binding::Single{"P2", Line::first});
const char* const kLocals[] = {"D",  "H", "W", "agg_np", "L_np", "agg", "L", "dirs",      "k", "dy", "dx",
                               "yy", "xx", "y", "x",      "py",   "px",  "d", "best_prev", "v", "a",  "b"};
constexpr const char* kDoc =
    "Semi-global matching: aggregate a (D, H, W) cost volume along 8 directions.\n"
    "    L_r(p, d) = C(p, d) + min(L(p-r, d), L(p-r, d+-1) + P1, min_k L(p-r, k) + P2) - min_k L(p-r, k)\n"
    "    Returns the summed aggregated volume (D, H, W) float32.";

PyObject* body(const binding::Arguments<kParams>& a, Call& call) {
    const auto& cost = a.get<Arg::cost>();
    const std::int64_t extents[] = {cost.extent(0), cost.extent(1), cost.extent(2)};
    Ref agg_np = allocate_float32(call.globals(), names.zeros, extents, 3);
    if (!agg_np) return call.fail(Line::allocate_agg);
    Ref path_np = allocate_float32(call.globals(), names.zeros, extents, 3);
    if (!path_np) return call.fail(Line::allocate_path);
    binding::OutView<float, 3> agg, path;
    if (!view_own_array(agg, agg_np.get(), kName, kAgg, extents) ||
        !binding::require_separate(agg, cost, kName, kAgg, kCost)) {
        return call.fail(Line::view_agg);
    }
    if (!view_own_array(path, path_np.get(), kName, kPath, extents) ||
        !binding::require_separate(path, cost, kName, kPath, kCost) ||
        !binding::require_separate(path, agg, kName, kPath, kAgg)) {
        return call.fail(Line::view_path);
    }
    binding::advise_huge_pages(agg);
    binding::advise_huge_pages(path);  // whose first megabytes hold the kernel's rows of scratch
    {
        binding::WithoutInterpreterLock unlocked;
        kernels::sgm_aggregate(cost.array(), a.get<Arg::P1>(), a.get<Arg::P2>(), agg.array(), path.array());
    }
    return agg_np.release();
}

const binding::Signature kSignature = binding::SignatureOf<kParams>::make(kName, Line::first);
const binding::FunctionDef kDef{kName, "quiltmap._mvs.sgm", kSourcePath, kSignature, kLocals, count_of(kLocals),
                                kDoc, binding::bind_and_run<kParams, body>};
}  // namespace sgm_fn

namespace bilateral_fn {
constexpr const char* kName = "bilateral";
// What its messages call the arrays.
constexpr const char* kHeights = "argument 'Z'";
constexpr const char* kMask = "argument 'valid'";
constexpr const char* kOut = "the result array 'out'";
constexpr const char* kTable = "the weight table 'sw'";
enum Arg { Z, valid, radius, sigma_r, sigma_s };
// A conversion fails at the line that lists its parameter: Z, valid and
// radius on the first, the two scales on the next.
enum Line { first = 113, scales = 114, mask = first, copy_heights = 121, view_result = 122, weight_table = 126 };
constexpr auto kParams = std::make_tuple(
    InArray<const float, 2>{"Z", Line::first}, InArray<const std::uint8_t, 2>{"valid", Line::first},
    binding::Int32{"radius", Line::first}, binding::Single{"sigma_r", Line::scales},
    binding::Single{"sigma_s", Line::scales});
const char* const kLocals[] = {"H",  "W",  "y",    "x",    "yy", "xx", "dy",    "dx",    "out_np", "out",
                               "z0", "zk", "wsum", "asum", "dr", "w",  "inv_r", "inv_s", "sw"};
constexpr const char* kDoc =
    "Edge-preserving surface filter. Each valid cell becomes the range- and distance-weighted\n"
    "    average of valid neighbours whose height is close to it, so flat surfaces (roofs, ground) are\n"
    "    smoothed while the tall step at a building edge is preserved (its neighbours across the step are\n"
    "    down-weighted by the range term). NaN/invalid cells are ignored and stay unchanged.";

PyObject* body(const binding::Arguments<kParams>& a, Call& call) {
    const auto& Z = a.get<Arg::Z>();
    const auto& valid = a.get<Arg::valid>();
    const std::int32_t radius = a.get<Arg::radius>();
    const std::int64_t cells[] = {Z.extent(0), Z.extent(1)};
    if (cells[0] > 0 && cells[1] > 0 &&
        !binding::require_extents(valid, kName, kMask, cells, /*at_least=*/true)) {
        return call.fail(Line::mask);
    }

    // out_np = np.array(<view of Z>, copy=True)
    Ref out_np;
    {
        Ref np = binding::lookup_global(call.globals(), builtins_module, names.np);
        if (!np) return call.fail(Line::copy_heights);
        Ref array(PyObject_GetAttr(np.get(), names.array));
        if (!array) return call.fail(Line::copy_heights);
        Ref source(binding::make_view_object(a.object(Arg::Z), binding::InView<const float, 2>::kRule));
        if (!source) return call.fail(Line::copy_heights);
        PyObject* call_args[] = {source.get(), Py_True};
        out_np = Ref(PyObject_Vectorcall(array.get(), call_args, 1, names.copy_keyword));
        if (!out_np) return call.fail(Line::copy_heights);
    }
    binding::OutView<float, 2> out;
    // A copy of its own: np.array may have been rebound to something that
    // hands back our view object, or an array over Z's memory.
    if (binding::is_view_object(out_np.get())) {
        PyErr_Format(PyExc_ValueError, "%s(): %s is the module's view of %s, not a copy", kName, kOut, kHeights);
        return call.fail(Line::view_result);
    }
    if (!view_own_array(out, out_np.get(), kName, kOut, cells) ||
        !binding::require_separate(out, Z, kName, kOut, kHeights) ||
        !binding::require_separate(out, valid, kName, kOut, kMask)) {
        return call.fail(Line::view_result);
    }

    const float inv_r = kernels::bilateral_scale(a.get<Arg::sigma_r>());
    const float inv_s = kernels::bilateral_scale(a.get<Arg::sigma_s>());

    // The spatial table; a table side that does not fit NumPy's sizes (a
    // negative or huge radius) is NumPy's to refuse, so it is formed in 64
    // bits and never wraps around.
    const std::int64_t side = 2 * static_cast<std::int64_t>(radius) + 1;
    const std::int64_t table_extents[] = {side, side};
    Ref table_np = allocate_float32(call.globals(), names.empty, table_extents, 2);
    if (!table_np) return call.fail(Line::weight_table);
    binding::OutView<float, 2> table;
    if (!view_own_array(table, table_np.get(), kName, kTable, table_extents) ||
        !binding::require_separate(table, Z, kName, kTable, kHeights) ||
        !binding::require_separate(table, valid, kName, kTable, kMask) ||
        !binding::require_separate(table, out, kName, kTable, kOut)) {
        return call.fail(Line::weight_table);
    }
    // The pass reads no offset beyond the grid, so a huge radius on a small
    // grid does not cost a power per table entry with the lock held.
    const std::int64_t reach = std::max(cells[0], cells[1]) - 1;
    kernels::bilateral_spatial_table(radius, inv_s, reach, table.array());
    {
        binding::WithoutInterpreterLock unlocked;
        kernels::bilateral_filter(Z.array(), valid.array(), radius, inv_r, kernels::read_only(table.array()),
                                  out.array());
    }
    return out_np.release();
}

const binding::Signature kSignature = binding::SignatureOf<kParams>::make(kName, Line::first);
const binding::FunctionDef kDef{kName, "quiltmap._mvs.bilateral", kSourcePath, kSignature, kLocals,
                                count_of(kLocals), kDoc, binding::bind_and_run<kParams, body>};
}  // namespace bilateral_fn

// ---------------------------------------------------------------------------
// The module's functions, in the order exec publishes them.

const binding::FunctionDef* const kFunctions[] = {&sample_view_fn::kDef, &sgm_fn::kDef, &bilateral_fn::kDef};
constexpr int kFunctionCount = static_cast<int>(std::size(kFunctions));

PyObject* code_objects[kFunctionCount];  // strong, made once

// ---------------------------------------------------------------------------
// Start-up.

// The kernels' instruction-set level is fixed on first use; choosing it
// here means that a QUILTMAP_ISA value naming no level is reported once, at
// import, and that no call pays for the choice.
bool warn_on_ignored_level_request() {
    const kernels::LevelChoice& choice = kernels::level_choice();
    if (!choice.request_ignored) return true;
    // The levels' names from their table: "sse2, avx2 or avx512".
    char levels[64] = "";
    const std::size_t count = std::size(kernels::kAllLevels);
    for (std::size_t i = 0, used = 0; i < count && used < sizeof levels; ++i) {
        const char* separator = i == 0 ? "" : i + 1 < count ? ", " : " or ";
        used += static_cast<std::size_t>(std::snprintf(levels + used, sizeof levels - used, "%s%s", separator,
                                                       kernels::level_name(kernels::kAllLevels[i])));
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "QUILTMAP_ISA='%s' names no instruction-set level (%s) and is ignored; the kernels use %s",
                            choice.request, levels, kernels::level_name(choice.level)) == 0;
}

bool build_string_table() {
    for (const InternedName& entry : kStringTable) {
        if (*entry.slot == nullptr) *entry.slot = PyUnicode_InternFromString(entry.text);
        if (*entry.slot == nullptr) return false;
    }
    if (names.copy_keyword == nullptr) {
        Ref copy(PyUnicode_InternFromString("copy"));
        if (!copy) return false;
        names.copy_keyword = PyTuple_Pack(1, copy.get());
        if (names.copy_keyword == nullptr) return false;
    }
    for (const binding::FunctionDef* def : kFunctions) {
        if (!binding::intern_parameter_names(def->signature)) return false;
    }
    return true;
}

bool enter_in_module_table(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, names.module_name) != nullptr) return true;
    return !PyErr_Occurred() && PyDict_SetItem(modules, names.module_name, module) == 0;
}

bool make_code_objects() {
    for (int i = 0; i < kFunctionCount; ++i) {
        if (code_objects[i] == nullptr) code_objects[i] = binding::make_code_object(*kFunctions[i]);
        if (code_objects[i] == nullptr) return false;
    }
    return true;
}

bool bind_numpy_as_np() {
    PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
    Ref module = Ref::borrow(numpy);
    if (!module) {
        Ref locals(PyDict_New());
        Ref name(PyUnicode_FromString("numpy"));
        if (!locals || !name) return false;
        module = Ref(PyImport_ImportModuleLevelObject(name.get(), module_dict, locals.get(), nullptr, 0));
        if (!module) return false;
    }
    return PyDict_SetItem(module_dict, names.np, module.get()) == 0;
}

// The lines of the module-level statements that exec's failures report: the
// module's set-up, binding numpy as np, and NumPy's C API; a function's
// definition reports its first line.
enum InitLine { module_setup = 1, bind_numpy = 4, numpy_c_api = 9 };

// The steps of exec after the module object is recorded; *line follows the
// module-level statement under way and *entries_ready tells when failures
// start to carry a traceback entry.
bool exec_steps(PyObject* module, int* line, bool* entries_ready) {
    // Kept from an earlier exec that failed later on: functions it made may
    // still be reachable and look names up through it.
    if (builtins_module == nullptr) builtins_module = new_ref(PyImport_AddModule("builtins"));
    if (builtins_module == nullptr || PyObject_SetAttrString(module, "__builtins__", builtins_module) != 0) {
        return false;
    }
    if (!binding::warn_on_version_mismatch(kModuleName) || !warn_on_ignored_level_request()) return false;
    if (!build_string_table()) return false;
    *entries_ready = true;

    *line = InitLine::module_setup;
    if (!enter_in_module_table(module) || !make_code_objects() || !binding::check_imported_types()) return false;
    if (!binding::ready_function_type() || !binding::ready_view_object_type()) return false;
    *line = InitLine::bind_numpy;
    if (!bind_numpy_as_np()) return false;
    *line = InitLine::numpy_c_api;
    if (!binding::import_numpy_c_api(module_dict)) return false;
    for (int i = 0; i < kFunctionCount; ++i) {
        const binding::FunctionDef& def = *kFunctions[i];
        *line = def.signature.first_line;
        Ref function(binding::new_function(def, code_objects[i], names.module_name, module_dict));
        if (!function || PyDict_SetItemString(module_dict, def.name, function.get()) != 0) return false;
    }
    *line = InitLine::module_setup;
    Ref test_dict(PyDict_New());
    return test_dict && PyDict_SetItemString(module_dict, "__test__", test_dict.get()) == 0;
}

int module_exec(PyObject* module) {
    if (module_object != nullptr) {
        if (module_object == module) return 0;  // a repeated import: initialised already
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_mvs' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_object = new_ref(module);
    module_dict = new_ref(PyModule_GetDict(module));
    int line = InitLine::module_setup;
    bool entries_ready = false;
    if (exec_steps(module, &line, &entries_ready)) return 0;
    if (entries_ready) binding::add_traceback(module_dict, kInitEntry, line, kSourcePath);
    // A later import starts again from create, with a new module object.
    Py_CLEAR(module_dict);
    Py_CLEAR(module_object);
    return -1;
}

// Copies spec.<attribute> into the module's dictionary as `key`; a spec
// without the attribute leaves the key out.
bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* attribute, const char* key,
                         bool skip_none) {
    Ref value(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    if (owning_interpreter == -1) {
        owning_interpreter = interpreter;
    } else if (owning_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (module_object != nullptr) return new_ref(module_object);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    QUILTMAP_MODULE_GIL_SLOT
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_mvs",
    "Dense-stereo CPU kernel: project a ground grid at per-cell heights into a view and sample it.",
    0,
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quiltmap

PyMODINIT_FUNC PyInit__mvs(void) { return PyModuleDef_Init(&quiltmap::module_def); }
