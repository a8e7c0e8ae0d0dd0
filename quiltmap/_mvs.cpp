// quiltmap._mvs: dense-stereo kernels as the interpreter meets them.
//
// The module is loaded once per process, into one interpreter, and never
// unloaded: everything it keeps lives in process-wide storage written only by
// create and exec.  Its three functions are objects of a function type of
// its own (vectorcall, with the attributes of a Python function and an empty
// code object each), so that tools such as inspect and pickle treat them
// like the Python functions whose interface they keep.  Every failure adds
// one traceback entry that names the function and the source line of the
// failing statement.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_16_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <exception>
#include <new>

#include "binding/arguments.hpp"
#include "binding/ref.hpp"
#include "binding/version.hpp"
#include "binding/view_object.hpp"
#include "binding/views.hpp"
#include "kernels/bilateral.hpp"
#include "kernels/levels.hpp"
#include "kernels/sample_view.hpp"
#include "kernels/sgm.hpp"

namespace quiltmap {
namespace {

using binding::ArrayView;
using binding::CallArguments;
using binding::Ref;

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
std::uint32_t runtime_version = 0;    // packed, parsed once

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

// Py_NewRef arrived only in CPython 3.10.
PyObject* new_ref(PyObject* object) {
    Py_XINCREF(object);
    return object;
}

// ---------------------------------------------------------------------------
// Traceback entries and module-global lookup.

// Adds one entry (file, line, name) to the pending exception's traceback;
// `globals` is the module dictionary the entry's frame belongs to.
void add_traceback(PyObject* globals, const char* function, int line, const char* file = kSourcePath) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    // An empty code object reports its first line for any instruction, so
    // the entry shows `line` without a line table.
    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    if (code == nullptr) {  // the new failure replaces the pending one
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_DECREF(code);
    if (frame == nullptr) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame == nullptr) return;
    frame->f_lineno = line;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// What `name` stands for in the module (whose dictionary is `globals`) at
// this moment: the dictionary, then the builtins, else NameError.  Looked up
// afresh each time, so that rebinding or deleting the module attribute takes
// effect at the next use.
Ref lookup_global(PyObject* globals, PyObject* name) {
    if (PyObject* value = PyDict_GetItemWithError(globals, name)) return Ref::borrow(value);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
        PyErr_Clear();
    }
    Ref builtin(PyObject_GetAttr(builtins_module, name));
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return builtin;
}

// np.<allocator>(shape, np.float32), with `np` looked up for each use.
Ref allocate_float32(PyObject* globals, PyObject* allocator_name, const std::int64_t* extents, int axes) {
    Ref np = lookup_global(globals, names.np);
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
    np = lookup_global(globals, names.np);
    if (!np) return Ref();
    Ref dtype(PyObject_GetAttr(np.get(), names.float32));
    if (!dtype) return Ref();
    return Ref(PyObject_CallFunctionObjArgs(allocator.get(), shape.get(), dtype.get(), nullptr));
}

// A writable float32 view on an array the call made itself, which must have
// exactly the extents the kernel will index it with: `np` may be rebound to
// anything, and nothing else stands between its results and the kernel.
bool view_own_array(ArrayView& view, PyObject* array, int axes, const char* function, const char* what,
                    const std::int64_t* extents) {
    return view.acquire(array, binding::ViewRule{&binding::kFloat, axes, true}) &&
           binding::require_extents(view, function, what, extents, /*at_least=*/false);
}

// ---------------------------------------------------------------------------
// The three functions.  Each body starts with bound, converted arguments and
// the interpreter lock held, reaches module globals through `globals`, and
// sets *line before every statement that can fail.

using binding::kConstDouble;
using binding::kConstFloat;
using binding::kConstUnsignedChar;
using binding::kFloat;
using binding::kUint8;
using binding::Param;
using binding::ParamKind;

constexpr binding::ViewRule kNoView{nullptr, 0, false};

Param array_param(const char* name, const binding::ElementType& element, int axes, bool writable, int line) {
    return Param{name, ParamKind::Array, binding::ViewRule{&element, axes, writable}, line};
}
Param number_param(const char* name, ParamKind kind, int line) { return Param{name, kind, kNoView, line}; }

// sample_view(img, R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z, out, valid)
namespace sample_view_arg {
enum Index { img, R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z, out, valid };
}
const Param kSampleViewParams[] = {
    array_param("img", kConstFloat, 3, false, 12),  array_param("R", kConstDouble, 2, false, 12),
    array_param("C", kConstDouble, 1, false, 12),   number_param("f", ParamKind::Real, 13),
    number_param("k1", ParamKind::Real, 13),        number_param("k2", ParamKind::Real, 13),
    number_param("cx", ParamKind::Real, 13),        number_param("cy", ParamKind::Real, 13),
    number_param("X0", ParamKind::Real, 14),        number_param("Y0", ParamKind::Real, 14),
    number_param("gsd", ParamKind::Real, 14),       array_param("Z", kConstFloat, 2, false, 14),
    array_param("out", kFloat, 3, true, 15),        array_param("valid", kUint8, 2, true, 15),
};

PyObject* sample_view_body(CallArguments& a, PyObject*, int* line) {
    namespace arg = sample_view_arg;
    const ArrayView& img = a.view(arg::img);
    const ArrayView& Z = a.view(arg::Z);
    const ArrayView& out = a.view(arg::out);
    const ArrayView& valid = a.view(arg::valid);
    const std::int64_t H = Z.extent(0), W = Z.extent(1);
    kernels::Camera camera{};
    // Without cells nothing is read or written, whatever the other arrays.
    if (H > 0 && W > 0) {
        const std::int64_t rotation[] = {3, 3}, centre[] = {3};
        const std::int64_t samples[] = {H, W, img.extent(2)}, cells[] = {H, W};
        *line = 12;
        if (!binding::require_extents(a.view(arg::R), "sample_view", "argument 'R'", rotation, true) ||
            !binding::require_extents(a.view(arg::C), "sample_view", "argument 'C'", centre, true)) {
            return nullptr;
        }
        *line = 15;
        if (!binding::require_extents(out, "sample_view", "argument 'out'", samples, true) ||
            !binding::require_extents(valid, "sample_view", "argument 'valid'", cells, true)) {
            return nullptr;
        }
        const auto R = a.view(arg::R).read<double, 2>();
        const auto C = a.view(arg::C).read<double, 1>();
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) camera.R[i][j] = *kernels::at(R.data, i * R.stride[0] + j * R.stride[1]);
            camera.C[i] = *kernels::at(C.data, i * C.stride[0]);
        }
    }
    camera.f = a.real(arg::f);
    camera.k1 = a.real(arg::k1);
    camera.k2 = a.real(arg::k2);
    camera.cx = a.real(arg::cx);
    camera.cy = a.real(arg::cy);
    const kernels::GroundGrid grid{a.real(arg::X0), a.real(arg::Y0), a.real(arg::gsd)};
    {
        binding::WithoutInterpreterLock unlocked;
        kernels::sample_view(img.read<float, 3>(), camera, grid, Z.read<float, 2>(), out.write<float, 3>(),
                             valid.write<std::uint8_t, 2>());
    }
    Py_RETURN_NONE;
}

