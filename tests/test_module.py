"""Module entry: one module object, its attributes, how its classes, its shared object and the
source distribution are built."""

import ast
import importlib
import importlib.metadata
import inspect
import re
import shutil
import subprocess
import sys
import tarfile
import textwrap
import weakref
from pathlib import Path

import morvex
import pytest
from morvex import _morvex

CLASSES = [getattr(_morvex, name) for name in _morvex.__all__ if name != "__version__"]
# The version's one home is the top CMakeLists.txt; the build carries it everywhere else.
VERSION = re.search(
    r"project\(morvex\s+VERSION\s+([0-9.]+)",
    (Path(__file__).resolve().parent.parent / "CMakeLists.txt").read_text(),
).group(1)


def test_reimport_after_removal_returns_the_same_module():
    first = importlib.import_module("morvex._morvex")
    del sys.modules["morvex._morvex"]
    second = importlib.import_module("morvex._morvex")
    assert first is second
    assert second.Governor is first.Governor


def test_attributes_version_and_all():
    assert _morvex.__version__ == VERSION
    assert morvex.__version__ == VERSION
    try:
        assert importlib.metadata.version("morvex") == VERSION
    except importlib.metadata.PackageNotFoundError:
        pass  # imported from a build tree, not an installed distribution
    assert _morvex.__doc__ == "Python module registration."
    assert _morvex.__all__ == [
        "__version__", "MorvBoundary", "MorvReceipt", "MorvViolation", "MonotonicCounter",
        "Governor",
    ]
    namespace = {}
    exec("from morvex._morvex import *", namespace)
    assert namespace["__version__"] == VERSION
    assert set(_morvex.__all__) <= set(namespace)
    from morvex import _actuator

    assert _actuator.__all__ == ["ReceiptGate", "CoupledLimits"]
    assert morvex.__all__ == _morvex.__all__ + _actuator.__all__ + ["session_key"]


def test_module_defines_no_functions():
    public = {name for name in dir(_morvex) if not name.startswith("_")}
    assert public == set(_morvex.__all__) - {"__version__"}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_names_are_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__


# Every documented surface of the module: the docs and text signatures that
# help() and inspect show.
CLASS_SURFACE = [
    (_morvex.MonotonicCounter, "A monotonically increasing 64-bit counter.", "(initial_value=0)"),
    (
        _morvex.Governor,
        "Python wrapper around the Morvex scalar active-set projection kernel.",
        "(min_bound, max_bound)",
    ),
    (
        _morvex.MorvBoundary,
        "Deterministic edge governor that authorizes physical actions.",
        "(rate_limit=1000, max_velocity_rad_s=4.18, monotonic_window_size=64, hmac_key=None)",
    ),
    (_morvex.MorvReceipt, "Replay-resistant authorization receipt returned by `MorvBoundary`.", None),
    (
        _morvex.MorvViolation,
        "Exception raised when an action request violates the Morvex boundary.",
        "(axis=0, violation_type=..., message=...)",
    ),
]
METHOD_SURFACE = [
    (
        _morvex.MonotonicCounter.next_value,
        "Return the next strictly greater counter value.",
        "($self)",
    ),
    (
        _morvex.MonotonicCounter.current_value,
        "Return the current counter value without advancing it.",
        "($self)",
    ),
    (
        _morvex.Governor.project,
        "Project a single scalar actuator command into the safe envelope.",
        "($self, u_desired)",
    ),
    (
        _morvex.Governor.project_batch,
        "Project a vector of actuator commands in a single call.",
        "($self, u_vec)",
    ),
    (
        _morvex.MorvBoundary.authorize_action,
        "Authorize a single actuator command and return a signed receipt.",
        "($self, target_axis, requested_position, commanded_velocity)",
    ),
    (
        _morvex.MorvReceipt.verify,
        "Re-verify this receipt against a 32-byte boundary key.",
        "($self, key)",
    ),
]


@pytest.mark.parametrize("cls, doc, signature", CLASS_SURFACE, ids=lambda v: getattr(v, "__name__", ""))
def test_class_doc_and_text_signature(cls, doc, signature):
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature


@pytest.mark.parametrize(
    "method, doc, signature", METHOD_SURFACE, ids=lambda v: getattr(v, "__qualname__", "")
)
def test_method_doc_and_text_signature(method, doc, signature):
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature


