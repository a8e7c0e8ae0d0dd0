# Types of quiltmap._pipeline for type checkers.  Every function writes into
# arrays the caller passes and returns None; the documentation of each says
# which shapes it needs.
from typing import SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

_Real = Union[SupportsFloat, SupportsIndex]
_Float32Array = npt.NDArray[np.float32]
_Codes = npt.NDArray[np.uint64]
_Int32Array = npt.NDArray[np.int32]
_Flags = npt.NDArray[np.uint8]

def census(image: _Float32Array, rows: SupportsIndex, columns: SupportsIndex, step: SupportsIndex,
           codes: _Codes) -> None: ...
def sgm(cost: _Float32Array, P1: _Real, P2: _Real, agg: _Float32Array, path: _Float32Array) -> None: ...
def census_cost(left: _Codes, right: _Codes, first: SupportsIndex, scale: _Real, outside: _Real,
                cost: _Float32Array) -> None: ...
def right_winner(volume: _Float32Array, best: _Int32Array) -> None: ...
def left_right_check(left: _Float32Array, right: _Int32Array, tolerance: _Real, matched: _Flags) -> None: ...