// sgm(cost, P1, P2)
namespace sgm_arg {
enum Index { cost, P1, P2 };
}
const Param kSgmParams[] = {
    array_param("cost", kConstFloat, 3, false, 56),
    number_param("P1", ParamKind::Single, 56),
    number_param("P2", ParamKind::Single, 56),
};

PyObject* sgm_body(CallArguments& a, PyObject* globals, int* line) {
    const ArrayView& cost = a.view(sgm_arg::cost);
    const std::int64_t extents[] = {cost.extent(0), cost.extent(1), cost.extent(2)};
    *line = 61;
    Ref agg_np = allocate_float32(globals, names.zeros, extents, 3);
    if (!agg_np) return nullptr;
    *line = 62;
    Ref path_np = allocate_float32(globals, names.zeros, extents, 3);
    if (!path_np) return nullptr;
    ArrayView agg, path;
    *line = 63;
    if (!view_own_array(agg, agg_np.get(), 3, "sgm", "the result array 'agg'", extents) ||
        !binding::require_separate(agg, cost, "sgm", "the result array 'agg'", "argument 'cost'")) {
        return nullptr;
    }
    *line = 64;
    if (!view_own_array(path, path_np.get(), 3, "sgm", "the path buffer 'L'", extents) ||
        !binding::require_separate(path, cost, "sgm", "the path buffer 'L'", "argument 'cost'") ||
        !binding::require_separate(path, agg, "sgm", "the path buffer 'L'", "the result array 'agg'")) {
        return nullptr;
    }
    binding::advise_huge_pages(agg);
    binding::advise_huge_pages(path);  // whose first megabytes hold the kernel's rows of scratch
    {
        binding::WithoutInterpreterLock unlocked;
        kernels::sgm_aggregate(cost.read<float, 3>(), a.single(sgm_arg::P1), a.single(sgm_arg::P2),
                               agg.write<float, 3>(), path.write<float, 3>());
    }
    return agg_np.release();
}

