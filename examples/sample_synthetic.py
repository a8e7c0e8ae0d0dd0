"""Sample a synthetic aerial image onto a ground grid with quiltmap._mvs.sample_view.

A nadir camera 64 units above flat ground looks at a 160 x 200 image of
gradients; the ground grid's cells project onto pixel centres, so the sampled
patch reproduces the image exactly, and cells beyond the image's edge are
marked invalid.
"""
import numpy as np

from quiltmap import _mvs


def main():
    h, w = 160, 200
    rows, cols = np.mgrid[0:h, 0:w].astype(np.float32)
    img = np.stack([rows, cols, rows + cols], axis=-1)  # (h, w, 3)

    R = np.diag([1.0, -1.0, -1.0])  # looking straight down, image rows towards -Y
    C = np.array([0.0, 0.0, 64.0])
    f, cx, cy = 64.0, 50.0, 50.0
    H, W = 120, 160
    Z = np.zeros((H, W), np.float32)
    out = np.full((H, W, 3), np.nan, np.float32)
    valid = np.zeros((H, W), np.uint8)

    _mvs.sample_view(img, R, C, f, 0.0, 0.0, cx, cy, -0.5, 0.5, 1.0, Z, out, valid)

    inside = valid.astype(bool)
    expected = img[50 : 50 + H, 50 : 50 + W][: inside.sum(axis=0).max(), : inside.sum(axis=1).max()]
    print(f"image {h} x {w} x 3 sampled onto a {H} x {W} ground grid")
    print(f"valid cells: {inside.sum()} of {H * W} ({inside.mean():.1%})")
    print(f"cell (0, 0) -> pixel (50, 50): {out[0, 0]}  (image there: {img[50, 50]})")
    print(f"cell (7, 11) -> pixel (57, 61): {out[7, 11]}  (image there: {img[57, 61]})")
    same = np.array_equal(out[inside].reshape(expected.shape), expected)
    print(f"sampled patch equals the image patch exactly: {same}")
    print(f"cells past the image edge left untouched (still NaN): {bool(np.isnan(out[~inside]).all())}")


if __name__ == "__main__":
    main()
