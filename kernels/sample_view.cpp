#include "kernels/sample_view.hpp"

namespace quiltmap::kernels {

namespace {

// Where a cell lands in the image, or nothing.
struct Projection {
    double u, v;
};

// Depth test, projection and image-bounds test of one ground point.
// dy_terms[i] is R[i][1] * dy, formed once per row: the same product either way.
inline bool project(const Camera& cam, double dx, const double (&dy_terms)[3], double dz,
                    std::int64_t h, std::int64_t w, Projection& p) {
    const double zc = cam.R[2][0] * dx + dy_terms[2] + cam.R[2][2] * dz;
    if (zc <= 1e-6) return false;
    const double xc = cam.R[0][0] * dx + dy_terms[0] + cam.R[0][2] * dz;
    const double yc = cam.R[1][0] * dx + dy_terms[1] + cam.R[1][2] * dz;
    const double nx = xc / zc;
    const double ny = yc / zc;
    const double r2 = nx * nx + ny * ny;
    const double d = (1.0 + cam.k1 * r2) + (cam.k2 * r2) * r2;
    const double fd = cam.f * d;
    p.u = fd * nx + cam.cx;
    p.v = fd * ny + cam.cy;
    // Written so that a NaN position fails too: it must never become an index.
    return p.u >= 0.0 && p.v >= 0.0 && p.u <= double(w - 1) && p.v <= double(h - 1);
}

}  // namespace

void sample_view_reference(const Array3<const float>& img, const Camera& camera,
                           const GroundGrid& grid, const Array2<const float>& Z,
                           const Array3<float>& out, const Array2<std::uint8_t>& valid) {
    const std::int64_t H = Z.extent[0], W = Z.extent[1];
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
            if (zc <= 1e-6) continue;
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

void sample_view(const Array3<const float>& img, const Camera& camera, const GroundGrid& grid,
                 const Array2<const float>& Z, const Array3<float>& out,
                 const Array2<std::uint8_t>& valid) {
    const std::int64_t H = Z.extent[0], W = Z.extent[1];
    const std::int64_t h = img.extent[0], w = img.extent[1], nch = img.extent[2];
    const std::int64_t img_row = img.stride[0], img_col = img.stride[1], img_ch = img.stride[2];
    const std::int64_t out_ch = out.stride[2];
    const Camera cam = camera;  // locals, so stores through out cannot alias them

    for (std::int64_t r = 0; r < H; ++r) {
        const double Y = grid.Y0 - (double(r) + 0.5) * grid.gsd;
        const double dy = Y - cam.C[1];
        const double dy_terms[3] = {cam.R[0][1] * dy, cam.R[1][1] * dy, cam.R[2][1] * dy};
        const float* z_row = at(Z.data, r * Z.stride[0]);
        float* out_row = at(out.data, r * out.stride[0]);
        std::uint8_t* valid_row = at(valid.data, r * valid.stride[0]);

        for (std::int64_t c = 0; c < W; ++c) {
            const double X = (double(c) + 0.5) * grid.gsd + grid.X0;
            std::uint8_t* valid_rc = at(valid_row, c * valid.stride[1]);
            *valid_rc = 0;
            const double dx = X - cam.C[0];
            const double dz = double(*at(z_row, c * Z.stride[1])) - cam.C[2];
            Projection p;
            if (!project(cam, dx, dy_terms, dz, h, w, p)) continue;

            const std::int64_t x0 = std::int64_t(p.u);
            const std::int64_t y0 = std::int64_t(p.v);
            const std::int64_t x1 = x0 + 1 < w ? x0 + 1 : x0;
            const std::int64_t y1 = y0 + 1 < h ? y0 + 1 : y0;
            const double fx = p.u - double(x0);
            const double fy = p.v - double(y0);
            const double gx = 1.0 - fx;
            const double gy = 1.0 - fy;
            const float* p00 = at(img.data, y0 * img_row + x0 * img_col);
            const float* p01 = at(img.data, y0 * img_row + x1 * img_col);
            const float* p10 = at(img.data, y1 * img_row + x0 * img_col);
            const float* p11 = at(img.data, y1 * img_row + x1 * img_col);
            float* dst = at(out_row, c * out.stride[1]);
            for (std::int64_t ch = 0; ch < nch; ++ch) {
                const std::int64_t off = ch * img_ch;
                const double top = double(*at(p00, off)) * gx + double(*at(p01, off)) * fx;
                const double bottom = double(*at(p10, off)) * gx + double(*at(p11, off)) * fx;
                *at(dst, ch * out_ch) = float(top * gy + bottom * fy);
            }
            *valid_rc = 1;
        }
    }
}

}  // namespace quiltmap::kernels
