# Types of quiltmap._pipeline for type checkers.  Every function writes into
# arrays the caller passes and returns None; the documentation of each says
# which shapes it needs.
from typing import SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

_Real = Union[SupportsFloat, SupportsIndex]
_Float32Array = npt.NDArray[np.float32]
_Codes = npt.NDArray[np.uint64]

def census(image: _Float32Array, rows: SupportsIndex, columns: SupportsIndex, step: SupportsIndex,
           codes: _Codes) -> None: ...
def sgm(cost: _Float32Array, P1: _Real, P2: _Real, agg: _Float32Array, path: _Float32Array) -> None: ...
def select_heights(agg: _Float32Array, lowest: _Real, step: _Real, agree: _Real, uniqueness: _Real,
                   z: _Float32Array, unique: npt.NDArray[np.uint8]) -> None: ...
def consistency_mask(za: _Float32Array, ua: npt.NDArray[np.uint8], zb: _Float32Array, ub: npt.NDArray[np.uint8],
                     seen: npt.NDArray[np.int32], tolerance: _Real, needed: SupportsIndex,
                     matched: npt.NDArray[np.uint8], raw: _Float32Array) -> None: ...
def fill_holes(z: _Float32Array, rings: SupportsIndex, ring: npt.NDArray[np.int32],
               queue: npt.NDArray[np.int32]) -> None: ...