// bilateral(Z, valid, radius, sigma_r, sigma_s)
namespace bilateral_arg {
enum Index { Z, valid, radius, sigma_r, sigma_s };
}
const Param kBilateralParams[] = {
    array_param("Z", kConstFloat, 2, false, 113),
    array_param("valid", kConstUnsignedChar, 2, false, 113),
    number_param("radius", ParamKind::Int32, 113),
    number_param("sigma_r", ParamKind::Single, 114),
    number_param("sigma_s", ParamKind::Single, 114),
};

PyObject* bilateral_body(CallArguments& a, PyObject* globals, int* line) {
    const ArrayView& Z = a.view(bilateral_arg::Z);
    const ArrayView& valid = a.view(bilateral_arg::valid);
    const std::int32_t radius = a.int32(bilateral_arg::radius);
    const std::int64_t cells[] = {Z.extent(0), Z.extent(1)};
    *line = 113;
    if (cells[0] > 0 && cells[1] > 0 &&
        !binding::require_extents(valid, "bilateral", "argument 'valid'", cells, /*at_least=*/true)) {
        return nullptr;
    }

    // out_np = np.array(<view of Z>, copy=True)
    *line = 121;
    Ref out_np;
    {
        Ref np = lookup_global(globals, names.np);
        if (!np) return nullptr;
        Ref array(PyObject_GetAttr(np.get(), names.array));
        if (!array) return nullptr;
        Ref source(binding::make_view_object(a.object(bilateral_arg::Z), binding::ViewRule{&kConstFloat, 2, false}));
        if (!source) return nullptr;
        PyObject* call_args[] = {source.get(), Py_True};
        out_np = Ref(PyObject_Vectorcall(array.get(), call_args, 1, names.copy_keyword));
        if (!out_np) return nullptr;
    }
    ArrayView out;
    *line = 122;
    // A copy of its own: np.array may have been rebound to something that
    // hands back our view object, or an array over Z's memory.
    if (binding::is_view_object(out_np.get())) {
        PyErr_SetString(PyExc_ValueError,
                        "bilateral(): the result array 'out' is the module's view of argument 'Z', not a copy");
        return nullptr;
    }
    if (!view_own_array(out, out_np.get(), 2, "bilateral", "the result array 'out'", cells) ||
        !binding::require_separate(out, Z, "bilateral", "the result array 'out'", "argument 'Z'") ||
        !binding::require_separate(out, valid, "bilateral", "the result array 'out'", "argument 'valid'")) {
        return nullptr;
    }

    const float inv_r = kernels::bilateral_scale(a.single(bilateral_arg::sigma_r));
    const float inv_s = kernels::bilateral_scale(a.single(bilateral_arg::sigma_s));

    // The spatial table; a table side that does not fit NumPy's sizes (a
    // negative or huge radius) is NumPy's to refuse, so it is formed in 64
    // bits and never wraps around.
    *line = 126;
    const std::int64_t side = 2 * static_cast<std::int64_t>(radius) + 1;
    const std::int64_t table_extents[] = {side, side};
    Ref table_np = allocate_float32(globals, names.empty, table_extents, 2);
    if (!table_np) return nullptr;
    ArrayView table;
    if (!view_own_array(table, table_np.get(), 2, "bilateral", "the weight table 'sw'", table_extents) ||
        !binding::require_separate(table, Z, "bilateral", "the weight table 'sw'", "argument 'Z'") ||
        !binding::require_separate(table, valid, "bilateral", "the weight table 'sw'", "argument 'valid'") ||
        !binding::require_separate(table, out, "bilateral", "the weight table 'sw'", "the result array 'out'")) {
        return nullptr;
    }
    // The pass reads no offset beyond the grid, so a huge radius on a small
    // grid does not cost a power per table entry with the lock held.
    const std::int64_t reach = std::max(cells[0], cells[1]) - 1;
    kernels::bilateral_spatial_table(radius, inv_s, reach, table.write<float, 2>());
    {
        binding::WithoutInterpreterLock unlocked;
        kernels::bilateral_filter(Z.read<float, 2>(), valid.read<std::uint8_t, 2>(), radius, inv_r,
                                  table.read<float, 2>(), out.write<float, 2>());
    }
    return out_np.release();
}

