"""The zor package's modules import one another without a circle, counting the imports made inside
functions (which only postpone a circle) and leaving out those made for type checking only."""

import ast
import pathlib

import pytest

import zor

PACKAGE = pathlib.Path(zor.__file__).parent


def _is_type_checking(node: ast.If) -> bool:
    test = node.test
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def _runtime_imports(tree: ast.AST) -> set[str]:
    """The zor modules a module's code imports at run time, wherever the import statement is."""
    found: set[str] = set()

    def visit(node: ast.AST) -> None:
        if isinstance(node, ast.If) and _is_type_checking(node):
            for child in node.orelse:
                visit(child)
            return
        if isinstance(node, ast.Import):
            found.update(alias.name.split(".")[1] for alias in node.names if alias.name.startswith("zor."))
        elif isinstance(node, ast.ImportFrom):
            module = node.module or ""
            if node.level == 1 or module == "zor":  # from . import x, from .x import y, from zor import x
                if module and module != "zor":
                    found.add(module)
                else:
                    found.update(alias.name for alias in node.names)
            elif module.startswith("zor."):
                found.add(module.split(".")[1])
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(tree)
    return found


def import_graph(package: pathlib.Path) -> dict[str, set[str]]:
    modules = {path.stem: path for path in package.glob("*.py")}
    return {name: {imported for imported in _runtime_imports(ast.parse(path.read_text())) if imported in modules
                   and imported != name} for name, path in modules.items()}


def find_circle(graph: dict[str, set[str]]) -> list[str] | None:
    """One import circle, as the list of modules along it, or None."""
    done: set[str] = set()

    def walk(name: str, path: list[str]) -> list[str] | None:
        if name in path:
            return path[path.index(name):] + [name]
        if name in done:
            return None
        for imported in sorted(graph[name]):
            circle = walk(imported, path + [name])
            if circle:
                return circle
        done.add(name)
        return None

    for name in sorted(graph):
        circle = walk(name, [])
        if circle:
            return circle
    return None


def test_the_package_has_no_import_circle():
    graph = import_graph(PACKAGE)
    assert {"_search", "_results", "_files", "_display"} <= set(graph)
    circle = find_circle(graph)
    assert circle is None, "import circle: " + " -> ".join(circle)


@pytest.mark.parametrize("source, circle", [
    # A circle postponed by an import inside a function is still one.
    ({"a": "from zor import b\n", "b": "def f():\n    from zor.a import x\n"}, ["a", "b", "a"]),
    ({"a": "from .b import y\n", "b": "from . import c\n", "c": "import zor.a\n"}, ["a", "b", "c", "a"]),
    # Imports for type checking only are no circle.
    ({"a": "from zor import b\n", "b": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from zor import a\n"},
     None),
])
def test_the_circle_finder(tmp_path, source, circle):
    for name, text in source.items():
        (tmp_path / f"{name}.py").write_text(text)
    assert find_circle(import_graph(tmp_path)) == circle
