"""What quiltmap._mvs shows of its source, stated once for every test.

Tracebacks and code objects name a file and lines of the module's own
(quiltmap/_mvs.cpp keeps them in each function's `enum Line` and parameter
table), and its code objects list parameters and locals.  Callers' tools
rely on them (docs/api.md, Compatibility), so the tests hold the module to
them; a line that moves is changed here, and nowhere else in the tests.
"""
from typing import Dict, NamedTuple, Tuple

SOURCE_PATH = "quiltmap/_mvs"  # the file of every traceback entry and code object

# Start-up failures carry one entry of this name, at the module-level step under way.
INIT_ENTRY = "init quiltmap._mvs"
INIT_LINES = {"module": 1, "numpy_c_api": 9}


class Function(NamedTuple):
    name: str
    first_line: int  # co_firstlineno, and the line of every failure to bind the arguments
    conversions: Dict[str, int]  # parameter: the line its failed conversion reports, in parameter order
    failures: Dict[str, int]  # the lines of the body's failures, by what fails
    locals: Tuple[str, ...]  # the locals its code object lists after the parameters

    @property
    def parameters(self) -> Tuple[str, ...]:
        return tuple(self.conversions)

    @property
    def qualified_name(self) -> str:
        """The name of its traceback entries."""
        return "quiltmap._mvs." + self.name


SAMPLE_VIEW = Function(
    name="sample_view",
    first_line=12,
    conversions=dict(img=12, R=12, C=12, f=13, k1=13, k2=13, cx=13, cy=13, X0=14, Y0=14, gsd=14, Z=14,
                     out=15, valid=15),
    failures={"camera": 12, "outputs": 15},  # R or C, out or valid too small for the grid
    locals=("H", "W", "h", "w", "nch", "r", "c", "ch", "x0", "y0", "x1", "y1", "X", "Y", "dx", "dy", "dz", "xc",
            "yc", "zc", "nx", "ny", "r2", "d", "u", "v", "fx", "fy"),
)
SGM = Function(
    name="sgm",
    first_line=56,
    conversions=dict(cost=56, P1=56, P2=56),
    # np.zeros for the result and for the path buffer; views of them refused
    failures={"allocate_agg": 61, "allocate_path": 62, "view_agg": 63, "view_path": 64},
    locals=("D", "H", "W", "agg_np", "L_np", "agg", "L", "dirs", "k", "dy", "dx", "yy", "xx", "y", "x", "py",
            "px", "d", "best_prev", "v", "a", "b"),
)
BILATERAL = Function(
    name="bilateral",
    first_line=113,
    conversions=dict(Z=113, valid=113, radius=113, sigma_r=114, sigma_s=114),
    # valid too small; np.array(Z, copy=True); a view of that copy refused; the weight table
    failures={"mask": 113, "copy_heights": 121, "view_result": 122, "weight_table": 126},
    locals=("H", "W", "y", "x", "yy", "xx", "dy", "dx", "out_np", "out", "z0", "zk", "wsum", "asum", "dr", "w",
            "inv_r", "inv_s", "sw"),
)
# In the order the module defines them.
FUNCTIONS = {function.name: function for function in (SAMPLE_VIEW, SGM, BILATERAL)}