// ---------------------------------------------------------------------------
// The function table: names, source lines, parameters, locals, documentation.

PyObject* sample_view_names[std::size(kSampleViewParams)];
PyObject* sgm_names[std::size(kSgmParams)];
PyObject* bilateral_names[std::size(kBilateralParams)];

const binding::Signature kSampleViewSignature{"sample_view", 12, kSampleViewParams,
                                              static_cast<int>(std::size(kSampleViewParams)), sample_view_names};
const binding::Signature kSgmSignature{"sgm", 56, kSgmParams, static_cast<int>(std::size(kSgmParams)), sgm_names};
const binding::Signature kBilateralSignature{"bilateral", 113, kBilateralParams,
                                             static_cast<int>(std::size(kBilateralParams)), bilateral_names};

// The functions' local names, as their code objects list them after the
// parameters.
const char* const kSampleViewLocals[] = {"H",  "W",  "h",  "w",  "nch", "r",  "c",  "ch", "x0", "y0",
                                         "x1", "y1", "X",  "Y",  "dx",  "dy", "dz", "xc", "yc", "zc",
                                         "nx", "ny", "r2", "d",  "u",   "v",  "fx", "fy"};
const char* const kSgmLocals[] = {"D", "H", "W",  "agg_np", "L_np", "agg", "L",         "dirs", "k", "dy", "dx",
                                  "yy", "xx", "y", "x",     "py",   "px",  "d", "best_prev", "v",  "a", "b"};
const char* const kBilateralLocals[] = {"H",  "W",  "y",    "x",    "yy", "xx", "dy",    "dx",    "out_np", "out",
                                        "z0", "zk", "wsum", "asum", "dr", "w",  "inv_r", "inv_s", "sw"};

struct FunctionDef {
    const char* name;
    const char* traceback_name;
    const binding::Signature& signature;
    const char* const* locals;
    int local_count;
    const char* doc;
    PyObject* (*body)(CallArguments&, PyObject* globals, int* line);
};

template <std::size_t N>
constexpr int count_of(const char* const (&)[N]) {
    return static_cast<int>(N);
}

