// AVX-512 (F, BW, DQ, VL): sixteen floats or eight doubles, flags in mask
// registers.  Included by simd.hpp.
#pragma once

// GCC 12 takes the deliberately undefined pass-through operands of some
// AVX-512 intrinsics (conversions, shifts) for uninitialised variables.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>

QUILTMAP_LEVEL_BEGIN

constexpr int kFloatLanes = 16;
constexpr int kDoubleLanes = 8;
using Floats = __m512;
using Doubles = __m512d;
using FloatMask = __mmask16;
using DoubleMask = __mmask8;

inline __mmask16 first_lanes(int n) { return __mmask16((1u << n) - 1u); }

inline Floats load(const float* p) { return _mm512_loadu_ps(p); }
inline void store(float* p, Floats v) { _mm512_storeu_ps(p, v); }
// Masked-out lanes are neither read nor written, and cannot fault.
inline Floats load_first(const float* p, int n) { return _mm512_maskz_loadu_ps(first_lanes(n), p); }
inline void store_first(float* p, Floats v, int n) { _mm512_mask_storeu_ps(p, first_lanes(n), v); }
inline Floats splat(float x) { return _mm512_set1_ps(x); }
// VMINPS returns its second operand unless the first is strictly smaller.
inline Floats keep_smaller(Floats candidate, Floats running) { return _mm512_min_ps(candidate, running); }
inline float smallest_lane(Floats v) {
    v = _mm512_min_ps(_mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(1, 0, 3, 2)), v);
    v = _mm512_min_ps(_mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(2, 3, 0, 1)), v);
    v = _mm512_min_ps(_mm512_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2)), v);
    v = _mm512_min_ps(_mm512_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)), v);
    return _mm512_cvtss_f32(v);
}

inline FloatMask less(Floats a, Floats b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
inline FloatMask greater(Floats a, Floats b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
inline FloatMask equal(Floats a, Floats b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
inline FloatMask less_equal(Floats a, Floats b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
inline FloatMask greater_equal(Floats a, Floats b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
inline FloatMask both(FloatMask a, FloatMask b) { return FloatMask(a & b); }
inline FloatMask either(FloatMask a, FloatMask b) { return FloatMask(a | b); }
inline Floats select(FloatMask m, Floats if_true, Floats if_false) {
    return _mm512_mask_blend_ps(m, if_false, if_true);
}
inline unsigned lane_bits(FloatMask m) { return unsigned(m); }
inline bool any(FloatMask m) { return m != 0; }
inline FloatMask lane_mask(int j) { return FloatMask(1u << j); }

// Flags of sixteen mask bytes (the first n of them, the rest clear).
inline FloatMask usable(const std::uint8_t* p, int n = kFloatLanes) {
    const __m128i bytes = _mm_maskz_loadu_epi8(first_lanes(n), p);
    return _mm_test_epi8_mask(bytes, bytes);
}
// The first n bytes as floats.
inline Floats widen_bytes(const std::uint8_t* p, std::int64_t n) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(first_lanes(int(n)), p)));
}

inline void transpose(Floats (&r)[kFloatLanes]) {
    Floats t[16];
    for (int i = 0; i < 16; i += 2) {
        t[i] = _mm512_unpacklo_ps(r[i], r[i + 1]);
        t[i + 1] = _mm512_unpackhi_ps(r[i], r[i + 1]);
    }
    // u[4g + j]: in 128-bit lane k, rows 4g .. 4g + 3 of column 4k + j.
    Floats u[16];
    for (int g = 0; g < 16; g += 4) {
        u[g] = _mm512_shuffle_ps(t[g], t[g + 2], _MM_SHUFFLE(1, 0, 1, 0));
        u[g + 1] = _mm512_shuffle_ps(t[g], t[g + 2], _MM_SHUFFLE(3, 2, 3, 2));
        u[g + 2] = _mm512_shuffle_ps(t[g + 1], t[g + 3], _MM_SHUFFLE(1, 0, 1, 0));
        u[g + 3] = _mm512_shuffle_ps(t[g + 1], t[g + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int j = 0; j < 4; ++j) {
        const Floats x0 = _mm512_shuffle_f32x4(u[j], u[4 + j], _MM_SHUFFLE(2, 0, 2, 0));
        const Floats x1 = _mm512_shuffle_f32x4(u[j], u[4 + j], _MM_SHUFFLE(3, 1, 3, 1));
        const Floats y0 = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], _MM_SHUFFLE(2, 0, 2, 0));
        const Floats y1 = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], _MM_SHUFFLE(3, 1, 3, 1));
        r[j] = _mm512_shuffle_f32x4(x0, y0, _MM_SHUFFLE(2, 0, 2, 0));
        r[4 + j] = _mm512_shuffle_f32x4(x1, y1, _MM_SHUFFLE(2, 0, 2, 0));
        r[8 + j] = _mm512_shuffle_f32x4(x0, y0, _MM_SHUFFLE(3, 1, 3, 1));
        r[12 + j] = _mm512_shuffle_f32x4(x1, y1, _MM_SHUFFLE(3, 1, 3, 1));
    }
}

