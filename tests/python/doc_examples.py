"""Runs the python blocks of a Markdown document as a reader would paste them, one statement after
another in one namespace, and checks every result written in a trailing comment: `# value` for
an expression (or the argument of a print), `# ErrorType: message` for an exception it raises.

    python doc_examples.py DOCUMENT...

runs each document in a namespace of its own, with no test framework, so that it also checks the
documents in an environment with only what their readers install (the test command's newcomer
stage); tests/python/test_docs.py runs them under pytest.
"""
import ast
import re
import sys
from pathlib import Path

OUTCOME = re.compile(r"#\s*(.+?)\s*$")
RAISED = re.compile(r"^(\w+(?:Error|Exception)): (.+)$")


def python_blocks(path):
    return re.findall(r"```python\n(.*?)```", Path(path).read_text(), re.S)


def statements(path):
    """(source, expression or None, documented outcome or None) for every top-level statement of
    the document's python blocks, in order. The expression is what the outcome describes (the
    argument of a print)."""
    for block in python_blocks(path):
        lines = block.splitlines()
        for stmt in ast.parse(block).body:
            comment = OUTCOME.search(lines[stmt.end_lineno - 1][stmt.end_col_offset:])
            expr = stmt.value if isinstance(stmt, ast.Expr) else None
            if isinstance(expr, ast.Call) and getattr(expr.func, "id", None) == "print":
                expr = expr.args[0]
            yield (ast.get_source_segment(block, stmt),
                   ast.get_source_segment(block, expr) if expr else None,
                   comment.group(1) if comment else None)


def check_statement(source, expr, outcome, namespace):
    """Runs one statement; an expression with an outcome must produce or raise it."""
    if outcome is None or expr is None:
        exec(source, namespace)
        return
    raised = RAISED.match(outcome)
    if not raised:
        value = eval(expr, namespace)
        if value != ast.literal_eval(outcome):
            raise AssertionError(f"{expr} gives {value!r}, the document says {outcome}")
        return
    try:
        eval(expr, namespace)
    except BaseException as exc:  # PanicException derives from BaseException
        if (type(exc).__name__, str(exc)) != raised.groups():
            raise AssertionError(f"{expr} raises {type(exc).__name__}: {exc}, "
                                 f"the document says {outcome}") from exc
        return
    raise AssertionError(f"{expr} raises nothing, the document says {outcome}")


def run_document(path):
    """Runs the document's statements in one namespace; returns how many outcomes it checked."""
    namespace = {}
    checked = 0
    for source, expr, outcome in statements(path):
        check_statement(source, expr, outcome, namespace)
        checked += outcome is not None
    return checked


if __name__ == "__main__":
    for document in sys.argv[1:]:
        print(f"{Path(document).name}: {run_document(document)} results as written")
