#include "kernels/sample_view.hpp"

namespace quiltmap::kernels {

void sample_view_reference(const Array3<const float>& img, const Camera& camera,
                           const GroundGrid& grid, const Array2<const float>& Z,
                           const Array3<float>& out, const Array2<std::uint8_t>& valid) {
    const std::int64_t H = Z.extent[0], W = Z.extent[1];
    if (H == 0 || W == 0) return;  // no cells, however long the other axis
    const std::int64_t h = img.extent[0], w = img.extent[1], nch = img.extent[2];
    const auto& R = camera.R;
    const auto& C = camera.C;
    auto pixel = [&](std::int64_t y, std::int64_t x, std::int64_t ch) {
        return double(*at(img.data, y * img.stride[0] + x * img.stride[1] + ch * img.stride[2]));
    };

    for (std::int64_t r = 0; r < H; ++r) {
        const double Y = grid.Y0 - (double(r) + 0.5) * grid.gsd;
        for (std::int64_t c = 0; c < W; ++c) {
            const double X = (double(c) + 0.5) * grid.gsd + grid.X0;
            std::uint8_t* valid_rc = at(valid.data, r * valid.stride[0] + c * valid.stride[1]);
            *valid_rc = 0;
            const double dx = X - C[0];
            const double dy = Y - C[1];
            const double dz = double(*at(Z.data, r * Z.stride[0] + c * Z.stride[1])) - C[2];
            const double zc = R[2][0] * dx + R[2][1] * dy + R[2][2] * dz;
            if (zc <= kMinDepth) continue;
            const double xc = R[0][0] * dx + R[0][1] * dy + R[0][2] * dz;
            const double yc = R[1][0] * dx + R[1][1] * dy + R[1][2] * dz;
            const double nx = xc / zc;
            const double ny = yc / zc;
            const double r2 = nx * nx + ny * ny;
            const double d = (1.0 + camera.k1 * r2) + (camera.k2 * r2) * r2;
            const double u = (camera.f * d) * nx + camera.cx;
            const double v = (camera.f * d) * ny + camera.cy;
            if (!(u >= 0.0 && v >= 0.0 && u <= double(w - 1) && v <= double(h - 1))) continue;
            const std::int64_t x0 = std::int64_t(u);
            const std::int64_t y0 = std::int64_t(v);
            const std::int64_t x1 = x0 + 1 < w ? x0 + 1 : x0;
            const std::int64_t y1 = y0 + 1 < h ? y0 + 1 : y0;
            const double fx = u - double(x0);
            const double fy = v - double(y0);
            for (std::int64_t ch = 0; ch < nch; ++ch) {
                const double value =
                    (pixel(y0, x0, ch) * (1.0 - fx) + pixel(y0, x1, ch) * fx) * (1.0 - fy) +
                    (pixel(y1, x0, ch) * (1.0 - fx) + pixel(y1, x1, ch) * fx) * fy;
                *at(out.data, r * out.stride[0] + c * out.stride[1] + ch * out.stride[2]) =
                    float(value);
            }
            *valid_rc = 1;
        }
    }
}

}  // namespace quiltmap::kernels