const FunctionDef kFunctions[] = {
    {"sample_view", "quiltmap._mvs.sample_view", kSampleViewSignature, kSampleViewLocals,
     count_of(kSampleViewLocals),
     "Grid cell (r, c) is the ground point (X0 + (c+.5) gsd, Y0 - (r+.5) gsd, Z[r, c]).\n"
     "    Writes the bilinear sample of `img` (h, w, ch) to out[r, c] and 1/0 to valid[r, c].\n"
     "    Camera parameters are in the pixel units of `img` (i.e. already scaled).",
     sample_view_body},
    {"sgm", "quiltmap._mvs.sgm", kSgmSignature, kSgmLocals, count_of(kSgmLocals),
     "Semi-global matching: aggregate a (D, H, W) cost volume along 8 directions.\n"
     "    L_r(p, d) = C(p, d) + min(L(p-r, d), L(p-r, d+-1) + P1, min_k L(p-r, k) + P2) - min_k L(p-r, k)\n"
     "    Returns the summed aggregated volume (D, H, W) float32.",
     sgm_body},
    {"bilateral", "quiltmap._mvs.bilateral", kBilateralSignature, kBilateralLocals, count_of(kBilateralLocals),
     "Edge-preserving surface filter. Each valid cell becomes the range- and distance-weighted\n"
     "    average of valid neighbours whose height is close to it, so flat surfaces (roofs, ground) are\n"
     "    smoothed while the tall step at a building edge is preserved (its neighbours across the step are\n"
     "    down-weighted by the range term). NaN/invalid cells are ignored and stay unchanged.",
     bilateral_body},
};
constexpr int kFunctionCount = static_cast<int>(std::size(kFunctions));

PyObject* code_objects[kFunctionCount];  // strong, made once

// ---------------------------------------------------------------------------
// The function type.

struct KernelFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* dict;
    PyObject* annotations;
};

PyObject* kernel_function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                                     PyObject* kwnames) {
    const auto* function = reinterpret_cast<KernelFunction*>(self);
    const FunctionDef& def = *function->def;
    int line = def.signature.first_line;
    PyObject* result = nullptr;
    // Messages are built in std::string, which can throw; no C++ exception
    // may unwind into the interpreter's C frames.  The arguments are
    // released by the unwinding itself, with the lock held.
    try {
        CallArguments arguments;
        if (arguments.bind(def.signature, args, nargsf, kwnames, &line)) {
            result = def.body(arguments, function->globals, &line);
        }
    } catch (const std::bad_alloc&) {
        Py_CLEAR(result);
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        Py_CLEAR(result);
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    if (result == nullptr) add_traceback(function->globals, def.traceback_name, line);
    return result;
}

void kernel_function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<KernelFunction*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->code);
    Py_XDECREF(f->globals);
    Py_XDECREF(f->dict);
    Py_XDECREF(f->annotations);
    Py_TYPE(self)->tp_free(self);
}

PyObject* kernel_function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<KernelFunction*>(self)->qualname, self);
}

// Pickled by reference, like a Python function: module and qualified name.
PyObject* kernel_function_reduce(PyObject* self, PyObject*) {
    return new_ref(reinterpret_cast<KernelFunction*>(self)->qualname);
}

// Bound to an instance when stored on a class, as a Python function is; this
// also makes inspect and pydoc treat the functions as routines.
PyObject* kernel_function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return new_ref(self);
    return PyMethod_New(self, instance);
}

