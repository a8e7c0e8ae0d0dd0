// Instruction-set levels of the production kernels, and the choice of one.
//
// Every production kernel is compiled three times from one source (see
// simd.hpp): for baseline x86-64, for AVX2 and for AVX-512.  All three give
// the same bits as the scalar twins; they differ only in speed.  The level
// used is chosen once per process: the highest one that the CPU and the
// operating system support, lowered by the environment variable QUILTMAP_ISA
// (sse2, avx2 or avx512) for comparisons and tests.  The public entry points
// of sgm.hpp, bilateral.hpp and sample_view.hpp run the chosen level; tests
// and benchmarks reach each level through kernels_at().
#pragma once

#include <cstdint>

#include "kernels/array.hpp"
#include "kernels/sample_view.hpp"

namespace quiltmap::kernels {

enum class Level { sse2, avx2, avx512 };
constexpr Level kAllLevels[] = {Level::sse2, Level::avx2, Level::avx512};

const char* level_name(Level level);
// The level that `text` names, exactly as level_name() spells it.
bool parse_level(const char* text, Level* level);

// The production kernels of one level.
struct LevelKernels {
    Level level;
    void (*sgm_aggregate)(const Array3<const float>& cost, float P1, float P2,
                          const Array3<float>& agg, const Array3<float>& path);
    void (*bilateral_filter)(const Array2<const float>& Z, const Array2<const std::uint8_t>& valid,
                             std::int32_t radius, float inv_r, const Array2<const float>& sw,
                             const Array2<float>& out);
    void (*sample_view)(const Array3<const float>& img, const Camera& camera,
                        const GroundGrid& grid, const Array2<const float>& Z,
                        const Array3<float>& out, const Array2<std::uint8_t>& valid);
    // The filter's range weights float(pow(2.718281828, double(t[i]))), as the
    // filter computes them; returns how many took the library pow.
    std::int64_t (*range_weights)(const float* t, float* weight, std::int64_t n);
};

// The kernels of `level`, which the caller must know to be supported.
const LevelKernels& kernels_at(Level level);

struct LevelChoice {
    Level level;      // what the production entry points run
    Level supported;  // the highest level this CPU and operating system run
    // QUILTMAP_ISA as found (at most 31 characters kept), empty when unset;
    // a value that names no level is ignored.
    char request[32];
    bool request_ignored;
};

// Made on first use, then fixed for the life of the process.
const LevelChoice& level_choice();

// CPUID and XGETBV: the highest level whose instructions and register state
// the processor and the operating system both provide.
Level highest_supported_level();

// The level chosen by a supported level and a QUILTMAP_ISA value (nullptr
// when unset); request_ignored tells whether the value named no level.
LevelChoice choose_level(Level supported, const char* request);

}  // namespace quiltmap::kernels
