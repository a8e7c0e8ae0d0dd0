# Types of quiltmap._mvs for type checkers.  NumPy's array types cannot say
# how many axes an array has, which extents a call needs or when None will
# do; docs/api.md says that for every parameter.
from typing import Optional, SupportsFloat, SupportsIndex, SupportsInt, Union

import numpy as np
import numpy.typing as npt

# The module converts a number as float() would, so anything with __float__
# or __index__ is accepted, NumPy's scalars included.
_Real = Union[SupportsFloat, SupportsIndex]
_Float32Array = npt.NDArray[np.float32]
_Float64Array = npt.NDArray[np.float64]
# Masks are read as bytes, and NumPy's bool is one byte too.
_Mask = Union[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]

def sample_view(
    img: Optional[_Float32Array],
    R: Optional[_Float64Array],
    C: Optional[_Float64Array],
    f: _Real,
    k1: _Real,
    k2: _Real,
    cx: _Real,
    cy: _Real,
    X0: _Real,
    Y0: _Real,
    gsd: _Real,
    Z: Optional[_Float32Array],
    out: Optional[_Float32Array],
    valid: Optional[_Mask],
) -> None: ...
def sgm(cost: Optional[_Float32Array], P1: _Real, P2: _Real) -> _Float32Array: ...

# radius goes through int(), __int__ only, so a float is truncated toward zero.
def bilateral(
    Z: _Float32Array,
    valid: Optional[_Mask],
    radius: SupportsInt,
    sigma_r: _Real,
    sigma_s: _Real,
) -> _Float32Array: ...
