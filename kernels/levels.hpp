// Instruction-set levels of the production kernels, and the choice of one.
//
// On x86-64 every production kernel is compiled three times from one source
// (see simd.hpp): for baseline x86-64, for AVX2 and for AVX-512.  All three give
// the same bits as the scalar twins; they differ only in speed.  The level
// used is chosen once per process: the highest one that the CPU and the
// operating system support, lowered by the environment variable QUILTMAP_ISA
// (sse2, avx2 or avx512) for comparisons and tests.  The entry points
// kernels::<name> run the chosen level; tests and benchmarks reach each level
// through kernels_at().
#pragma once

#include <cstdint>
#include <utility>

#include "kernels/registry.hpp"

namespace quiltmap::kernels {

#if defined(__x86_64__) || defined(__i386__)
#define QUILTMAP_X86 1
enum class Level { sse2, avx2, avx512 };
constexpr Level kAllLevels[] = {Level::sse2, Level::avx2, Level::avx512};
#else
// Elsewhere the production kernels are the scalar twins, compiled for the
// target's own baseline; every result is the same bits as on x86-64 (which
// NaN an operation makes aside) but for the filter's weights and the ray
// caster's distances, which take the C library's pow and hypot (not correctly
// rounded, so they may differ between architectures).
enum class Level { scalar };
constexpr Level kAllLevels[] = {Level::scalar};
#endif

const char* level_name(Level level);
// The level that `text` names, exactly as level_name() spells it.
bool parse_level(const char* text, Level* level);

// The production kernels of one level, in registry order; each has its
// twin's signature.
struct LevelKernels {
    Level level;
#define QUILTMAP_KERNEL_POINTER(name) decltype(&name##_reference) name;
    QUILTMAP_KERNELS(QUILTMAP_KERNEL_POINTER)
#undef QUILTMAP_KERNEL_POINTER
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

// The highest level whose instructions and register state the processor and
// the operating system both provide (CPUID and XGETBV on x86-64).
Level highest_supported_level();

// The level chosen by a supported level and a QUILTMAP_ISA value (nullptr
// when unset); request_ignored tells whether the value named no level.
LevelChoice choose_level(Level supported, const char* request);

// The production entry points: kernels::<name>(...) runs the chosen level's
// kernel, with the twin's signature and contract.
template <auto kernel>
struct AtChosenLevel {
    template <typename... Args>
    auto operator()(Args&&... args) const {
        return (kernels_at(level_choice().level).*kernel)(std::forward<Args>(args)...);
    }
};
#define QUILTMAP_ENTRY_POINT(name) inline constexpr AtChosenLevel<&LevelKernels::name> name{};
QUILTMAP_KERNELS(QUILTMAP_ENTRY_POINT)
#undef QUILTMAP_ENTRY_POINT

}  // namespace quiltmap::kernels
