// Strided test arrays, awkward random values and bitwise comparison for the
// numeric cores' tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "kernels/array.hpp"

namespace quiltmap::test {

using kernels::Array;
using std::int64_t;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

inline std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// Same bits, signed zeros included; only NaNs match whatever their payload:
// with two NaN operands x86 passes on the first, and the compiler may order
// the operands of a commutative add or multiply differently in two loops.
inline bool same(float a, float b) {
    return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}
inline bool same(std::uint8_t a, std::uint8_t b) { return a == b; }
inline bool same(std::uint64_t a, std::uint64_t b) { return a == b; }
inline bool same(std::int32_t a, std::int32_t b) { return a == b; }

template <typename T>
::testing::AssertionResult same_elements(const std::vector<T>& got, const std::vector<T>& want) {
    for (std::size_t i = 0; i < got.size(); ++i)
        if (!same(got[i], want[i]))
            return ::testing::AssertionFailure()
                   << "element " << i << ": " << +got[i] << " != " << +want[i];
    return ::testing::AssertionSuccess();
}

class Values {
public:
    explicit Values(std::uint64_t seed) : gen_(seed) {}
    double uniform(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(gen_);
    }
    int64_t index(int64_t n) { return std::uniform_int_distribution<int64_t>(0, n - 1)(gen_); }
    bool chance(double p) { return uniform(0, 1) < p; }
    float special() {
        static const float kSpecial[] = {kNaN, kInf, -kInf, 0.0f, -0.0f, 1e-41f, -3e38f, 3e38f};
        return kSpecial[index(8)];
    }
    float mixed(double lo, double hi, double p_special) {
        return chance(p_special) ? special() : float(uniform(lo, hi));
    }
    float tie() {  // small integers and signed zeros: many exact ties
        static const float kTie[] = {-0.0f, 0.0f, -0.0f, 0.0f, 1.0f, 2.0f, 3.0f};
        return kTie[index(7)];
    }

private:
    std::mt19937_64 gen_;
};

// An array over owned storage whose axes are `pad` elements longer than its
// extents, so every stride but the last is larger than needed.
template <typename T, int N>
struct Buffer {
    std::vector<T> storage;
    Array<T, N> view;

    Buffer(const int64_t (&extents)[N], const int64_t (&pad)[N], T fill) {
        int64_t box[N], total = 1;
        for (int i = 0; i < N; ++i) total *= (box[i] = extents[i] + pad[i]);
        storage.assign(std::size_t(total), fill);
        view = kernels::contiguous(storage.data(), box);
        for (int i = 0; i < N; ++i) view.extent[i] = extents[i];
    }

    T& operator()(const int64_t (&idx)[N]) const {
        int64_t bytes = 0;
        for (int i = 0; i < N; ++i) bytes += idx[i] * view.stride[i];
        return *kernels::at(view.data, bytes);
    }

    // Every element inside the extents gets next(); the padding keeps its fill.
    template <typename Next>
    Buffer& fill(Next next) {
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

    // An axis of extent 1 may carry any stride; a kernel that uses it faults.
    Buffer& wild_unit_strides() {
        for (int i = 0; i < N; ++i)
            if (view.extent[i] == 1) view.stride[i] = int64_t(1) << 40;
        return *this;
    }

    Array<const T, N> cview() const {
        Array<const T, N> a;
        a.data = view.data;
        std::copy(view.extent, view.extent + N, a.extent);
        std::copy(view.stride, view.stride + N, a.stride);
        return a;
    }
};

}  // namespace quiltmap::test
