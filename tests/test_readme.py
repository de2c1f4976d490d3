"""The README's Python samples run, in order, and show what they give.

A line whose comment begins with a Python literal (the whole comment, or what comes before
": ", "; " or " (") states the value of its expression; a `print` line's comment is what it
prints. Other comments are prose. Every stated line must run at least once."""

import ast
import contextlib
import io
import os
import re
import tokenize
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"
SAMPLE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def stated_value(comment):
    """(True, value) when the comment states a literal value, else (False, None)."""
    text = comment.lstrip("#").strip()
    candidates = [text] + [text.split(cut, 1)[0] for cut in (": ", "; ", " (") if cut in text]
    for candidate in candidates:
        try:
            return True, ast.literal_eval(candidate)
        except (ValueError, SyntaxError, MemoryError, RecursionError):
            continue
    return False, None


def comments_by_line(source):
    tokens = tokenize.generate_tokens(io.StringIO(source).readline)
    return {t.start[0]: t.string for t in tokens if t.type == tokenize.COMMENT}


class Statements(ast.NodeTransformer):
    """Wraps every expression statement that states its value in a check."""

    def __init__(self, sample, comments, stated):
        self.sample, self.comments, self.stated = sample, comments, stated

    def visit_Expr(self, node):
        comment = self.comments.get(node.end_lineno)
        if comment is None:
            return node
        printed = (isinstance(node.value, ast.Call) and isinstance(node.value.func, ast.Name)
                   and node.value.func.id == "print")
        if printed:
            expected = comment.lstrip("#").strip()
        else:
            stated, expected = stated_value(comment)
            if not stated:
                return node
        where = (self.sample, node.end_lineno)
        self.stated[where] = expected
        check = "__printed__" if printed else "__value__"
        thunk = ast.Lambda(args=ast.arguments(posonlyargs=[], args=[], kwonlyargs=[],
                                              kw_defaults=[], defaults=[]), body=node.value)
        call = ast.Call(func=ast.Name(check, ast.Load()),
                        args=[ast.Constant(where), thunk], keywords=[])
        return ast.copy_location(ast.Expr(call), node)


def test_every_python_sample_of_the_readme_shows_what_it_gives(tmp_path):
    samples = SAMPLE.findall(README.read_text(encoding="utf-8"))
    assert samples, "no Python samples found"
    namespace, stated, ran, mismatches = {"__name__": "readme"}, {}, set(), []

    def value(where, thunk):
        got = thunk()
        ran.add(where)
        if not (got == stated[where] and type(got) is type(stated[where])):
            mismatches.append(f"sample {where[0] + 1}, line {where[1]}: got {got!r}, "
                              f"the README shows {stated[where]!r}")

    def printed(where, thunk):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            thunk()
        ran.add(where)
        if out.getvalue().strip() != stated[where]:
            mismatches.append(f"sample {where[0] + 1}, line {where[1]}: printed "
                              f"{out.getvalue().strip()!r}, the README shows {stated[where]!r}")

    namespace.update(__value__=value, __printed__=printed)
    cwd = os.getcwd()
    os.chdir(tmp_path)  # a sample may write files
    try:
        for index, source in enumerate(samples):
            tree = Statements(index, comments_by_line(source), stated).visit(ast.parse(source))
            exec(compile(ast.fix_missing_locations(tree), f"README sample {index + 1}", "exec"),
                 namespace)
    finally:
        os.chdir(cwd)
    assert not mismatches, "\n".join(mismatches)
    assert set(stated) - ran == set(), f"stated but never run: {sorted(set(stated) - ran)}"
