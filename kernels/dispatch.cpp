// The choice of a level, which the entry points of levels.hpp run.  All that
// is x86-specific outside the level sources is here, under QUILTMAP_X86.
#include <cstdlib>
#include <cstring>

#include "kernels/levels.hpp"

#ifdef QUILTMAP_X86
#include <cpuid.h>
#endif

namespace quiltmap::kernels {

#ifdef QUILTMAP_X86

namespace sse2 {
extern const LevelKernels kernels;
}
namespace avx2 {
extern const LevelKernels kernels;
}
namespace avx512 {
extern const LevelKernels kernels;
}

namespace {

const char* const kLevelNames[] = {"sse2", "avx2", "avx512"};

// XCR0: which register states the operating system saves on a context switch.
std::uint64_t enabled_register_state() {
    std::uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t(hi) << 32) | lo;
}

}  // namespace

const LevelKernels& kernels_at(Level level) {
    switch (level) {
        case Level::avx512: return avx512::kernels;
        case Level::avx2: return avx2::kernels;
        default: return sse2::kernels;
    }
}

Level highest_supported_level() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return Level::sse2;
    if (!(c & bit_OSXSAVE) || !(c & bit_AVX)) return Level::sse2;
    const std::uint64_t state = enabled_register_state();
    constexpr std::uint64_t kVectorState = 0x6;   // XMM and YMM registers
    constexpr std::uint64_t kAvx512State = 0xe0;  // mask registers, ZMM0-15 upper halves, ZMM16-31
    if ((state & kVectorState) != kVectorState) return Level::sse2;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & bit_AVX2)) return Level::sse2;
    const unsigned avx512 = bit_AVX512F | bit_AVX512BW | bit_AVX512DQ | bit_AVX512VL;
    if ((b & avx512) == avx512 && (state & kAvx512State) == kAvx512State) return Level::avx512;
    return Level::avx2;
}

#else

namespace {

const char* const kLevelNames[] = {"scalar"};

#define QUILTMAP_TWIN(name) name##_reference,
const LevelKernels kTwins = {Level::scalar, QUILTMAP_KERNELS(QUILTMAP_TWIN)};
#undef QUILTMAP_TWIN

}  // namespace

const LevelKernels& kernels_at(Level) { return kTwins; }

Level highest_supported_level() { return Level::scalar; }

#endif

const char* level_name(Level level) { return kLevelNames[int(level)]; }

bool parse_level(const char* text, Level* level) {
    for (Level candidate : kAllLevels) {
        if (std::strcmp(text, level_name(candidate)) == 0) {
            *level = candidate;
            return true;
        }
    }
    return false;
}

LevelChoice choose_level(Level supported, const char* request) {
    LevelChoice choice{};
    choice.level = choice.supported = supported;
    if (request == nullptr || *request == '\0') return choice;  // unset or set empty
    std::strncpy(choice.request, request, sizeof choice.request - 1);
    Level cap;
    if (!parse_level(request, &cap)) {
        choice.request_ignored = true;
    } else if (cap < supported) {
        choice.level = cap;
    }
    return choice;
}

const LevelChoice& level_choice() {
    static const LevelChoice choice = choose_level(highest_supported_level(), std::getenv("QUILTMAP_ISA"));
    return choice;
}

}  // namespace quiltmap::kernels