// Adds c, moved s lanes up (0 <= s < kFloatLanes), to the pair (low, high).
inline void add_shifted(Floats& low, Floats& high, Floats c, int s) {
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const Floats moved = _mm512_permutexvar_ps(_mm512_sub_epi32(lane, _mm512_set1_epi32(s)), c);
    const __mmask16 below = __mmask16((1u << s) - 1u);
    low = _mm512_mask_add_ps(low, __mmask16(~below), low, moved);
    high = _mm512_mask_add_ps(high, below, high, moved);
}
// Lanes s ... s + kFloatLanes - 1 of the pair (low, high), 0 <= s < kFloatLanes.
inline Floats lanes_from(Floats low, Floats high, int s) {
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm512_permutex2var_ps(low, _mm512_add_epi32(lane, _mm512_set1_epi32(s)), high);
}

inline Doubles splat_double(double x) { return _mm512_set1_pd(x); }
inline Doubles widen_low(Floats v) { return _mm512_cvtps_pd(_mm512_castps512_ps256(v)); }
inline Doubles widen_high(Floats v) { return _mm512_cvtps_pd(_mm512_extractf32x8_ps(v, 1)); }
inline Floats narrow(Doubles lo, Doubles hi) {
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(lo)), _mm512_cvtpd_ps(hi), 1);
}
// VPERMT2PD reads only the low four bits of each index.
inline Doubles lookup16(const double (&table)[16], Doubles shifted) {
    return _mm512_permutex2var_pd(_mm512_loadu_pd(table), _mm512_castpd_si512(shifted), _mm512_loadu_pd(table + 8));
}
inline Doubles scale_by_sixteenths(Doubles y, Doubles shifted) {
    const __m512i n = _mm512_and_si512(_mm512_slli_epi64(_mm512_castpd_si512(shifted), 48),
                                       _mm512_set1_epi64(~(std::int64_t(15) << 48)));
    return _mm512_castsi512_pd(_mm512_add_epi64(_mm512_castpd_si512(y), n));
}
inline void store_doubles(double* p, Doubles v) { _mm512_storeu_pd(p, v); }

// Up to kChannelLanes consecutive floats (the channels of one pixel), in double.
constexpr int kChannelLanes = 4;
using Channels = __m256d;
inline Channels splat_channels(double x) { return _mm256_set1_pd(x); }
inline Channels load_channels(const float* p, int n) { return _mm256_cvtps_pd(_mm_maskz_loadu_ps(__mmask8((1u << n) - 1u), p)); }
inline void store_channels(float* p, Channels v, int n) {
    _mm_mask_storeu_ps(p, __mmask8((1u << n) - 1u), _mm256_cvtpd_ps(v));
}
inline Doubles load_doubles(const double* p) { return _mm512_loadu_pd(p); }
inline Doubles gather_widened(const float* base, const std::int64_t* offsets, unsigned lanes) {
    return _mm512_cvtps_pd(_mm512_mask_i64gather_ps(_mm256_setzero_ps(), __mmask8(lanes), _mm512_loadu_si512(offsets), base, 1));
}
inline void store_narrowed(float* p, Doubles v, unsigned lanes) { _mm256_mask_storeu_ps(p, __mmask8(lanes), _mm512_cvtpd_ps(v)); }
inline DoubleMask less_equal(Doubles a, Doubles b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
inline DoubleMask greater_equal(Doubles a, Doubles b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
inline DoubleMask not_less_equal(Doubles a, Doubles b) { return _mm512_cmp_pd_mask(a, b, _CMP_NLE_UQ); }
inline DoubleMask both(DoubleMask a, DoubleMask b) { return DoubleMask(a & b); }
inline DoubleMask less(Doubles a, Doubles b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
// Integral doubles, |x| < 2^63, as integers.
inline void store_integers(std::int64_t* p, Doubles x) { _mm512_storeu_si512(p, _mm512_cvttpd_epi64(x)); }
inline Doubles select(DoubleMask m, Doubles if_true, Doubles if_false) { return _mm512_mask_blend_pd(m, if_false, if_true); }
// x truncated toward zero, for 0 <= x < 2^52.
inline Doubles truncate(Doubles x) { return _mm512_roundscale_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
inline unsigned lane_bits(DoubleMask m) { return unsigned(m); }
// 1 or 0 in the first n bytes at p, by the bits of `flags`.
inline void store_flags(std::uint8_t* p, unsigned flags, int n) {
    _mm_mask_storeu_epi8(p, __mmask16((1u << n) - 1u), _mm_maskz_mov_epi8(__mmask16(flags), _mm_set1_epi8(1)));
}

QUILTMAP_LEVEL_END
