"""quiltmap._mvs as the interpreter meets it: attributes and start-up."""
import builtins
import importlib
import importlib.machinery
import importlib.util
import inspect
import json
import os
import pickle
import pydoc
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from module_facts import FUNCTIONS as FACTS, INIT_ENTRY, INIT_LINES, SOURCE_PATH

MODULE_DOC = "Dense-stereo CPU kernel: project a ground grid at per-cell heights into a view and sample it."

DOCS = {
    "sample_view": [
        "Grid cell (r, c) is the ground point (X0 + (c+.5) gsd, Y0 - (r+.5) gsd, Z[r, c]).",
        "Writes the bilinear sample of `img` (h, w, ch) to out[r, c] and 1/0 to valid[r, c].",
        "Camera parameters are in the pixel units of `img` (i.e. already scaled).",
    ],
    "sgm": [
        "Semi-global matching: aggregate a (D, H, W) cost volume along 8 directions.",
        "L_r(p, d) = C(p, d) + min(L(p-r, d), L(p-r, d+-1) + P1, min_k L(p-r, k) + P2) - min_k L(p-r, k)",
        "Returns the summed aggregated volume (D, H, W) float32.",
    ],
    "bilateral": [
        "Edge-preserving surface filter. Each valid cell becomes the range- and distance-weighted",
        "average of valid neighbours whose height is close to it, so flat surfaces (roofs, ground) are",
        "smoothed while the tall step at a building edge is preserved (its neighbours across the step are",
        "down-weighted by the range term). NaN/invalid cells are ignored and stay unchanged.",
    ],
}

FUNCTIONS = list(FACTS)


MODULE_KEYS = [
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    "__builtins__", "np", "sample_view", "sgm", "bilateral", "__test__",
]


def test_module_namespace(mvs, run_python):
    assert mvs.__doc__ == MODULE_DOC
    assert (mvs.__name__, mvs.__package__) == ("quiltmap._mvs", "quiltmap")
    assert mvs.__builtins__ is builtins and mvs.np is np
    assert type(mvs.__test__) is dict and mvs.__test__ == {}
    # The order in a fresh process: tests here rebind and delete `np`, which moves it.
    completed = run_python("import quiltmap._mvs as m; print(list(vars(m)))")
    assert completed.stdout.strip() == repr(MODULE_KEYS), completed.stderr


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(mvs, monkeypatch, name):
    f = getattr(mvs, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "quiltmap._mvs")
    assert f.__doc__ == "\n    ".join(DOCS[name])
    assert (f.__defaults__, f.__kwdefaults__, f.__closure__, f.__annotations__) == (None, None, None, {})
    assert f.__globals__ is vars(mvs)
    monkeypatch.setattr(f, "tag", "set by a test", raising=False)
    assert f.__dict__ == {"tag": "set by a test"}
    parameters = list(inspect.signature(f).parameters.values())
    assert tuple(p.name for p in parameters) == FACTS[name].parameters
    P = inspect.Parameter
    assert {(p.kind, p.default) for p in parameters} == {(P.POSITIONAL_OR_KEYWORD, P.empty)}
    assert f"{name}({', '.join(FACTS[name].parameters)})" in pydoc.render_doc(f, renderer=pydoc.plaintext)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f


@pytest.mark.parametrize("name", FUNCTIONS)
def test_code_object(mvs, name):
    facts = FACTS[name]
    code = getattr(mvs, name).__code__
    varnames = facts.parameters + facts.locals
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(facts.parameters), 0, 0)
    assert (code.co_firstlineno, code.co_name, code.co_flags) == (facts.first_line, name, 3)  # OPTIMIZED | NEWLOCALS
    assert code.co_filename.startswith(SOURCE_PATH)


class BreaksFrames(str):
    """A key with the hash of "__builtins__" that refuses every comparison: in
    a module dictionary without "__builtins__", looking that up, which every
    new frame of the module does, raises."""

    def __hash__(self):
        return hash("__builtins__")

    def __eq__(self, other):
        raise LookupError("no frame today")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_failed_traceback_entry_keeps_the_callers_error(mvs, monkeypatch, name):
    monkeypatch.delitem(vars(mvs), "__builtins__")
    monkeypatch.setitem(vars(mvs), BreaksFrames("frame breaker"), None)
    with pytest.raises(LookupError, match="no frame today") as info:
        getattr(mvs, name)()
    # The entry's failure is raised in the caller's error's place, which it carries as its context.
    original = info.value.__context__
    count = len(FACTS[name].parameters)
    assert type(original) is TypeError
    assert str(original) == f"{name}() takes exactly {count} positional arguments (0 given)"
    del info, original  # their frames hold the module's dictionary


# ---------------------------------------------------------------------------
# Start-up in this process: the module is initialised once and kept.


def reimport(mvs):
    del sys.modules["quiltmap._mvs"]
    return importlib.import_module("quiltmap._mvs")


