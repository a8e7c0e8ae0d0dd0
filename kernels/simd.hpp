// The vector instruction set of one translation unit.
//
// The fast kernels are written once, against the small vocabulary below, and
// compiled once per level with that level's flags (CMakeLists.txt): baseline
// x86-64 (SSE2), AVX2, and AVX-512 with F, BW, DQ and VL.  Everything a unit
// defines lives in the namespace of its level, so that the copies never meet
// at link time; the dispatcher picks one of them at run time.
//
// The vocabulary of every level:
//   Floats, Doubles          kFloatLanes floats, kDoubleLanes = kFloatLanes / 2 doubles;
//                            + - * / are the IEEE operations, lane by lane
//   FloatMask, DoubleMask    one flag per lane
//   load, store              kFloatLanes floats at any address
//   load_first, store_first  the first n lanes only (0 <= n <= kFloatLanes); nothing
//                            beyond them is read or written, and the other lanes
//                            of a loaded vector are zero
//   load_n, store_n          the same for 0 < n <= kFloatLanes, with whole vectors when
//                            n = kFloatLanes: a row's groups, its last one short
//   splat, keep_smaller      one value in every lane; candidate < running ? candidate
//                            : running, lane by lane (false on NaN: running stays)
//   smallest_lane            keep_smaller over the lanes, lane 0 the running value at every
//                            step, so that its NaN stays; the other lanes must not be NaN,
//                            and of equal lanes (+0, -0) any one may come out
//   less, greater, equal,    ordered comparisons (false on NaN); not_less_equal is
//   less_equal, ...          true on NaN; both, either combine flags
//   lane_mask                the flag of lane j alone
//   select, any, lane_bits   blend by a mask; whether any flag is set; flags as bits
//   truncate, store_integers doubles 0 <= x < 2^52 truncated toward zero; integral doubles
//                            stored as int64
//   usable                   the flags of kFloatLanes (or the first n) mask bytes != 0;
//                            store_flags the reverse, 1 or 0 per byte
//   widen_bytes              the first n (0 < n <= kFloatLanes) bytes as floats, the other
//                            lanes 0; nothing beyond them is read
//   transpose                a kFloatLanes x kFloatLanes block held in registers
//   add_shifted, lanes_from  for a pair of vectors (low, high) as 2 kFloatLanes lanes and
//                            0 <= s < kFloatLanes: += c moved s lanes up (the lanes c does
//                            not reach are left alone or get +0); lanes s ... s + kFloatLanes - 1
//   widen_low, widen_high    lanes [0, kDoubleLanes) or the rest of a Floats, in double
//   narrow                   two Doubles rounded to float, low lanes first
//   Channels                 kChannelLanes doubles: load_channels, store_channels move the
//                            first n (<= kChannelLanes) consecutive floats, and no others
//   gather_widened           for the lanes whose bit is set: the float at byte offsets[j]
//                            of base, in double; 0 elsewhere, whose offsets are not read
//                            as addresses
//   store_narrowed           the lanes whose bit is set, rounded to float, at p[j]; no
//                            other float is written
//   lookup16, scale_by_sixteenths   for shifted = k + 1.5 * 2^52 (k an integer):
//                            table[k mod 16], and y * 2^floor(k / 16) (the result normal)
#pragma once

// Everything that level code uses from outside its namespace is included
// here, before the level's target is set: a function defined after it (an
// inline helper, a template) would be compiled for the level, and the linker
// could hand that copy to baseline callers.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "kernels/levels.hpp"

// The level is chosen by the build (CMakeLists.txt), never by the compiler's
// flags: every level is compiled with the baseline flags, and only the
// functions of the level's namespace carry its instruction set.
#if defined(QUILTMAP_LEVEL_AVX512)
#define QUILTMAP_LEVEL avx512
#define QUILTMAP_LEVEL_TARGET "avx512f,avx512bw,avx512dq,avx512vl"
#elif defined(QUILTMAP_LEVEL_AVX2)
#define QUILTMAP_LEVEL avx2
#define QUILTMAP_LEVEL_TARGET "avx2"
#else
#define QUILTMAP_LEVEL sse2
#define QUILTMAP_LEVEL_TARGET "sse2"
#endif

#define QUILTMAP_STRINGIZE(text) #text
#define QUILTMAP_PRAGMA(text) _Pragma(QUILTMAP_STRINGIZE(text))

// Opens and closes the level's namespace: every function defined between
// them is compiled for the level's instruction set (GCC's target pragma), and
// nothing outside them is.  GCC drops the may_alias attribute of a vector type
// used as a template argument, and says so; the kernels' templates never rely
// on it.
#define QUILTMAP_LEVEL_BEGIN                                                                  \
    QUILTMAP_PRAGMA(GCC push_options)                                                         \
    QUILTMAP_PRAGMA(GCC target(QUILTMAP_LEVEL_TARGET))                                        \
    QUILTMAP_PRAGMA(GCC diagnostic push)                                                      \
    QUILTMAP_PRAGMA(GCC diagnostic ignored "-Wignored-attributes")                            \
    namespace quiltmap::kernels::QUILTMAP_LEVEL {
#define QUILTMAP_LEVEL_END                \
    }                                     \
    QUILTMAP_PRAGMA(GCC diagnostic pop)   \
    QUILTMAP_PRAGMA(GCC pop_options)

#if defined(QUILTMAP_LEVEL_AVX512)
#include "kernels/simd_avx512.hpp"
#elif defined(QUILTMAP_LEVEL_AVX2)
#include "kernels/simd_avx2.hpp"
#else
#include "kernels/simd_sse2.hpp"
#endif

QUILTMAP_LEVEL_BEGIN

// Scalar access through a byte address of unknown alignment.
template <typename T>
inline T load_one(const T* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}
template <typename T>
inline void store_one(T* p, T value) {
    std::memcpy(p, &value, sizeof value);
}

// Asks for the cache line of p ahead of its use, into the second-level
// cache.  Not __builtin_prefetch: GCC deems a function that only prefetches
// free of effects and deletes the calls of it (and of its callers).
inline void prefetch(const void* p) { __asm__ volatile("prefetcht1 %0" : : "m"(*static_cast<const char*>(p))); }

// The scalar form of keep_smaller, for code written once for both widths.
inline float keep_smaller(float candidate, float running) { return candidate < running ? candidate : running; }

// The first n lanes, 0 < n <= kFloatLanes: a whole vector unless n is short.
inline Floats load_n(const float* p, std::int64_t n) {
    return n == kFloatLanes ? load(p) : load_first(p, int(n));
}
inline void store_n(float* p, Floats v, std::int64_t n) {
    if (n == kFloatLanes) {
        store(p, v);
    } else {
        store_first(p, v, int(n));
    }
}

QUILTMAP_LEVEL_END
