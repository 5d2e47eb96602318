"""Fifteen lint rules written as `case` patterns, checked over a directory.

    python examples/patterns.py DIR...

prints `file:line:col code` for every finding. The patterns find the
candidates in one pass per file; a rule that needs more than a pattern can
say (B009: the attribute name must be one `getattr` is not needed for)
filters the results in Python, on the captures the pattern returns.
"""

import ast
import keyword
import pathlib
import sys
import warnings

import arbolus

RULES = {
    "B004": "Call(func=Name(id='getattr' | 'hasattr'), args=[_, Constant(value='__call__'), *_])",
    "SIM105": "Try(body=[_], handlers=[ExceptHandler(body=[Pass()])], orelse=[], finalbody=[])",
    "B009": "Call(func=Name(id='getattr'), args=[_, Constant(value=str(name))])",
    "B028": "Call(func=Attribute(value=Name(id='warnings'), attr='warn'), args=[] | [_] | [_, _])",
    "R1729": "Call(func=Name(id='any' | 'all'), args=[ListComp()])",
    "SIM118": "Compare(ops=[In()], comparators=[Call(func=Attribute(attr='keys', ctx=Load()))])",
    "C0123": "Compare(left=Call(func=Name(id='type'), args=[_], keywords=[]), "
             "ops=[Is() | IsNot() | Eq() | NotEq()])",
    "B011": "Assert(test=Constant(value=False))",
    "F631": "Assert(test=Tuple(elts=[_, *_]))",
    "B016": "Raise(exc=JoinedStr() | Constant(value=int() | float() | complex() | str() | None))",
    "B013": "ExceptHandler(type=Tuple(elts=[Name() | Attribute()]))",
    "SIM201": "UnaryOp(op=Not(), operand=Compare(ops=[Eq()]))",
    "SIM210": "IfExp(body=Constant(value=True), orelse=Constant(value=False))",
    "B003": "Assign(targets=[Attribute(value=Name(id='os'), attr='environ')])",
    "UP025": "Constant(kind='u')",
}

COMPILED = arbolus.compile_patterns(RULES)


def keep(code, captures):
    """The guards the patterns leave to Python."""
    if code == "B009":
        name = captures["name"]
        return name.isidentifier() and not keyword.iskeyword(name)
    return True


def check_tree(tree):
    """[(line, col, code)] for one parsed module, in walk order."""
    return [(node.lineno, node.col_offset, code)
            for code, node, captures in COMPILED.find(tree)
            if keep(code, captures)]


def check_paths(paths):
    for root in paths:
        root = pathlib.Path(root)
        files = sorted(root.rglob("*.py")) if root.is_dir() else [root]
        for path in files:
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    tree = ast.parse(path.read_bytes(), str(path))
            except (SyntaxError, ValueError):
                continue
            for line, col, code in check_tree(tree):
                yield f"{path}:{line}:{col} {code}"


def main(argv):
    for finding in check_paths(argv or ["."]):
        print(finding)


if __name__ == "__main__":
    main(sys.argv[1:])