def stub_functions():
    """(qualified name, parameter names, default texts) of every function in the stub."""
    tree = ast.parse((Path(morvex.__file__).parent / "_morvex.pyi").read_text())
    for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
        for fn in (node for node in cls.body if isinstance(node, ast.FunctionDef)):
            if any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
                continue
            args = fn.args.args[1:]  # without self or cls
            defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
            shown = [None if d is None else ast.unparse(d) for d in defaults]
            yield f"{cls.name}.{fn.name}", [a.arg for a in args], shown


def test_stub_declares_what_the_module_declares():
    seen = set()
    for name, params, shown in stub_functions():
        cls_name, fn_name = name.split(".")
        target = getattr(_morvex, cls_name)
        target = target if fn_name == "__new__" else getattr(target, fn_name)
        signature = inspect.signature(target)
        runtime = [p for p in signature.parameters.values() if p.name != "self"]
        assert params == [p.name for p in runtime], name
        for text, p in zip(shown, runtime):
            expected = None if p.default is inspect.Parameter.empty else p.default
            # A default shown as ... at runtime is ... in the stub too.
            assert (None if text is None else ast.literal_eval(text)) == expected, name
        seen.add(name)
    declared = {f"{c.__name__}.__new__" for c in CLASSES if c.__text_signature__ is not None}
    declared |= {f"{entry[0].__qualname__}" for entry in METHOD_SURFACE}
    assert declared <= seen


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize(
    "make",
    [
        lambda: _morvex.MonotonicCounter(),
        lambda: _morvex.Governor(0.0, 1.0),
        lambda: _morvex.MorvBoundary(),
        lambda: _morvex.MorvBoundary().authorize_action(0, 0.0, 0.0),
    ],
    ids=["MonotonicCounter", "Governor", "MorvBoundary", "MorvReceipt"],
)
def test_instances_have_no_dict_and_no_weakrefs(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


SUBINTERPRETER_SCRIPT = """
import _xxsubinterpreters as interpreters

def attempt(where, run):
    try:
        run()
    except Exception as failure:  # the sub-interpreter wraps its failure in RunFailedError
        print(where, "refused:", failure)
    else:
        print(where, "imported")

def in_main():
    import morvex._morvex

def in_sub():
    interpreters.run_string(interpreters.create(), "import morvex._morvex")

for where in ORDER:
    attempt(where, in_main if where == "main" else in_sub)
"""


@pytest.mark.parametrize("order", [("main", "sub"), ("sub", "main")])
def test_second_interpreter_is_refused_without_crashing(order):
    result = run_python(f"ORDER = {order!r}\n" + SUBINTERPRETER_SCRIPT)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first == f"{order[0]} imported"
    assert second.startswith(f"{order[1]} refused:")
    assert "ImportError" in second or order[1] == "main"
    assert "do not yet support subinterpreters" in second


def test_shared_object_exports_exactly_the_entry_and_the_kernels():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", _morvex.__file__], capture_output=True,
                             text=True, check=True).stdout
    symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert symbols == {"PyInit__morvex", "morvex_solve_active_set", "morvex_solve_multivar_4d"}


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf (binutils) is not installed")
def test_shared_object_is_hardened():
    out = subprocess.run(["readelf", "-W", "-d", "-l", "--dyn-syms", _morvex.__file__],
                         capture_output=True, text=True, check=True).stdout
    stack = [line.split()[6:-1] for line in out.splitlines() if line.split()[:1] == ["GNU_STACK"]]
    assert re.search(r"\(FLAGS(_1)?\)\s.*NOW", out), "not linked with -z now"
    assert re.search(r"^\s*GNU_RELRO\s", out, re.M), "no RELRO segment"
    assert len(stack) == 1 and "E" not in "".join(stack[0]), f"executable stack: {stack}"
    assert "__stack_chk_fail" in out, "no stack protector"


def test_sdist_holds_the_tracked_files_but_not_the_fuzzing_corpus(tmp_path):
    pytest.importorskip("scikit_build_core")
    root = Path(__file__).resolve().parents[1]
    git = subprocess.run(["git", "-C", root, "ls-files"], capture_output=True, text=True)
    if git.returncode != 0:
        pytest.skip("not a git checkout")
    build = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    built = subprocess.run([sys.executable, "-c", build, tmp_path], cwd=root, capture_output=True,
                           text=True, check=True).stdout.split()[-1]
    with tarfile.open(tmp_path / built) as sdist:
        shipped = {name.partition("/")[2] for name in sdist.getnames()}
    tracked = set(git.stdout.splitlines())
    corpus = {name for name in tracked if name.startswith("fuzz/corpus/")}
    assert len(corpus) > 100 and shipped & corpus == set()
    assert tracked - corpus - shipped == set()
