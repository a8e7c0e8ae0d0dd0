"""The command's preview.png: the height model in a colour ramp beside the
orthomosaic, with a labelled height scale and a legend, drawn with Pillow
alone (the command's extras have no plotting library).

Small grids are scaled up by a whole number of pixels per cell (nearest
neighbour) until a map is about MAP_SIDE pixels on its longer side; grids
larger than `largest` cells on a side are shown by every k-th cell."""
import math
import os
from typing import Any, Tuple, Union

import numpy as np

from .geometry import GroundGrid

__all__ = ["RAMP", "UNMATCHED", "UNSEEN", "ramp", "preview_image", "write_preview"]

# viridis at nine even steps: perceptually even, legible to colour-blind
# readers and in grey print.
RAMP = np.array([[68, 1, 84], [71, 45, 123], [59, 82, 139], [44, 114, 142], [33, 145, 140], [40, 174, 128],
                 [94, 201, 98], [173, 220, 48], [253, 231, 37]], np.float64)
UNMATCHED = (150, 150, 150)  # grey: a colour the ramp never takes
UNSEEN = (0, 0, 115)  # dark blue, in the orthomosaic
MAP_SIDE = 400
MIN_WIDTH = 800
MARGIN, GAP = 16, 16
BACKGROUND, INK = (255, 255, 255), (0, 0, 0)


def ramp(t: np.ndarray) -> np.ndarray:
    """Colours (..., 3) uint8 of the ramp at t in [0, 1] (clipped)."""
    t = np.clip(np.asarray(t, np.float64), 0, 1) * (len(RAMP) - 1)
    anchors = np.arange(len(RAMP))
    return np.stack([np.round(np.interp(t, anchors, RAMP[:, k])) for k in range(3)], -1).astype(np.uint8)


def _font(size):
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow before 10.1: the bitmap font of one size
        return ImageFont.load_default()


def _label(value: float, span: float) -> str:
    digits = max(0, min(3, 2 - math.floor(math.log10(span)))) if span > 0 else 2
    return f"{value:.{digits}f}"


def preview_image(heights: Any, orthomosaic: Any, grid: GroundGrid, shown: Tuple[float, float],
                  largest: int = 2048):
    """The preview as a PIL image. shown: the heights (low, high) that the
    ramp spans; heights beyond it take its end colours."""
    from PIL import Image, ImageDraw

    step = -(-max(grid.rows, grid.columns) // largest)
    Z = np.asarray(heights[::step, ::step], np.float32)
    colour = np.asarray(orthomosaic[::step, ::step], np.float32)
    rows, columns = Z.shape
    scale = max(1, math.ceil(MAP_SIDE / max(rows, columns)))
    low, high = float(shown[0]), float(shown[1])
    matched = np.isfinite(Z)
    left = ramp((np.where(matched, Z, low) - low) / max(high - low, 1e-9))
    left[~matched] = UNMATCHED
    right = np.round(np.clip(np.nan_to_num(np.broadcast_to(colour, (rows, columns, 3))), 0, 1) * 255).astype(np.uint8)
    right[~np.isfinite(colour).all(axis=2)] = UNSEEN

    width, height = columns * scale, rows * scale
    title, small = _font(16), _font(13)
    line = 22
    canvas_width = max(MIN_WIDTH, 2 * MARGIN + 2 * width + GAP)
    bar_width = min(max(width, 300), canvas_width - 2 * MARGIN)
    legend_top = MARGIN + line + height + MARGIN
    image = Image.new("RGB", (canvas_width, legend_top + 5 * line + MARGIN), BACKGROUND)
    draw = ImageDraw.Draw(image)
    for x, picture, caption in ((MARGIN, left, "heights"), (MARGIN + width + GAP, right, "orthomosaic")):
        draw.text((x, MARGIN), caption, fill=INK, font=title)
        image.paste(Image.fromarray(picture).resize((width, height), Image.Resampling.NEAREST), (x, MARGIN + line))

    # The height scale: the ramp from low to high, five labelled ticks.
    bar = np.repeat(ramp(np.linspace(0, 1, bar_width))[None], 14, axis=0)
    image.paste(Image.fromarray(bar), (MARGIN, legend_top))
    for k in range(5):
        x = MARGIN + round(k * (bar_width - 1) / 4)
        draw.line([(x, legend_top + 14), (x, legend_top + 18)], fill=INK)
        text = _label(low + k * (high - low) / 4, high - low)
        shift = 0 if k == 0 else draw.textlength(text, font=small) * (1 if k == 4 else 0.5)
        draw.text((x - shift, legend_top + 19), text, fill=INK, font=small)
    y = legend_top + 2 * line
    draw.text((MARGIN, y), "height in metres, 1st to 99th percentile of the matched cells (beyond: the end "
              "colours)", fill=INK, font=small)
    y += line
    at = float(MARGIN)
    for swatch, text in ((UNMATCHED, "unmatched: no height"), (UNSEEN, "orthomosaic: no view sees the cell")):
        draw.rectangle([at, y + 2, at + 12, y + 14], fill=swatch, outline=INK)
        draw.text((at + 18, y + 1), text, fill=INK, font=small)
        at += 18 + draw.textlength(text, font=small) + 24
    y += line
    cells = f"{grid.rows} x {grid.columns} cells of {grid.gsd:g} m"
    shown_as = f"one cell in {step} each way" if step > 1 else "every cell"
    draw.text((MARGIN, y), f"{cells}; {shown_as}, drawn as {scale} x {scale} pixels; north up", fill=INK, font=small)
    return image


def write_preview(path: Union[str, os.PathLike], heights: Any, orthomosaic: Any, grid: GroundGrid,
                  shown: Tuple[float, float]) -> None:
    from .outputs import replace_atomically

    image = preview_image(heights, orthomosaic, grid, shown)
    replace_atomically(path, lambda file: image.save(file, format="PNG"))
