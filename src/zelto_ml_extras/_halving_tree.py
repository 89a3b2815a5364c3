"""The canonical halving tree over the rows of a fit, as a driver that holds its nodes at one
depth sees it: the row range of each node, and the root's sums from the nodes' sums.

A range of two or more rows splits into its first ``n // 2`` rows and the rest; a range of fewer
rows is a leaf and stays whole at every depth. ``ZeltoSolver.gradient_sums`` of a node's rows is
that node's value in the tree, so adding the values pairwise, left + right in float32, up to the
root gives the bits of the solver's own canonical sums over all rows.
"""
from typing import Iterator, List, Tuple

import numpy as np

Sums = Tuple[np.ndarray, np.float32]


def node_ranges(n: int, depth: int) -> List[Tuple[int, int]]:
    """The half-open row ranges of the nodes ``depth`` levels below the root [0, n), left to
    right: the chunk boundaries a distributed fit cuts its rows at."""
    ranges: List[Tuple[int, int]] = []

    def descend(lo: int, hi: int, d: int) -> None:
        if d == 0 or hi - lo < 2:
            ranges.append((lo, hi))
            return
        mid = lo + (hi - lo) // 2
        descend(lo, mid, d - 1)
        descend(mid, hi, d - 1)

    descend(0, n, depth)
    return ranges


def combine(n: int, depth: int, sums: List[Sums]) -> Sums:
    """The root's (g, g_b) from the nodes' sums in node_ranges order, each pair of siblings
    added as left + right in float32, exactly as the tree groups them."""
    nodes: Iterator[Sums] = iter(sums)

    def ascend(lo: int, hi: int, d: int) -> Sums:
        if d == 0 or hi - lo < 2:
            return next(nodes)
        mid = lo + (hi - lo) // 2
        g_left, b_left = ascend(lo, mid, d - 1)
        g_right, b_right = ascend(mid, hi, d - 1)
        return g_left + g_right, b_left + b_right

    return ascend(0, n, depth)