// No argument has a default and nothing is closed over.
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef kernel_function_members[] = {
    {"__name__", T_OBJECT, offsetof(KernelFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(KernelFunction, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(KernelFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(KernelFunction, doc), 0, nullptr},
    {"__code__", T_OBJECT, offsetof(KernelFunction, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(KernelFunction, globals), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(KernelFunction, annotations), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kernel_function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kernel_function_methods[] = {
    {"__reduce__", kernel_function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject kernel_function_type = [] {
    PyTypeObject type = binding::blank_static_type();
    type.tp_name = "quiltmap._mvs.function";
    type.tp_basicsize = sizeof(KernelFunction);
    type.tp_dealloc = kernel_function_dealloc;
    type.tp_vectorcall_offset = offsetof(KernelFunction, vectorcall);
    type.tp_repr = kernel_function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_methods = kernel_function_methods;
    type.tp_members = kernel_function_members;
    type.tp_getset = kernel_function_getset;
    type.tp_descr_get = kernel_function_get;
    type.tp_dictoffset = offsetof(KernelFunction, dict);
    return type;
}();

PyObject* new_kernel_function(const FunctionDef& def, PyObject* code) {
    Ref self(kernel_function_type.tp_alloc(&kernel_function_type, 0));
    if (!self) return nullptr;
    auto* f = reinterpret_cast<KernelFunction*>(self.get());
    f->vectorcall = kernel_function_vectorcall;
    f->def = &def;
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = new_ref(f->name);
    f->module = new_ref(names.module_name);
    f->doc = PyUnicode_FromString(def.doc);
    f->code = new_ref(code);
    f->globals = new_ref(module_dict);
    f->annotations = PyDict_New();
    if (f->name == nullptr || f->doc == nullptr || f->annotations == nullptr) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------
// Start-up.

PyObject* make_code_object(const FunctionDef& def) {
    const binding::Signature& signature = def.signature;
    Ref varnames(PyTuple_New(signature.count + def.local_count));
    if (!varnames) return nullptr;
    for (int i = 0; i < signature.count; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, new_ref(signature.interned_names[i]));
    }
    for (int i = 0; i < def.local_count; ++i) {
        PyObject* local = PyUnicode_InternFromString(def.locals[i]);
        if (local == nullptr) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), signature.count + i, local);
    }
    Ref empty_bytes(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple(PyTuple_New(0));
    Ref file(PyUnicode_FromString(kSourcePath));
    Ref name(PyUnicode_InternFromString(def.name));
    if (!empty_bytes || !empty_tuple || !file || !name) return nullptr;
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames.get()));
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        signature.count, 0, 0, nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS, empty_bytes.get(), empty_tuple.get(),
        empty_tuple.get(), varnames.get(), empty_tuple.get(), empty_tuple.get(), file.get(), name.get(),
        signature.first_line, empty_bytes.get());
    // The constructor adds CO_NOFREE on its own; the flags describe a plain
    // optimised function and nothing more.
    if (code != nullptr) code->co_flags = CO_OPTIMIZED | CO_NEWLOCALS;
    return reinterpret_cast<PyObject*>(code);
}

// A type that the module relies on, and the least instance size that the
// headers it was built with give for it.  Larger is fine (newer releases
// append fields), but for the types whose layout we take as fixed a larger
// size is worth a warning.
struct ImportedType {
    const char* module;
    const char* attribute;
    Py_ssize_t expected_size;
    bool warn_if_larger;
};

const ImportedType kImportedTypes[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), true},
    {"numpy", "dtype", sizeof(PyArray_Descr), false},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), false},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), false},
    {"numpy", "ndarray", sizeof(PyArrayObject), false},
    {"numpy", "generic", sizeof(PyObject), true},
    {"numpy", "number", sizeof(PyObject), true},
    {"numpy", "integer", sizeof(PyObject), true},
    {"numpy", "signedinteger", sizeof(PyObject), true},
    {"numpy", "unsignedinteger", sizeof(PyObject), true},
    {"numpy", "inexact", sizeof(PyObject), true},
    {"numpy", "floating", sizeof(PyObject), true},
    {"numpy", "complexfloating", sizeof(PyObject), true},
    {"numpy", "flexible", sizeof(PyObject), true},
    {"numpy", "character", sizeof(PyObject), true},
    {"numpy", "ufunc", sizeof(PyUFuncObject), false},
};

