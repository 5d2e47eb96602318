"""Type information for the `arbolus` extension module."""

import ast
import sys
from collections.abc import Hashable, Mapping, Sequence
from typing import Any, Literal, final

if sys.version_info >= (3, 13):
    from warnings import deprecated
else:
    from typing_extensions import deprecated

__all__ = [
    "walk",
    "walk_dfs",
    "walk_unordered",
    "walk_frontier",
    "walk_frontier_edges",
    "walk_of_types",
    "fix_missing_locations",
    "subtree_hashes",
    "subtree_hash",
    "set_parents",
    "walk_frontier_events",
    "_walk_count",
    "subtree_fingerprints",
    "subtree_fingerprint",
    "compile_patterns",
    "PatternError",
    "Patterns",
]

_Kinds = tuple[type, ...]

@deprecated(
    "arbolus.walk is deprecated; use walk_dfs for strict depth-first order "
    "or walk_unordered for the faster order-agnostic variant"
)
def walk(node: object) -> list[ast.AST]: ...
def walk_dfs(node: object) -> list[ast.AST]: ...
def walk_unordered(node: object) -> list[ast.AST]: ...
def walk_frontier(node: object, kinds: _Kinds) -> list[ast.AST]: ...
def walk_frontier_edges(
    node: object, kinds: _Kinds
) -> list[tuple[ast.AST, ast.AST, str, int]]: ...
def walk_of_types(
    node: object, kinds: _Kinds, prune: _Kinds | None = None
) -> list[ast.AST]: ...
def fix_missing_locations[T](node: T) -> T: ...
def subtree_hashes(node: object) -> dict[int, int]: ...
def subtree_hash(node: object) -> int: ...
def set_parents(node: object) -> None: ...
def walk_frontier_events(
    node: object, kinds: _Kinds, bracket: _Kinds
) -> list[tuple[Literal[0, 1, 2], ast.AST]]: ...
def _walk_count(node: object) -> int: ...
def subtree_fingerprints(node: object) -> dict[int, bytes]: ...
def subtree_fingerprint(node: object) -> bytes: ...
def compile_patterns(
    patterns: Mapping[Hashable, str] | Sequence[str],
    namespace: Mapping[str, Any] | None = None,
    strict: bool | None = True,
) -> Patterns: ...

class PatternError(ValueError):
    key: Hashable
    offset: int

@final
class Patterns:
    @property
    def kinds(self) -> tuple[type, ...]: ...
    @property
    def keys(self) -> tuple[Hashable, ...]: ...
    def find(
        self, tree: object, prune: _Kinds | None = None, first: bool = False
    ) -> list[tuple[Hashable, ast.AST, dict[str, Any] | None]]: ...
    def match(self, node: object, /) -> list[tuple[Hashable, dict[str, Any] | None]]: ...
    def count(self, tree: object, prune: _Kinds | None = None) -> dict[Hashable, int]: ...
