"""The type stub beside the module: it must read as Python 3.6, name exactly
the module's public functions, promise no argument the module refuses, and
make mypy flag the mistakes in typecheck/misuse.py."""
import ast
import contextlib
import importlib.util
import io
import os
import sys
import tempfile
import types
import typing
import unittest

import install_check
from support import zendral

STUB = os.path.join(os.path.dirname(os.path.abspath(zendral.__file__)), "zendral.pyi")

# One value of each type a stub may declare, holding the same text.
SAMPLES = {str: "a=1", bytes: b"a=1", bytearray: bytearray(b"a=1")}
# Generic builtins that only Python 3.9 can subscript.
NEW_GENERICS = {"list", "dict", "tuple", "set", "frozenset", "type"}


def read_stub():
    with open(STUB, encoding="utf-8") as source:
        return source.read()


@contextlib.contextmanager
def typing_extensions_stand_in():
    # Before 3.8 the stub takes Protocol from typing_extensions, which type
    # checkers bring along and this interpreter may lack; a plain base class
    # is enough to evaluate the annotations.
    if sys.version_info >= (3, 8) or importlib.util.find_spec("typing_extensions"):
        yield
        return
    stand_in = types.ModuleType("typing_extensions")
    stand_in.Protocol = object
    sys.modules["typing_extensions"] = stand_in
    try:
        yield
    finally:
        del sys.modules["typing_extensions"]


def stub_functions():
    """Runs the stub as a module, so this interpreter evaluates every annotation."""
    namespace = {}
    with typing_extensions_stand_in():
        exec(compile(read_stub(), STUB, "exec"), namespace)
    return {name: value for name, value in namespace.items()
            if isinstance(value, types.FunctionType)}


def is_text(node):
    # ast.Str up to Python 3.7, ast.Constant after.
    return type(node).__name__ in ("Str", "Constant") and isinstance(
        getattr(node, "s", getattr(node, "value", None)), str)


def public_names():
    return [name for name in vars(zendral) if not name.startswith("_")]


