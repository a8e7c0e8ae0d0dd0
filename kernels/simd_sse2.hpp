// Baseline x86-64: SSE2, four floats or two doubles.  Included by simd.hpp.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#define QUILTMAP_LEVEL sse2

namespace quiltmap::kernels::sse2 {

constexpr int kFloatLanes = 4;
constexpr int kDoubleLanes = 2;
using Floats = __m128;
using Doubles = __m128d;
using FloatMask = __m128;
using DoubleMask = __m128d;

inline Floats load(const float* p) { return _mm_loadu_ps(p); }
inline void store(float* p, Floats v) { _mm_storeu_ps(p, v); }
inline Floats load_first(const float* p, int n) {
    float lanes[kFloatLanes] = {};
    std::memcpy(lanes, p, sizeof(float) * unsigned(n));
    return _mm_loadu_ps(lanes);
}
inline void store_first(float* p, Floats v, int n) {
    float lanes[kFloatLanes];
    _mm_storeu_ps(lanes, v);
    std::memcpy(p, lanes, sizeof(float) * unsigned(n));
}
inline Floats splat(float x) { return _mm_set1_ps(x); }
// MINPS returns its second operand unless the first is strictly smaller.
inline Floats keep_smaller(Floats candidate, Floats running) { return _mm_min_ps(candidate, running); }

inline FloatMask less(Floats a, Floats b) { return _mm_cmplt_ps(a, b); }
inline FloatMask greater(Floats a, Floats b) { return _mm_cmpgt_ps(a, b); }
inline FloatMask equal(Floats a, Floats b) { return _mm_cmpeq_ps(a, b); }
inline FloatMask less_equal(Floats a, Floats b) { return _mm_cmple_ps(a, b); }
inline FloatMask greater_equal(Floats a, Floats b) { return _mm_cmpge_ps(a, b); }
inline FloatMask both(FloatMask a, FloatMask b) { return _mm_and_ps(a, b); }
inline FloatMask either(FloatMask a, FloatMask b) { return _mm_or_ps(a, b); }
inline Floats select(FloatMask m, Floats if_true, Floats if_false) {
    return _mm_or_ps(_mm_and_ps(m, if_true), _mm_andnot_ps(m, if_false));
}
inline unsigned lane_bits(FloatMask m) { return unsigned(_mm_movemask_ps(m)); }
inline bool any(FloatMask m) { return lane_bits(m) != 0; }
inline FloatMask lane_mask(int j) {
    return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(j)));
}

// Flags of four mask bytes (the first n of them, the rest clear).
inline FloatMask usable(const std::uint8_t* p, int n = kFloatLanes) {
    std::uint32_t word = 0;
    std::memcpy(&word, p, unsigned(n));
    const __m128i zero = _mm_setzero_si128();
    const __m128i lanes = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(int(word)), zero), zero);
    return _mm_castsi128_ps(_mm_xor_si128(_mm_cmpeq_epi32(lanes, zero), _mm_set1_epi32(-1)));
}

inline void transpose(Floats (&r)[kFloatLanes]) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }

inline Doubles splat_double(double x) { return _mm_set1_pd(x); }
inline Doubles widen_low(Floats v) { return _mm_cvtps_pd(v); }
inline Doubles widen_high(Floats v) { return _mm_cvtps_pd(_mm_movehl_ps(v, v)); }
inline Floats narrow(Doubles lo, Doubles hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }
inline Doubles pow2_of_rounded(Doubles shifted) {
    const __m128i n = _mm_slli_epi64(_mm_castpd_si128(shifted), 52);
    return _mm_castsi128_pd(_mm_add_epi64(n, _mm_castpd_si128(_mm_set1_pd(1.0))));
}
inline void store_doubles(double* p, Doubles v) { _mm_storeu_pd(p, v); }
inline Doubles load_doubles(const double* p) { return _mm_loadu_pd(p); }
inline DoubleMask less_equal(Doubles a, Doubles b) { return _mm_cmple_pd(a, b); }
inline DoubleMask greater_equal(Doubles a, Doubles b) { return _mm_cmpge_pd(a, b); }
inline DoubleMask not_less_equal(Doubles a, Doubles b) { return _mm_cmpnle_pd(a, b); }
inline DoubleMask both(DoubleMask a, DoubleMask b) { return _mm_and_pd(a, b); }
inline unsigned lane_bits(DoubleMask m) { return unsigned(_mm_movemask_pd(m)); }

}  // namespace quiltmap::kernels::sse2
