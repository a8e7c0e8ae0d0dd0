// The production sampler against its literal twin; the outcomes themselves
// are checked against an independent oracle by the Python tests.
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/sample_view.hpp"
#include "tests/cpp/levels.hpp"
#include "tests/cpp/random_volumes.hpp"

namespace {

using namespace quiltmap::kernels;
using namespace quiltmap::test;

using Sampler = void (*)(const Array3<const float>&, const Camera&, const GroundGrid&,
                         const Array2<const float>&, const Array3<float>&,
                         const Array2<std::uint8_t>&);

class SampleViewLevels : public EveryLevel {};
QUILTMAP_AT_EVERY_LEVEL(SampleViewLevels);

constexpr float kUntouched = -7.0f;
constexpr std::uint8_t kUnset = 9;

// One call; out has `spare` channels and a row beyond its last, valid three
// spare columns, all of which must keep their fill.  Without a spare
// channel, one-channel samples are consecutive floats (the plane sweep's
// case, which production samples several at once).
struct Sampled {
    Buffer<float, 3> out;
    Buffer<std::uint8_t, 2> valid;
    Sampled(Sampler kernel, const Buffer<float, 3>& img, const Camera& cam, const GroundGrid& grid,
            const Buffer<float, 2>& Z, int64_t spare = 1)
        : out({Z.view.extent[0], Z.view.extent[1], img.view.extent[2] + spare}, {1, 0, 0}, kUntouched),
          valid({Z.view.extent[0], Z.view.extent[1] + 3}, {0, 0}, kUnset) {
        kernel(img.cview(), cam, grid, Z.cview(), out.view, valid.view);
    }
};

// img[y, x, ch] = x + 1000 ch, NaN around it so that a stray read shows.
Buffer<float, 3> ramp(int64_t h, int64_t w, int64_t nch) {
    Buffer<float, 3> img({h, w, nch}, {1, 1, 1}, kNaN);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            for (int64_t ch = 0; ch < nch; ++ch) img({y, x, ch}) = float(x + 1000 * ch);
    return img;
}

// 10 to 80 above the ground near the origin, tilted up to ~35 degrees from
// straight down, mild distortion.
Camera random_camera(Values& values, int64_t h, int64_t w) {
    const double a = values.uniform(-0.6, 0.6), b = values.uniform(-0.6, 0.6),
                 g = values.uniform(-3.2, 3.2);
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b),
                 cg = std::cos(g), sg = std::sin(g);
    return {{{cg * cb, sg * cb, -sb},
             {cg * sb * sa - sg * ca, sg * sb * sa + cg * ca, cb * sa},
             {-(cg * sb * ca + sg * sa), -(sg * sb * ca - cg * sa), -(cb * ca)}},
            {values.uniform(-5, 25), values.uniform(-25, 5), values.uniform(10, 80)},
            values.uniform(10, 80), values.uniform(-0.3, 0.3), values.uniform(-0.1, 0.1),
            values.uniform(0, double(w)), values.uniform(0, double(h))};
}
GroundGrid random_grid(Values& values) {
    return {values.uniform(-10, 0), values.uniform(0, 10), values.uniform(0.3, 2)};
}

TEST_P(SampleViewLevels, ProductionMatchesReferenceBitForBit) {
    const int64_t shapes[][5] = {  // H, W, h, w, nch
        {0, 5, 40, 30, 3},   {5, 0, 40, 30, 3},   {1, 1, 40, 30, 3},  {1, 9, 40, 30, 2},
        {9, 1, 40, 30, 2},   {9, 11, 0, 30, 3},   {9, 11, 40, 1, 3},  {9, 11, 1, 30, 3},
        {12, 17, 40, 30, 0}, {12, 17, 40, 30, 1}, {20, 25, 64, 48, 4}, {33, 31, 16, 16, 3},
        {3, 300, 40, 30, 1}, {5, 7, 1, 30, 1},   {6, 13, 40, 1, 1}};
    Values values(5);
    for (const auto& [H, W, h, w, nch] : shapes) {
        for (int trial = 0; trial < 40; ++trial) {
            const double p = trial % 4 == 0 ? 0.0 : 0.03;  // share of awkward values
            Buffer<float, 3> img({h, w, nch}, {1, 1, 1}, kNaN);
            img.fill([&] { return values.mixed(-50, 250, p); }).wild_unit_strides();
            Buffer<float, 2> Z({H, W}, {1, 2}, kNaN);
            Z.fill([&] { return values.mixed(0, 15, p); }).wild_unit_strides();
            Camera cam = random_camera(values, h, w);
            GroundGrid grid = random_grid(values);
            if (trial % 10 == 9) {
                double* knobs[] = {&cam.f, &cam.k1, &cam.cx, &cam.C[2], &grid.gsd, &cam.R[2][2]};
                *knobs[values.index(6)] = values.special();
            }
            for (const int64_t spare : {1, 0}) {
                const Sampled want(sample_view_reference, img, cam, grid, Z, spare);
                const Sampled got(level().sample_view, img, cam, grid, Z, spare);
                ASSERT_TRUE(same_elements(got.valid.storage, want.valid.storage)) << H << " " << W << " " << nch;
                ASSERT_TRUE(same_elements(got.out.storage, want.out.storage)) << H << " " << W << " " << nch
                                                                              << " spare " << spare;
            }
        }
    }
}

// Cells aimed at an image edge to within a few ulps: the side they fall on
// depends on every rounding of the projection, so production must round
// exactly as the reference does to decide alike.
TEST_P(SampleViewLevels, ProductionDecidesLikeReferenceAtTheEdges) {
    Values values(11);
    const int64_t h = 30, w = 40;
    const auto img = ramp(h, w, 2);
    int sampled = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        Camera cam = random_camera(values, h, w);
        const GroundGrid grid = random_grid(values);
        const Buffer<float, 2> Z({1, 1}, {0, 0}, float(values.uniform(0, 15)));
        const double P[3] = {grid.X0 + 0.5 * grid.gsd, grid.Y0 - 0.5 * grid.gsd, Z.storage[0]};
        double q[3] = {0, 0, 0};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) q[i] += cam.R[i][j] * (P[j] - cam.C[j]);
        const double nx = q[0] / q[2], ny = q[1] / q[2], r2 = nx * nx + ny * ny;
        const double d = 1 + cam.k1 * r2 + cam.k2 * r2 * r2;
        const int side = trial % 4;  // u = 0, u = w - 1, v = 0, v = h - 1
        const double u = side == 0 ? 0 : side == 1 ? double(w - 1) : values.uniform(1, w - 2.0);
        const double v = side == 2 ? 0 : side == 3 ? double(h - 1) : values.uniform(1, h - 2.0);
        cam.cx = u - cam.f * d * nx;
        cam.cy = v - cam.f * d * ny;
        double& aimed = side < 2 ? cam.cx : cam.cy;
        for (int64_t k = values.index(7) - 3; k != 0; k += k < 0 ? 1 : -1)
            aimed = std::nextafter(aimed, k < 0 ? -kInf : kInf);

        const Sampled want(sample_view_reference, img, cam, grid, Z);
        const Sampled got(level().sample_view, img, cam, grid, Z);
        ASSERT_EQ(got.valid.storage, want.valid.storage) << "trial " << trial;
        ASSERT_TRUE(same_elements(got.out.storage, want.out.storage)) << "trial " << trial;
        sampled += want.valid.storage[0];
    }
    EXPECT_GT(sampled, 400);  // both sides of the edges were hit
    EXPECT_LT(sampled, 3600);
}

}  // namespace