class StubShape(unittest.TestCase):
    def test_stub_sits_beside_the_module(self):
        self.assertTrue(os.path.isfile(STUB), STUB)

    def test_stub_defines_the_module_functions_in_order(self):
        tree = ast.parse(read_stub(), STUB)
        defined = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
        self.assertEqual([node.name for node in defined], public_names())
        for node in defined:
            with self.subTest(function=node.name):
                arguments = node.args
                self.assertEqual(len(arguments.args), 1)
                self.assertFalse(arguments.vararg or arguments.kwarg or arguments.kwonlyargs
                                 or arguments.defaults)
                # A "__name" parameter is positional-only to type checkers.
                self.assertTrue(arguments.args[0].arg.startswith("__"))
                self.assertIsNotNone(arguments.args[0].annotation)
                self.assertIsNotNone(node.returns)

    def test_module_takes_no_keywords_as_the_stub_says(self):
        tree = ast.parse(read_stub(), STUB)
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                keyword = node.args.args[0].arg.lstrip("_")
                for name in (keyword, "arg0"):
                    with self.subTest(function=node.name, keyword=name):
                        with self.assertRaises(TypeError):
                            getattr(zendral, node.name)(**{name: ["a=1"]})

    def test_annotations_use_only_python36_forms(self):
        tree = ast.parse(read_stub(), STUB)
        known = {alias.asname or alias.name for node in ast.walk(tree)
                 if isinstance(node, ast.ImportFrom) and node.module in ("typing", "typing_extensions")
                 for alias in node.names} | {"str", "bytes", "bytearray", "int", "object", "bool"}
        known |= {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
        known |= {target.id for node in tree.body if isinstance(node, ast.Assign)
                  for target in node.targets}
        # Every function's annotations, methods too, and the aliases' values.
        annotations = [node for function in ast.walk(tree) if isinstance(function, ast.FunctionDef)
                       for node in [function.returns] + [a.annotation for a in function.args.args
                                                         if a.arg != "self"]]
        annotations += [node.value for node in tree.body if isinstance(node, ast.Assign)]
        self.assertTrue(annotations)
        for annotation in annotations:
            for node in ast.walk(annotation):
                with self.subTest(annotation=ast.dump(annotation)):
                    self.assertNotIsInstance(node, ast.BinOp)  # "X | Y" needs 3.10
                    self.assertFalse(is_text(node))  # a quoted annotation would hide its form
                    if isinstance(node, ast.Subscript):
                        self.assertNotIn(getattr(node.value, "id", None), NEW_GENERICS)
                    if isinstance(node, ast.Name):
                        self.assertIn(node.id, known)


class StubPromises(unittest.TestCase):
    """Each type the stub declares for an argument, the module accepts."""

    def test_functions_evaluate_to_typing_annotations(self):
        functions = stub_functions()
        self.assertEqual(sorted(functions), sorted(public_names()))
        for name, function in functions.items():
            with self.subTest(function=name):
                self.assertEqual(function.__annotations__["return"], typing.List[str])

    def declared(self, name):
        annotations = dict(stub_functions()[name].__annotations__)
        annotations.pop("return")
        (annotation,) = annotations.values()
        return annotation

    def test_every_declared_line_type_converts(self):
        for name in ("md_to_html", "csv_lines_to_json"):
            # A sequence of lines, told by what its items are.
            item = self.declared(name).__getitem__.__annotations__["return"]
            for item_type in item.__args__:
                with self.subTest(function=name, item=item_type):
                    self.assertIn(item_type, SAMPLES, "no sample for a declared type")
                    result = getattr(zendral, name)([SAMPLES[item_type]])
                    self.assertIsInstance(result, list)
                    self.assertTrue(result and all(type(line) is str for line in result))

    def test_every_declared_path_type_opens_the_file(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "data.csv")
            with open(path, "wb") as out:
                out.write(b"a=1\n")
            for path_type in self.declared("csv_file_to_json").__args__:
                with self.subTest(path=path_type):
                    argument = path_type(path.encode()) if path_type is not str else path
                    self.assertEqual(zendral.csv_file_to_json(argument), ['{"a": "1"}'])


class TypeCheck(unittest.TestCase):
    def test_mypy_reports_exactly_the_marked_mistakes(self):
        # typecheck/*.py against the stubs beside the built modules; the
        # install check runs them again against an installed copy.
        env = dict(install_check.clean_env(), MYPYPATH=os.path.dirname(STUB))
        output = io.StringIO()
        try:
            with contextlib.redirect_stdout(output):
                status = install_check.marked_errors([], os.path.dirname(STUB), env)
        except install_check.Failed as failure:
            self.fail("%s\n%s" % (failure, output.getvalue()))
        if status == install_check.SKIPPED:
            self.skipTest(output.getvalue().strip())


class DocumentStub(unittest.TestCase):
    """zendral_document.pyi: beside its module, every public function with
    the parameters the module takes, the options keyword-only."""

    def test_stub_matches_the_module(self):
        import zendral_document
        path = os.path.join(os.path.dirname(os.path.abspath(zendral_document.__file__)),
                            "zendral_document.pyi")
        with open(path, encoding="utf-8") as source:
            text = source.read()
        namespace = {}
        exec(compile(text, path, "exec"), namespace)  # every annotation evaluates here
        defined = {}
        for node in ast.parse(text, path).body:
            if isinstance(node, ast.FunctionDef):
                defined.setdefault(node.name, []).append(node)
        public = sorted(name for name in vars(zendral_document) if not name.startswith("_"))
        self.assertEqual(sorted(defined), public)
        with tempfile.TemporaryDirectory() as folder:
            source_path = os.path.join(folder, "in")
            with open(source_path, "wb") as out:
                out.write(b"a=1\n")
            samples = {"document": "a=1\n", "source": source_path, "target": os.path.join(folder, "out")}
            for name, overloads in defined.items():
                for node in overloads:
                    with self.subTest(function=name, line=node.lineno):
                        keywords = {"md_to_html": ["escape", "page", "title", "css"],
                                    "md_file_to_html": ["escape", "page", "title", "css", "threads"],
                                    "kv_file_to_json": ["escape", "threads"]}.get(name, ["escape"])
                        self.assertEqual([a.arg for a in node.args.kwonlyargs], keywords)
                        function = getattr(zendral_document, name)
                        named = {a.arg: samples[a.arg] for a in node.args.args}
                        function(escape=True, **named)  # every name the stub gives is taken
                        with self.assertRaises(TypeError):
                            function(*(list(named.values()) + [True]))  # escape is keyword-only


if __name__ == "__main__":
    unittest.main()
