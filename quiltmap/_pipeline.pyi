# Types of quiltmap._pipeline for type checkers.  Every function writes into
# arrays the caller passes and returns None; the documentation of each says
# which shapes it needs.
from typing import SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

_Real = Union[SupportsFloat, SupportsIndex]
_Float32Array = npt.NDArray[np.float32]
_Codes = npt.NDArray[np.uint64]
_Bytes = npt.NDArray[np.uint8]

def census(image: _Float32Array, rows: SupportsIndex, columns: SupportsIndex, step: SupportsIndex,
           codes: _Codes) -> None: ...
def sgm(cost: _Float32Array, P1: _Real, P2: _Real, agg: _Float32Array, path: _Float32Array) -> None: ...
def whole_windows(valid: _Bytes, r: SupportsIndex, step: SupportsIndex, whole: _Bytes) -> None: ...
def match_cost(codes: _Codes, whole: _Bytes, boxes: npt.NDArray[np.int32], ref: SupportsIndex, bits: SupportsIndex,
               best_views: SupportsIndex, plane: _Float32Array) -> None: ...
def census_whole(samples: _Float32Array, valid: _Bytes, r: SupportsIndex, step: SupportsIndex, codes: _Codes,
                 whole: _Bytes) -> None: ...
def block_peaks(heights: _Float32Array, block: SupportsIndex, peaks: _Float32Array) -> None: ...
def cast_rays(heights: _Float32Array, peaks: _Float32Array, X0: _Real, Y0: _Real, gsd: _Real, rows: SupportsIndex,
              columns: SupportsIndex, window_row: SupportsIndex, window_column: SupportsIndex,
              origin: npt.NDArray[np.float64], z_range: npt.NDArray[np.float64], refine: SupportsIndex,
              block: SupportsIndex, dirs: npt.NDArray[np.float64], t: npt.NDArray[np.float64]) -> None: ...
def visibility(heights: _Float32Array, peaks: _Float32Array, X0: _Real, Y0: _Real, gsd: _Real, rows: SupportsIndex,
               columns: SupportsIndex, window_row: SupportsIndex, window_column: SupportsIndex,
               origin: npt.NDArray[np.float64], z_range: npt.NDArray[np.float64], refine: SupportsIndex,
               block: SupportsIndex, region_row: SupportsIndex, region_column: SupportsIndex,
               visible: npt.NDArray[np.uint8]) -> None: ...
def select_heights(agg: _Float32Array, lowest: _Real, step: _Real, agree: _Real, uniqueness: _Real,
                   z: _Float32Array, unique: npt.NDArray[np.uint8]) -> None: ...
def consistency_mask(za: _Float32Array, ua: npt.NDArray[np.uint8], zb: _Float32Array, ub: npt.NDArray[np.uint8],
                     seen: npt.NDArray[np.int32], tolerance: _Real, needed: SupportsIndex,
                     matched: npt.NDArray[np.uint8], raw: _Float32Array) -> None: ...
def fill_holes(z: _Float32Array, rings: SupportsIndex, ring: npt.NDArray[np.int32],
               queue: npt.NDArray[np.int32]) -> None: ...
