"""The 8-direction aggregation as a NumPy user would write it, made as fast as
NumPy allows: the recurrence is sequential along each path, so every
direction sweeps one line of cells at a time, and all directions that can
share a sweep do (the opposite and diagonal ones run on flipped copies).

Costs, penalties and sums stay float32 and each element gets its eight path
costs added in the module's direction order, so the result is expected to
equal the module's to the bit on inputs without NaN.
"""

import numpy as np


def _sweep(lines, P1, P2, shifted):
    """Runs the recurrence in place over `lines`, shaped (S, k, D, N): S steps
    along the paths, k independent stacked directions, D labels and N cells
    per line.  On entry lines[s] holds costs, on exit path costs.  With
    `shifted`, cell n's predecessor is cell n - 1 of the previous line and
    cell 0 starts a path (a diagonal); otherwise it is cell n."""
    S, k, D, N = lines.shape
    if S < 2 or D == 0 or N == 0:
        return
    n = N - 1 if shifted else N
    if n == 0:
        return  # every cell starts a path: L = cost
    t = np.empty((k, D, n), np.float32)
    v = np.empty((k, D, n), np.float32)
    best = np.empty((k, 1, n), np.float32)
    bestP2 = np.empty((k, 1, n), np.float32)
    for s in range(1, S):
        prev = lines[s - 1, :, :, :n]
        cur = lines[s, :, :, 1:] if shifted else lines[s]
        np.min(prev, axis=1, keepdims=True, out=best)
        np.add(prev, P1, out=t)
        v[:, 0] = prev[:, 0]
        np.minimum(prev[:, 1:], t[:, :-1], out=v[:, 1:])
        np.minimum(v[:, :-1], t[:, 1:], out=v[:, :-1])
        np.add(best, P2, out=bestP2)
        np.minimum(v, bestP2, out=v)
        np.add(v, cur, out=v)
        np.subtract(v, best, out=cur)


def sgm(cost, P1, P2):
    """Sum of the 8 path-cost volumes of a (D, H, W) float32 cost volume."""
    cost = np.ascontiguousarray(cost, dtype=np.float32)
    P1 = np.float32(P1)
    P2 = np.float32(P2)
    D, H, W = cost.shape
    agg = np.empty_like(cost)

    # Directions 0 (left to right) and 1 (right to left): steps along x.
    lines = np.empty((W, 2, D, H), np.float32)
    lines[:, 0] = cost.transpose(2, 0, 1)
    lines[:, 1] = cost[:, :, ::-1].transpose(2, 0, 1)
    _sweep(lines, P1, P2, shifted=False)
    np.copyto(agg, lines[:, 0].transpose(1, 2, 0))
    agg += lines[::-1, 1].transpose(1, 2, 0)
    del lines

    # Directions 2 (down) and 3 (up): steps along y.
    lines = np.empty((H, 2, D, W), np.float32)
    lines[:, 0] = cost.transpose(1, 0, 2)
    lines[:, 1] = cost[:, ::-1].transpose(1, 0, 2)
    _sweep(lines, P1, P2, shifted=False)
    agg += lines[:, 0].transpose(1, 0, 2)
    agg += lines[::-1, 1].transpose(1, 0, 2)
    del lines

    # Directions 4 to 7, each flipped to run down and to the right.
    lines = np.empty((H, 4, D, W), np.float32)
    lines[:, 0] = cost.transpose(1, 0, 2)
    lines[:, 1] = cost[:, :, ::-1].transpose(1, 0, 2)
    lines[:, 2] = cost[:, ::-1].transpose(1, 0, 2)
    lines[:, 3] = cost[:, ::-1, ::-1].transpose(1, 0, 2)
    _sweep(lines, P1, P2, shifted=True)
    agg += lines[:, 0].transpose(1, 0, 2)
    agg += lines[:, 1, :, ::-1].transpose(1, 0, 2)
    agg += lines[::-1, 2].transpose(1, 0, 2)
    agg += lines[::-1, 3, :, ::-1].transpose(1, 0, 2)
    return agg