bool check_imported_type(PyObject* module, const ImportedType& t) {
    Ref object(PyObject_GetAttrString(module, t.attribute));
    if (!object) return false;
    if (!PyType_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", t.module, t.attribute);
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(object.get());
    const Py_ssize_t basic_size = type->tp_basicsize;
    Py_ssize_t item_size = type->tp_itemsize;
    if (item_size > 0 && item_size < 8) item_size = 8;
    if (basic_size + item_size < t.expected_size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, "
                     "got %zd from PyObject",
                     t.module, t.attribute, t.expected_size, basic_size + item_size);
        return false;
    }
    if (t.warn_if_larger && basic_size > t.expected_size) {
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                                "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from "
                                "C header, got %zd from PyObject",
                                t.module, t.attribute, t.expected_size, basic_size) == 0;
    }
    return true;
}

bool check_imported_types() {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    Ref numpy;
    for (const ImportedType& t : kImportedTypes) {
        PyObject* module = builtins.get();
        if (t.module[0] == 'n') {
            if (!numpy) numpy = Ref(PyImport_ImportModule("numpy"));
            if (!numpy) return false;
            module = numpy.get();
        }
        if (!check_imported_type(module, t)) return false;
    }
    return true;
}

// NumPy's own C-API import, with its failures (of class Exception) turned
// into the ImportError that callers of NumPy extensions know, the original
// kept as its context.
bool import_numpy_c_api() {
    if (_import_array() == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyObject *type, *cause, *traceback;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(cause, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject *import_type, *import_error, *import_traceback;
    PyErr_Fetch(&import_type, &import_error, &import_traceback);
    PyErr_NormalizeException(&import_type, &import_error, &import_traceback);
    PyException_SetContext(import_error, cause);  // steals cause
    PyErr_Restore(import_type, import_error, import_traceback);
    // NumPy's header, at the definition of its import procedure.
    add_traceback(module_dict, "numpy.import_array", 1479, "numpy/_core/include/numpy/__multiarray_api.h");
    return false;
}

bool warn_on_version_mismatch() {
    if (runtime_version == 0) runtime_version = binding::parse_version(Py_GetVersion());
    const int major = binding::version_major(runtime_version);
    const int minor = binding::version_minor(runtime_version);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major,
                            minor) == 0;
}

// The kernels' instruction-set level is fixed on first use; choosing it
// here means that a QUILTMAP_ISA value naming no level is reported once, at
// import, and that no call pays for the choice.
bool warn_on_ignored_level_request() {
    const kernels::LevelChoice& choice = kernels::level_choice();
    if (!choice.request_ignored) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "QUILTMAP_ISA='%s' names no instruction-set level (sse2, avx2 or avx512) and is "
                            "ignored; the kernels use %s",
                            choice.request, kernels::level_name(choice.level)) == 0;
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
    for (const FunctionDef& def : kFunctions) {
        if (!binding::intern_parameter_names(def.signature)) return false;
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
        if (code_objects[i] == nullptr) code_objects[i] = make_code_object(kFunctions[i]);
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
    if (!warn_on_version_mismatch() || !warn_on_ignored_level_request()) return false;
    if (!build_string_table()) return false;
    *entries_ready = true;

    *line = 1;
    if (!enter_in_module_table(module) || !make_code_objects() || !check_imported_types()) return false;
    if (PyType_Ready(&kernel_function_type) != 0 || !binding::ready_view_object_type()) return false;
    *line = 4;
    if (!bind_numpy_as_np()) return false;
    *line = 9;
    if (!import_numpy_c_api()) return false;
    for (int i = 0; i < kFunctionCount; ++i) {
        const FunctionDef& def = kFunctions[i];
        *line = def.signature.first_line;
        Ref function(new_kernel_function(def, code_objects[i]));
        if (!function || PyDict_SetItemString(module_dict, def.name, function.get()) != 0) return false;
    }
    *line = 1;
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
    int line = 1;
    bool entries_ready = false;
    if (exec_steps(module, &line, &entries_ready)) return 0;
    if (entries_ready) add_traceback(module_dict, kInitEntry, line);
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
