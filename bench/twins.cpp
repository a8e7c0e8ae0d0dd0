// The scalar twins of the three kernels behind a plain C ABI, so that the
// benchmark suite can call them through ctypes (which drops the interpreter
// lock for the call); the production sgm core on volumes the caller
// allocates once, to tell the kernel's time from the cost of fresh result
// volumes; and the production kernels of each instruction-set level.  Built
// only with QUILTMAP_BUILD_BENCH=ON, never installed.
//
// Each twin does the same work as the module's function around its core (the
// copy of Z, the weight table), so that the twin and the production kernel
// are timed on equal terms.  All arrays are C-contiguous and owned by the
// caller.
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/bilateral.hpp"
#include "kernels/levels.hpp"
#include "kernels/sample_view.hpp"
#include "kernels/sgm.hpp"

namespace k = quiltmap::kernels;
using std::int32_t;
using std::int64_t;
using std::uint8_t;

#define TWIN_API extern "C" __attribute__((visibility("default")))

// agg and path are (D, H, W) float32 volumes; the caller zeroes agg (with
// np.zeros, as the module does, so that both pay the same page faults).
TWIN_API void twin_sgm(const float* cost, int64_t D, int64_t H, int64_t W, float P1, float P2,
                       float* agg, float* path) {
    const int64_t extents[3] = {D, H, W};
    k::sgm_aggregate_reference(k::contiguous(cost, extents), P1, P2,
                               k::contiguous(agg, extents), k::contiguous(path, extents));
}

// The production core on caller-owned volumes, which stay mapped between
// calls; agg is zeroed here.
TWIN_API void core_sgm(const float* cost, int64_t D, int64_t H, int64_t W, float P1, float P2,
                       float* agg, float* path) {
    const int64_t extents[3] = {D, H, W};
    std::memset(agg, 0, sizeof(float) * size_t(D * H * W));
    k::sgm_aggregate(k::contiguous(cost, extents), P1, P2, k::contiguous(agg, extents),
                     k::contiguous(path, extents));
}

// The level the production kernels run in this process (the module makes
// the same choice from the same QUILTMAP_ISA), and the highest one the
// machine supports: 0 sse2, 1 avx2, 2 avx512.
TWIN_API int chosen_level() { return int(k::level_choice().level); }
TWIN_API int supported_level() { return int(k::level_choice().supported); }

// The production sgm core of one level (at most the supported one), as core_sgm.
TWIN_API void level_sgm(int level, const float* cost, int64_t D, int64_t H, int64_t W, float P1, float P2,
                        float* agg, float* path) {
    const int64_t extents[3] = {D, H, W};
    std::memset(agg, 0, sizeof(float) * size_t(D * H * W));
    k::kernels_at(k::Level(level))
        .sgm_aggregate(k::contiguous(cost, extents), P1, P2, k::contiguous(agg, extents), k::contiguous(path, extents));
}

// The filter's range weights at one level; returns how many took the library pow.
TWIN_API int64_t level_range_weights(int level, const float* t, float* weight, int64_t n) {
    return k::kernels_at(k::Level(level)).range_weights(t, weight, n);
}

// out receives the filtered (H, W) grid.
namespace {

using Filter = void (*)(const k::Array2<const float>&, const k::Array2<const uint8_t>&, int32_t, float,
                        const k::Array2<const float>&, const k::Array2<float>&);

void bilateral_with(Filter filter, const float* Z, const uint8_t* valid, int64_t H, int64_t W, int32_t radius,
                    float sigma_r, float sigma_s, float* out) {
    const int64_t grid[2] = {H, W};
    std::memcpy(out, Z, sizeof(float) * size_t(H * W));
    const float inv_r = k::bilateral_scale(sigma_r);
    const float inv_s = k::bilateral_scale(sigma_s);
    const int64_t n = 2 * int64_t(radius) + 1;
    std::vector<float> table(size_t(n * n));
    const int64_t table_extents[2] = {n, n};
    k::bilateral_spatial_table(radius, inv_s, radius, k::contiguous(table.data(), table_extents));
    filter(k::contiguous(Z, grid), k::contiguous(valid, grid), radius, inv_r,
           k::contiguous<const float>(table.data(), table_extents), k::contiguous(out, grid));
}

}  // namespace

TWIN_API void twin_bilateral(const float* Z, const uint8_t* valid, int64_t H, int64_t W,
                             int32_t radius, float sigma_r, float sigma_s, float* out) {
    bilateral_with(k::bilateral_filter_reference, Z, valid, H, W, radius, sigma_r, sigma_s, out);
}

// The production filter of one level, with the same work around it as the twin.
TWIN_API void level_bilateral(int level, const float* Z, const uint8_t* valid, int64_t H, int64_t W,
                              int32_t radius, float sigma_r, float sigma_s, float* out) {
    bilateral_with(k::kernels_at(k::Level(level)).bilateral_filter, Z, valid, H, W, radius, sigma_r, sigma_s, out);
}

// img is (h, w, nch), R is 3 x 3 row-major, C has 3 entries, Z is (H, W),
// out is (H, W, nch) and valid (H, W).
namespace {

using Sampler = void (*)(const k::Array3<const float>&, const k::Camera&, const k::GroundGrid&,
                         const k::Array2<const float>&, const k::Array3<float>&, const k::Array2<uint8_t>&);

void sample_view_with(Sampler sampler, const float* img, int64_t h, int64_t w, int64_t nch, const double* R,
                      const double* C, double f, double k1, double k2, double cx, double cy, double X0,
                      double Y0, double gsd, const float* Z, int64_t H, int64_t W, float* out, uint8_t* valid) {
    k::Camera camera{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) camera.R[i][j] = R[3 * i + j];
        camera.C[i] = C[i];
    }
    camera.f = f;
    camera.k1 = k1;
    camera.k2 = k2;
    camera.cx = cx;
    camera.cy = cy;
    const k::GroundGrid grid{X0, Y0, gsd};
    const int64_t img_extents[3] = {h, w, nch};
    const int64_t grid_extents[2] = {H, W};
    const int64_t out_extents[3] = {H, W, nch};
    sampler(k::contiguous(img, img_extents), camera, grid, k::contiguous(Z, grid_extents),
            k::contiguous(out, out_extents), k::contiguous(valid, grid_extents));
}

}  // namespace

TWIN_API void twin_sample_view(const float* img, int64_t h, int64_t w, int64_t nch, const double* R,
                               const double* C, double f, double k1, double k2, double cx, double cy, double X0,
                               double Y0, double gsd, const float* Z, int64_t H, int64_t W, float* out,
                               uint8_t* valid) {
    sample_view_with(k::sample_view_reference, img, h, w, nch, R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z, H, W, out,
                     valid);
}

// The production sampler of one level.
TWIN_API void level_sample_view(int level, const float* img, int64_t h, int64_t w, int64_t nch, const double* R,
                                const double* C, double f, double k1, double k2, double cx, double cy, double X0,
                                double Y0, double gsd, const float* Z, int64_t H, int64_t W, float* out,
                                uint8_t* valid) {
    sample_view_with(k::kernels_at(k::Level(level)).sample_view, img, h, w, nch, R, C, f, k1, k2, cx, cy, X0, Y0,
                     gsd, Z, H, W, out, valid);
}