def exec_fresh_spec(mvs):
    loader = importlib.machinery.ExtensionFileLoader("quiltmap._mvs", mvs.__file__)
    spec = importlib.util.spec_from_file_location("quiltmap._mvs", mvs.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    assert module is mvs
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("again", [reimport, importlib.reload, exec_fresh_spec])
def test_module_initialised_once(mvs, restore_np, restore_module_state, monkeypatch, again):
    functions, test_dict = [getattr(mvs, name) for name in FUNCTIONS], mvs.__test__
    monkeypatch.setattr(mvs, "marker", object(), raising=False)
    marker = mvs.marker
    mvs.np = rebound = object()
    assert again(mvs) is mvs
    assert mvs.np is rebound and mvs.marker is marker and mvs.__test__ is test_dict
    assert [getattr(mvs, name) for name in FUNCTIONS] == functions


# ---------------------------------------------------------------------------
# Start-up in fresh processes.

IMPORT_SCRIPT = """
import json, sys
{setup}
def entries(e):
    out, tb = [], e.__traceback__
    while tb is not None:
        out.append([tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename, tb.tb_lineno])
        tb = tb.tb_next
    return out
try:
    import quiltmap._mvs as m
    outcome = {{"shape": list(m.sgm(None, 1.0, 2.0).shape)}}
except BaseException as e:
    error = e
    outcome = {{"kind": type(e).__name__, "message": str(e), "entries": entries(e),
               "context": type(e.__context__).__name__ if e.__context__ else None}}
{after}
print(json.dumps(outcome))
"""


def import_outcome(run_python, setup="", *options, after="", env=None):
    """Imports the module in a fresh interpreter after `setup`; returns what
    happened (the exception, or the shape sgm(None, ...) gives) and stderr."""
    completed = run_python(IMPORT_SCRIPT.format(setup=setup, after=after), *options, env=env)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.strip().splitlines()[-1]), completed.stderr


def own_entries(outcome):
    return [e for e in outcome["entries"] if e[1].startswith(SOURCE_PATH)]


HIDE_C_API = """
import numpy
sys.modules["numpy._core._multiarray_umath"] = None
sys.modules["numpy.core._multiarray_umath"] = None
"""

SIZE_CHANGED = (r"numpy\.{} size changed, may indicate binary incompatibility\. "
                r"Expected {} from C header, got {} from PyObject")


@pytest.fixture
def fake_runtime_version(tmp_path):
    """LD_PRELOAD settings under which Py_GetVersion() reports FAKE_VERSION."""
    compiler = shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler to build the Py_GetVersion stand-in")
    source = tmp_path / "fake_version.c"
    source.write_text(f'const char *Py_GetVersion(void) {{ return "{FAKE_VERSION}.4 (fake)"; }}\n')
    library = tmp_path / "libfake_version.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    # After whatever is preloaded already (a sanitizer's runtime must stay first).
    return {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))}


# Another minor version than the running one, which the module was built for.
FAKE_VERSION = "3.10" if sys.version_info[:2] != (3, 10) else "3.11"
RUNNING_VERSION = "{}.{}".format(*sys.version_info[:2])
VERSION_WARNING = (f"compile time Python version {RUNNING_VERSION} of module 'quiltmap._mvs' does not match "
                   f"runtime version {FAKE_VERSION}")


@pytest.mark.parametrize("setup, options, kind, message, line", [
    (f'assert sys.version.startswith("{FAKE_VERSION}.4 (fake)")', ("-W", "error::RuntimeWarning"), "RuntimeWarning",
     re.escape(VERSION_WARNING), None),  # line None: under fake_runtime_version, and no entry of ours
    ('sys.modules["numpy"] = None', (), "ModuleNotFoundError", r".*numpy.*", INIT_LINES["module"]),
    ("import numpy; numpy.dtype = 1", (), "TypeError", r"numpy\.dtype is not a type object", INIT_LINES["module"]),
    ("import numpy; del numpy.flatiter", (), "AttributeError", r"module 'numpy' has no attribute 'flatiter'",
     INIT_LINES["module"]),
    # int: basic size 24, item size 4 counted as 8.
    ("import numpy; numpy.ufunc = int", (), "ValueError", SIZE_CHANGED.format("ufunc", r"\d+", 32),
     INIT_LINES["module"]),
    # A scalar type larger than the headers say only warns; here warnings are errors.
    ("import numpy; numpy.generic = float", ("-W", "error::RuntimeWarning"), "RuntimeWarning",
     SIZE_CHANGED.format("generic", 16, 24), INIT_LINES["module"]),
    (HIDE_C_API, (), "ImportError", r"numpy\._core\.multiarray failed to import", INIT_LINES["numpy_c_api"]),
])
def test_start_up_failures(run_python, request, setup, options, kind, message, line):
    env = request.getfixturevalue("fake_runtime_version") if line is None else None
    outcome, _ = import_outcome(run_python, setup, *options, env=env)
    assert outcome["kind"] == kind
    assert re.fullmatch(message, outcome["message"]), outcome["message"]
    assert own_entries(outcome) == ([] if line is None else [[INIT_ENTRY, SOURCE_PATH, line]])


