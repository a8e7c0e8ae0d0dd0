// Baseline x86-64: SSE2, four floats or two doubles.  Included by simd.hpp.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

QUILTMAP_LEVEL_BEGIN

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
inline float smallest_lane(Floats v) {
    v = _mm_min_ps(_mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)), v);
    v = _mm_min_ps(_mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)), v);
    return _mm_cvtss_f32(v);
}

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
// The first n bytes as floats.
inline Floats widen_bytes(const std::uint8_t* p, std::int64_t n) {
    std::uint32_t word = 0;
    if (n == kFloatLanes) {
        std::memcpy(&word, p, sizeof word);
    } else {
        std::memcpy(&word, p, std::size_t(n));
    }
    const __m128i zero = _mm_setzero_si128();
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(int(word)), zero), zero));
}

inline void transpose(Floats (&r)[kFloatLanes]) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }

// Adds c, moved s lanes up (0 <= s < kFloatLanes), to the pair (low, high);
// the lanes that c does not reach get +0.
inline void add_shifted(Floats& low, Floats& high, Floats c, int s) {
    float lanes[2 * kFloatLanes] = {};
    _mm_storeu_ps(lanes + s, c);
    low = _mm_add_ps(low, _mm_loadu_ps(lanes));
    high = _mm_add_ps(high, _mm_loadu_ps(lanes + kFloatLanes));
}
// Lanes s ... s + kFloatLanes - 1 of the pair (low, high), 0 <= s < kFloatLanes.
inline Floats lanes_from(Floats low, Floats high, int s) {
    float lanes[2 * kFloatLanes];
    _mm_storeu_ps(lanes, low);
    _mm_storeu_ps(lanes + kFloatLanes, high);
    return _mm_loadu_ps(lanes + s);
}

inline Doubles splat_double(double x) { return _mm_set1_pd(x); }
inline Doubles widen_low(Floats v) { return _mm_cvtps_pd(v); }
inline Doubles widen_high(Floats v) { return _mm_cvtps_pd(_mm_movehl_ps(v, v)); }
inline Floats narrow(Doubles lo, Doubles hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }
inline Doubles lookup16(const double (&table)[16], Doubles shifted) {
    std::int64_t k[kDoubleLanes];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(k), _mm_castpd_si128(shifted));
    return _mm_setr_pd(table[k[0] & 15], table[k[1] & 15]);
}
inline Doubles scale_by_sixteenths(Doubles y, Doubles shifted) {
    const __m128i n = _mm_and_si128(_mm_slli_epi64(_mm_castpd_si128(shifted), 48), _mm_set1_epi64x(~(std::int64_t(15) << 48)));
    return _mm_castsi128_pd(_mm_add_epi64(_mm_castpd_si128(y), n));
}
inline void store_doubles(double* p, Doubles v) { _mm_storeu_pd(p, v); }

// Up to kChannelLanes consecutive floats (the channels of one pixel), in double.
constexpr int kChannelLanes = 2;
using Channels = __m128d;
inline Channels splat_channels(double x) { return _mm_set1_pd(x); }
inline Channels load_channels(const float* p, int n) {
    // __m64 may alias the floats; neither form reads beyond the n floats.
    const __m128 floats = n == 2 ? _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)) : _mm_load_ss(p);
    return _mm_cvtps_pd(floats);
}
inline void store_channels(float* p, Channels v, int n) {
    const __m128 floats = _mm_cvtpd_ps(v);
    if (n == 2) {
        _mm_storel_pi(reinterpret_cast<__m64*>(p), floats);
    } else {
        _mm_store_ss(p, floats);
    }
}
inline Doubles load_doubles(const double* p) { return _mm_loadu_pd(p); }
// Lane by lane, in registers: through an array in memory the two stores
// and the vector load that follows them stall.
inline Doubles gather_widened(const float* base, const std::int64_t* offsets, unsigned lanes) {
    const char* bytes = reinterpret_cast<const char*>(base);
    const double low = (lanes & 1u) != 0 ? double(*reinterpret_cast<const float*>(bytes + offsets[0])) : 0.0;
    const double high = (lanes & 2u) != 0 ? double(*reinterpret_cast<const float*>(bytes + offsets[1])) : 0.0;
    return _mm_setr_pd(low, high);
}
inline void store_narrowed(float* p, Doubles v, unsigned lanes) {
    const __m128 narrowed = _mm_cvtpd_ps(v);
    if ((lanes & 1u) != 0) _mm_store_ss(p, narrowed);
    if ((lanes & 2u) != 0) _mm_store_ss(p + 1, _mm_shuffle_ps(narrowed, narrowed, 1));
}
inline DoubleMask less_equal(Doubles a, Doubles b) { return _mm_cmple_pd(a, b); }
inline DoubleMask greater_equal(Doubles a, Doubles b) { return _mm_cmpge_pd(a, b); }
inline DoubleMask not_less_equal(Doubles a, Doubles b) { return _mm_cmpnle_pd(a, b); }
inline DoubleMask both(DoubleMask a, DoubleMask b) { return _mm_and_pd(a, b); }
inline DoubleMask less(Doubles a, Doubles b) { return _mm_cmplt_pd(a, b); }
// Integral doubles, |x| < 2^63, as integers.
inline void store_integers(std::int64_t* p, Doubles x) {
    double lanes[kDoubleLanes];
    _mm_storeu_pd(lanes, x);
    for (int i = 0; i < kDoubleLanes; ++i) p[i] = std::int64_t(lanes[i]);
}
inline Doubles select(DoubleMask m, Doubles if_true, Doubles if_false) {
    return _mm_or_pd(_mm_and_pd(m, if_true), _mm_andnot_pd(m, if_false));
}
// x truncated toward zero, for 0 <= x < 2^52: rounded to an integer by the
// usual addition, and one down where that went up.
inline Doubles truncate(Doubles x) {
    const Doubles big = _mm_set1_pd(0x1p52);
    const Doubles rounded = _mm_sub_pd(_mm_add_pd(x, big), big);
    return _mm_sub_pd(rounded, _mm_and_pd(_mm_cmpgt_pd(rounded, x), _mm_set1_pd(1.0)));
}
inline unsigned lane_bits(DoubleMask m) { return unsigned(_mm_movemask_pd(m)); }
// 1 or 0 in the first n bytes at p, by the bits of `flags`.
inline void store_flags(std::uint8_t* p, unsigned flags, int n) {
    for (int i = 0; i < n; ++i) p[i] = std::uint8_t((flags >> i) & 1u);
}

QUILTMAP_LEVEL_END
