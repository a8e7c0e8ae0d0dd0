// Binding a call's arguments to a function's parameters, and converting
// them, driven by one typed table per function: a std::tuple of parameter
// descriptors, each of which names its parameter, the source line a failed
// conversion reports, and the C++ type the argument becomes.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/convert.hpp"
#include "binding/ref.hpp"
#include "binding/views.hpp"

namespace quiltmap::binding {

// Parameter descriptors.  Value is what the argument becomes.
template <typename T, int N>
struct InArray {  // a read-only array of const T
    const char* name;
    int line;
    using Value = InView<T, N>;
    bool convert(PyObject* object, Value& value) const { return value.acquire(object); }
};

template <typename T, int N>
struct OutArray {  // a writable array of T
    const char* name;
    int line;
    using Value = OutView<T, N>;
    bool convert(PyObject* object, Value& value) const { return value.acquire(object); }
};

struct Real {  // a double
    const char* name;
    int line;
    using Value = double;
    bool convert(PyObject* object, double& value) const { return to_double(object, &value); }
};

struct Single {  // a double rounded to float
    const char* name;
    int line;
    using Value = float;
    bool convert(PyObject* object, float& value) const { return to_single(object, &value); }
};

struct Int32 {  // a signed 32-bit integer
    const char* name;
    int line;
    using Value = std::int32_t;
    bool convert(PyObject* object, std::int32_t& value) const { return to_int32(object, &value); }
};

struct Int64 {  // a signed 64-bit integer
    const char* name;
    int line;
    using Value = std::int64_t;
    bool convert(PyObject* object, std::int64_t& value) const { return to_int64(object, &value); }
};

inline constexpr int kMaxParams = 16;

// What binding needs of a function, whatever its parameters' types.
struct Signature {
    const char* name;  // as binding messages show it: "sgm"
    int first_line;    // traceback line of binding failures
    const char* const* names;
    int count;
    // The parameter names as interned strings, made once at module start-up
    // so that keywords written as literals match by identity.
    PyObject** interned_names;
};

// Interns the names of `signature`'s parameters once; false with an
// exception set.
bool intern_parameter_names(const Signature& signature);

// Fills `filled` (borrowed, by parameter position) from a vectorcall:
// positional arguments, then the values of the keywords named in kwnames.
// False with TypeError set when they do not fill every parameter once.
bool fill_parameters(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                     PyObject** filled);

// The Signature of a parameter table, with static storage for its names.
template <const auto& params>
struct SignatureOf {
    using Params = std::remove_cv_t<std::remove_reference_t<decltype(params)>>;
    static constexpr int kCount = static_cast<int>(std::tuple_size_v<Params>);
    static_assert(kCount <= kMaxParams);
    static constexpr std::array<const char*, kCount> kNames =
        std::apply([](const auto&... p) { return std::array<const char*, kCount>{p.name...}; }, params);
    static inline PyObject* interned[kCount] = {};
    static Signature make(const char* name, int first_line) {
        return Signature{name, first_line, kNames.data(), kCount, interned};
    }
};

// The converted arguments of one call of a function with parameter table
// `params`.  It holds a strong reference to every argument and the view of
// every array parameter until it is destroyed: first the references are
// dropped, then the views released.  get<I>() has the parameter's own type.
template <const auto& params>
class Arguments {
    using Params = typename SignatureOf<params>::Params;
    static constexpr std::size_t kCount = std::tuple_size_v<Params>;

    template <std::size_t I>
    using ValueOf = typename std::tuple_element_t<I, Params>::Value;

public:
    // Fills the parameters and converts them in positional order, stopping
    // at the first failure.  Returns false with an exception set and *line
    // set to the traceback line.
    bool bind(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, int* line) {
        *line = signature.first_line;
        PyObject* filled[kCount] = {};
        if (!fill_parameters(signature, args, nargsf, kwnames, filled)) return false;
        for (std::size_t i = 0; i < kCount; ++i) objects_[i] = Ref::borrow(filled[i]);
        return convert_all(line, std::make_index_sequence<kCount>{});
    }

    template <std::size_t I>
    const ValueOf<I>& get() const {
        return std::get<I>(values_);
    }
    PyObject* object(std::size_t i) const { return objects_[i].get(); }

private:
    template <std::size_t... I>
    bool convert_all(int* line, std::index_sequence<I...>) {
        return (convert_one<I>(line) && ...);
    }

    template <std::size_t I>
    bool convert_one(int* line) {
        const auto& param = std::get<I>(params);
        if (param.convert(objects_[I].get(), std::get<I>(values_))) return true;
        *line = param.line;
        return false;
    }

    template <typename Tuple>
    struct ValuesOf;
    template <typename... Ps>
    struct ValuesOf<std::tuple<Ps...>> {
        using type = std::tuple<typename Ps::Value...>;
    };

    // Declared before the references so that they are destroyed after them.
    typename ValuesOf<Params>::type values_;
    Ref objects_[kCount];
};

}  // namespace quiltmap::binding