def test_numpy_c_api_failure_keeps_its_cause(run_python):
    outcome, _ = import_outcome(run_python, HIDE_C_API)
    assert outcome["context"] == "ModuleNotFoundError"
    names = [e[0] for e in outcome["entries"]]
    assert "numpy.import_array" in names[names.index(INIT_ENTRY) + 1:]


def test_failed_start_up_is_retried_with_a_new_module(run_python):
    outcome, _ = import_outcome(run_python, 'sys.modules["numpy"] = None', after="""
tb = error.__traceback__
while tb.tb_next is not None:
    tb = tb.tb_next
failed_namespace = tb.tb_frame.f_globals
listed = "quiltmap._mvs" in sys.modules
del sys.modules["numpy"]
import quiltmap._mvs as m
outcome = [listed, "sgm" in failed_namespace, m.__dict__ is failed_namespace, list(m.sgm(None, 1.0, 2.0).shape)]
""")
    assert outcome == [False, False, False, [0, 0, 0]]


@pytest.mark.parametrize("setup, fake_version, options, warning", [
    ("", True, (), VERSION_WARNING),
    ("import numpy; numpy.generic = float", False, (), SIZE_CHANGED.format("generic", 16, 24).replace("\\", "")),
    ("", False, ("-W", "error"), None),  # a matching version: silent
])
def test_warnings_at_start_up_do_not_stop_it(run_python, request, setup, fake_version, options, warning):
    env = request.getfixturevalue("fake_runtime_version") if fake_version else None
    outcome, stderr = import_outcome(run_python, setup, *options, env=env)
    assert outcome == {"shape": [0, 0, 0]}
    assert (f"RuntimeWarning: {warning}\n" in stderr) if warning else stderr == ""


SUBINTERPRETER_IMPORT = """
try:
    import quiltmap._mvs
    outcome = ["imported", ""]
except BaseException as e:
    outcome = [type(e).__name__, str(e)]
import json
json.dump(outcome, open("outcome.json", "w"))
"""
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_second_interpreter_is_refused(run_python):
    outcome, _ = import_outcome(run_python, after=f"""
# A legacy subinterpreter, so that the module's own refusal is what meets it
# (from 3.12 an isolated one refuses a module that declares no support first).
if sys.version_info >= (3, 13):
    import _interpreters as sub
    interp = sub.create("legacy")
else:
    import _xxsubinterpreters as sub
    interp = sub.create(isolated=False) if sys.version_info >= (3, 12) else sub.create()
sub.run_string(interp, {SUBINTERPRETER_IMPORT!r})
sub.destroy(interp)
still_working = float(m.sgm(m.np.ones((1, 1, 1), "f"), 1.0, 2.0)[0, 0, 0])
outcome = [json.load(open("outcome.json")), sys.modules["quiltmap._mvs"] is m, still_working]
""")
    assert outcome == [["ImportError", INTERPRETER_CHANGE], True, 8.0]


def test_second_module_object_is_not_executed(run_python):
    # Two module objects made before the first exec: only the first is filled.
    completed = run_python(f"""
        import traceback, importlib.util as util, importlib.machinery as machinery
        path = util.find_spec("quiltmap._mvs").origin
        loader = machinery.ExtensionFileLoader("quiltmap._mvs", path)
        spec = util.spec_from_file_location("quiltmap._mvs", path, loader=loader)
        first, second = util.module_from_spec(spec), util.module_from_spec(spec)
        loader.exec_module(first)
        try:
            loader.exec_module(second)
        except RuntimeError as e:
            files = [frame.filename for frame in traceback.extract_tb(e.__traceback__)]
            print(e, any(f.startswith({SOURCE_PATH!r}) for f in files), first is second,
                  "sgm" in vars(first), "sgm" in vars(second), sep="|")
    """)
    message = "Module '_mvs' has already been imported. Re-initialisation is not supported."
    assert completed.stdout.strip().split("|") == [message, "False", "False", "True", "False"], completed.stderr


@pytest.mark.parametrize("fields, expected", [
    ("submodule_search_locations=['here'], parent='pkg', loader='a loader'",
     {"__name__": "alias._mvs", "__path__": ["here"], "__package__": "pkg", "__loader__": "a loader"}),
    # Missing attributes leave the keys as module creation made them.
    ("submodule_search_locations=None", {"__name__": "alias._mvs", "__package__": None, "__loader__": None}),
])
def test_create_copies_spec_attributes(run_python, fields, expected):
    completed = run_python(f"""
        import _imp, json, sys, types, importlib.util
        path = importlib.util.find_spec("quiltmap._mvs").origin
        module = _imp.create_dynamic(types.SimpleNamespace(name="alias._mvs", origin=path, {fields}))
        _imp.exec_dynamic(module)
        keys = ["__name__", "__path__", "__package__", "__loader__"]
        print(json.dumps([{{k: vars(module)[k] for k in keys if k in vars(module)}}, module.__file__ == path,
                          sys.modules.get("quiltmap._mvs") is module]))
    """)
    assert json.loads(completed.stdout or "null") == [expected, True, True], completed.stderr
