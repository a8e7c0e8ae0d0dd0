// AVX2: eight floats or four doubles.  Included by simd.hpp.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

QUILTMAP_LEVEL_BEGIN

constexpr int kFloatLanes = 8;
constexpr int kDoubleLanes = 4;
using Floats = __m256;
using Doubles = __m256d;
using FloatMask = __m256;
using DoubleMask = __m256d;

// All ones in the first n 32-bit lanes.
inline __m256i first_lanes(int n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

inline Floats load(const float* p) { return _mm256_loadu_ps(p); }
inline void store(float* p, Floats v) { _mm256_storeu_ps(p, v); }
// VMASKMOVPS neither reads nor faults on the lanes it leaves out.
inline Floats load_first(const float* p, int n) { return _mm256_maskload_ps(p, first_lanes(n)); }
inline void store_first(float* p, Floats v, int n) { _mm256_maskstore_ps(p, first_lanes(n), v); }
inline Floats splat(float x) { return _mm256_set1_ps(x); }
// VMINPS returns its second operand unless the first is strictly smaller.
inline Floats keep_smaller(Floats candidate, Floats running) { return _mm256_min_ps(candidate, running); }
inline float smallest_lane(Floats v) {
    v = _mm256_min_ps(_mm256_permute2f128_ps(v, v, 1), v);
    v = _mm256_min_ps(_mm256_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2)), v);
    v = _mm256_min_ps(_mm256_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)), v);
    return _mm256_cvtss_f32(v);
}

inline FloatMask less(Floats a, Floats b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
inline FloatMask greater(Floats a, Floats b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
inline FloatMask equal(Floats a, Floats b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
inline FloatMask less_equal(Floats a, Floats b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
inline FloatMask greater_equal(Floats a, Floats b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
inline FloatMask both(FloatMask a, FloatMask b) { return _mm256_and_ps(a, b); }
inline FloatMask either(FloatMask a, FloatMask b) { return _mm256_or_ps(a, b); }
inline Floats select(FloatMask m, Floats if_true, Floats if_false) { return _mm256_blendv_ps(if_false, if_true, m); }
inline unsigned lane_bits(FloatMask m) { return unsigned(_mm256_movemask_ps(m)); }
inline bool any(FloatMask m) { return lane_bits(m) != 0; }
inline FloatMask lane_mask(int j) {
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(j)));
}

// Flags of eight mask bytes (the first n of them, the rest clear).
inline FloatMask usable(const std::uint8_t* p, int n = kFloatLanes) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, unsigned(n));
    const __m256i lanes = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(word)));
    const __m256i zero = _mm256_setzero_si256();
    return _mm256_castsi256_ps(_mm256_xor_si256(_mm256_cmpeq_epi32(lanes, zero), _mm256_set1_epi32(-1)));
}
// The first n bytes as floats.
inline Floats widen_bytes(const std::uint8_t* p, std::int64_t n) {
    std::uint64_t word = 0;
    if (n == kFloatLanes) {
        std::memcpy(&word, p, sizeof word);
    } else {
        std::memcpy(&word, p, std::size_t(n));
    }
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(word))));
}

inline void transpose(Floats (&r)[kFloatLanes]) {
    Floats t[kFloatLanes], u[kFloatLanes];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) {
        u[i] = _mm256_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(1, 0, 1, 0));
        u[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(3, 2, 3, 2));
        u[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(1, 0, 1, 0));
        u[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int i = 0; i < 4; ++i) {
        r[i] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x20);
        r[i + 4] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x31);
    }
}

// Adds c, moved s lanes up (0 <= s < kFloatLanes), to the pair (low, high).
inline void add_shifted(Floats& low, Floats& high, Floats c, int s) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const Floats moved = _mm256_permutevar8x32_ps(c, _mm256_sub_epi32(lane, _mm256_set1_epi32(s)));
    const Floats below = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(s), lane));
    low = _mm256_blendv_ps(_mm256_add_ps(low, moved), low, below);
    high = _mm256_blendv_ps(high, _mm256_add_ps(high, moved), below);
}
// Lanes s ... s + kFloatLanes - 1 of the pair (low, high), 0 <= s < kFloatLanes.
inline Floats lanes_from(Floats low, Floats high, int s) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i from = _mm256_add_epi32(lane, _mm256_set1_epi32(s));  // 8 and up: the second vector
    const Floats first = _mm256_permutevar8x32_ps(low, from), second = _mm256_permutevar8x32_ps(high, from);
    return _mm256_blendv_ps(first, second, _mm256_castsi256_ps(_mm256_cmpgt_epi32(from, _mm256_set1_epi32(7))));
}

inline Doubles splat_double(double x) { return _mm256_set1_pd(x); }
inline Doubles widen_low(Floats v) { return _mm256_cvtps_pd(_mm256_castps256_ps128(v)); }
inline Doubles widen_high(Floats v) { return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); }
inline Floats narrow(Doubles lo, Doubles hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
}
inline Doubles lookup16(const double (&table)[16], Doubles shifted) {
    const __m256i index = _mm256_and_si256(_mm256_castpd_si256(shifted), _mm256_set1_epi64x(15));
    return _mm256_i64gather_pd(table, index, 8);
}
inline Doubles scale_by_sixteenths(Doubles y, Doubles shifted) {
    const __m256i n = _mm256_and_si256(_mm256_slli_epi64(_mm256_castpd_si256(shifted), 48),
                                       _mm256_set1_epi64x(~(std::int64_t(15) << 48)));
    return _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(y), n));
}
inline void store_doubles(double* p, Doubles v) { _mm256_storeu_pd(p, v); }

// Up to kChannelLanes consecutive floats (the channels of one pixel), in double.
constexpr int kChannelLanes = 4;
using Channels = __m256d;
inline Channels splat_channels(double x) { return _mm256_set1_pd(x); }
// Pieces of two floats and one rather than VMASKMOVPS, whose store some
// processors run as microcode.  __m64 may alias the floats.
inline Channels load_channels(const float* p, int n) {
    __m128 floats;
    switch (n) {
        case 4: floats = _mm_loadu_ps(p); break;
        case 3: floats = _mm_movelh_ps(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)), _mm_load_ss(p + 2)); break;
        case 2: floats = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)); break;
        default: floats = _mm_load_ss(p); break;
    }
    return _mm256_cvtps_pd(floats);
}
inline void store_channels(float* p, Channels v, int n) {
    const __m128 floats = _mm256_cvtpd_ps(v);
    switch (n) {
        case 4: _mm_storeu_ps(p, floats); break;
        case 3:
            _mm_storel_pi(reinterpret_cast<__m64*>(p), floats);
            _mm_store_ss(p + 2, _mm_movehl_ps(floats, floats));
            break;
        case 2: _mm_storel_pi(reinterpret_cast<__m64*>(p), floats); break;
        default: _mm_store_ss(p, floats); break;
    }
}
inline Doubles load_doubles(const double* p) { return _mm256_loadu_pd(p); }
inline Doubles gather_widened(const float* base, const std::int64_t* offsets, unsigned lanes) {
    const __m128i bit = _mm_setr_epi32(1, 2, 4, 8);
    const __m128 taken = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(int(lanes)), bit), bit));
    const __m256i where = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets));
    return _mm256_cvtps_pd(_mm256_mask_i64gather_ps(_mm_setzero_ps(), base, where, taken, 1));
}
// Lane by lane rather than VMASKMOVPS (see store_channels).
inline void store_narrowed(float* p, Doubles v, unsigned lanes) {
    float narrowed[kDoubleLanes];
    _mm_storeu_ps(narrowed, _mm256_cvtpd_ps(v));
    for (; lanes != 0; lanes &= lanes - 1) p[__builtin_ctz(lanes)] = narrowed[__builtin_ctz(lanes)];
}
inline DoubleMask less_equal(Doubles a, Doubles b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
inline DoubleMask greater_equal(Doubles a, Doubles b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
inline DoubleMask not_less_equal(Doubles a, Doubles b) { return _mm256_cmp_pd(a, b, _CMP_NLE_UQ); }
inline DoubleMask both(DoubleMask a, DoubleMask b) { return _mm256_and_pd(a, b); }
inline DoubleMask less(Doubles a, Doubles b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
// Integral doubles, |x| < 2^63, as integers.
inline void store_integers(std::int64_t* p, Doubles x) {
    double lanes[kDoubleLanes];
    _mm256_storeu_pd(lanes, x);
    for (int i = 0; i < kDoubleLanes; ++i) p[i] = std::int64_t(lanes[i]);
}
inline Doubles select(DoubleMask m, Doubles if_true, Doubles if_false) { return _mm256_blendv_pd(if_false, if_true, m); }
// x truncated toward zero, for 0 <= x < 2^52.
inline Doubles truncate(Doubles x) { return _mm256_round_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
inline unsigned lane_bits(DoubleMask m) { return unsigned(_mm256_movemask_pd(m)); }
// 1 or 0 in the first n bytes at p, by the bits of `flags`.
inline void store_flags(std::uint8_t* p, unsigned flags, int n) {
    for (int i = 0; i < n; ++i) p[i] = std::uint8_t((flags >> i) & 1u);
}

QUILTMAP_LEVEL_END
