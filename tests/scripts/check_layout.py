"""Checks the project's layering and the size of its functions.

Rooms and what each may include (quoted includes, followed transitively
within the project):

  include/zendral  the public C++ API: itself only
  src/common       byte helpers: itself, the public API
  src/markdown     \
  src/key_value     } the converters: themselves, src/common, the public API
  src/document     the block engine: itself, src/common, the public API
  src/bindings     the two extension modules: themselves and the public API;
                   the only room that includes Python.h, and only the
                   zendral module's own unit reaches pybind11
  bench, fuzz, tests/cpp, tests/consumer
                   the public API and the library's own rooms; never bindings
                   (but the benchmarks' floor extension, see ALLOWED)

and no function in src/ (C++ or Python) is longer than LONGEST lines.

usage: check_layout.py SOURCE_DIR     (exit 1 and one line per fault)
"""
import ast
import os
import re
import sys

LONGEST = 60
LIBRARY = ("include/zendral", "src/common", "src/markdown", "src/key_value", "src/document")
ALLOWED = {
    "include/zendral": ("include/zendral",),
    "src/common": ("src/common", "include/zendral"),
    "src/markdown": ("src/markdown", "src/common", "include/zendral"),
    "src/key_value": ("src/key_value", "src/common", "include/zendral"),
    "src/document": ("src/document", "src/common", "include/zendral"),
    "src/bindings": ("src/bindings", "include/zendral"),
}
# Test and benchmark code may look inside the library, never at the bindings
# (but the test extension that stands beside the module).
for _room in ("bench", "fuzz", "tests/cpp", "tests/consumer"):
    ALLOWED[_room] = (_room, "tests/cpp") + LIBRARY
ALLOWED["tests/python"] = ("tests/python", "src/bindings") + LIBRARY
# The benchmarks' floor extension (bench/bench_ext.cpp) times the zendral
# module's own boundary with the converter left out: it must be that code,
# not a copy of it, so it includes the bindings' support layer and casters.
ALLOWED["bench"] += ("src/bindings",)
# The one unit that is the zendral module: only it may reach pybind11.
PYBIND11_UNITS = ("src/bindings/bindings.cpp",)
CPP = (".cpp", ".hpp", ".h", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def room_of(relative):
    best = None
    for room in ALLOWED:
        if relative.startswith(room + "/") and (best is None or len(room) > len(best)):
            best = room
    return best


def includes(path):
    """(line number, kind, name) of each #include."""
    found = []
    with open(path, encoding="utf-8", errors="replace") as text:
        for number, line in enumerate(text, 1):
            match = INCLUDE.match(line)
            if match:
                found.append((number, match.group(1), match.group(2)))
    return found


def resolve(root, relative, name):
    """The project file a quoted include names, relative to root, or None."""
    for base in (os.path.dirname(relative), "include"):
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def cpp_files(root):
    for top in ("include", "src", "bench", "fuzz", "tests"):
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith(CPP):
                    yield os.path.relpath(os.path.join(folder, name), root)


def check_includes(root):
    faults = []
    graph = {}
    for relative in cpp_files(root):
        room = room_of(relative)
        edges = []
        for number, kind, name in includes(os.path.join(root, relative)):
            if kind == "<":
                if name in ("Python.h", "structmember.h") and room != "src/bindings" \
                        and not relative.startswith("tests/python/") \
                        and not relative.startswith("bench/"):
                    faults.append("%s:%d: includes <%s> outside src/bindings" % (relative, number, name))
                if name.startswith("pybind11/"):
                    edges.append(("pybind11", number))
                continue
            target = resolve(root, relative, name)
            if target is None:
                continue
            edges.append((target, number))
            target_room = room_of(target)
            if room is not None and target_room is not None and target_room not in ALLOWED[room]:
                faults.append("%s:%d: %s may not include %s (room %s)"
                              % (relative, number, room, name, target_room))
        graph[relative] = edges
    faults.extend(check_pybind11(graph))
    return faults


def check_pybind11(graph):
    """pybind11 is reached only from the zendral module's own unit."""
    faults = []
    for unit in sorted(graph):
        if not unit.startswith("src/bindings/") or unit in PYBIND11_UNITS \
                or not unit.endswith(".cpp"):
            continue
        seen, stack = set(), [(unit, [unit])]
        while stack:
            node, trail = stack.pop()
            for target, _ in graph.get(node, ()):
                if target == "pybind11":
                    faults.append("%s: reaches pybind11 through %s" % (unit, " -> ".join(trail)))
                    stack = []
                    break
                if target not in seen:
                    seen.add(target)
                    stack.append((target, trail + [target]))
    return faults


def strip_cpp(line):
    """The line without comments, string and character literals."""
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    return line.split("//", 1)[0]


CONTAINER = re.compile(r'^(namespace\b|(class|struct|union|enum)\b[^(]*$|extern\s*"")')
TEMPLATE = re.compile(r"^template\s*<")


def without_template(head):
    """The head without a leading template<...> parameter list."""
    if not TEMPLATE.match(head):
        return head
    depth = 0
    for index, char in enumerate(head):
        if char == "<":
            depth += 1
        elif char == ">":
            depth -= 1
            if depth == 0:
                return head[index + 1:].strip()
    return head


def is_function_head(head):
    head = without_template(head)
    before = head.split("(", 1)[0]
    return "(" in head and "=" not in before and not CONTAINER.match(head)


def long_cpp_functions(path, relative):
    """Functions: blocks opened at namespace or class level by a head with a
    parameter list. Lambdas and inner blocks count towards their function."""
    faults = []
    with open(path, encoding="utf-8", errors="replace") as text:
        lines = text.read().split("\n")
    depth, head, containers = 0, [], [0]  # containers: depths whose blocks hold functions
    function = None  # (first line of its head, depth it returns to)
    in_comment = False
    for number, raw in enumerate(lines, 1):
        line = strip_cpp(raw)
        if in_comment:
            if "*/" not in line:
                continue
            line, in_comment = line.split("*/", 1)[1], False
        line = re.sub(r"/\*.*?\*/", "", line)
        if "/*" in line:
            line, in_comment = line.split("/*", 1)[0], True
        if line.lstrip().startswith("#"):
            continue
        piece = ""
        for char in line:
            if char == "{":
                if function is None and depth == containers[-1]:
                    text_head = " ".join([text for _, text in head] + [piece.strip()]).strip()
                    first = head[0][0] if head else number
                    if CONTAINER.match(without_template(text_head)):
                        containers.append(depth + 1)
                    elif is_function_head(text_head):
                        function = (first, depth)
                depth += 1
                head, piece = [], ""
            elif char == "}":
                depth -= 1
                if depth < containers[-1]:
                    containers.pop()
                if function is not None and depth == function[1]:
                    length = number - function[0] + 1
                    if length > LONGEST:
                        faults.append("%s:%d: a function of %d lines (at most %d)"
                                      % (relative, function[0], length, LONGEST))
                    function = None
                head, piece = [], ""
            elif char == ";":
                head, piece = [], ""
            else:
                piece += char
        if function is None and piece.strip():
            head = (head + [(number, piece.strip())])[-8:]
    return faults


def long_python_functions(path, relative):
    with open(path, encoding="utf-8") as text:
        tree = ast.parse(text.read(), path)
    faults = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            first = min([node.lineno] + [decorator.lineno for decorator in node.decorator_list])
            length = node.end_lineno - first + 1
            if length > LONGEST:
                faults.append("%s:%d: %s() is %d lines (at most %d)"
                              % (relative, first, node.name, length, LONGEST))
    return faults


def check_lengths(root):
    faults = []
    for folder, _, names in os.walk(os.path.join(root, "src")):
        for name in sorted(names):
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            if name.endswith(CPP):
                faults.extend(long_cpp_functions(path, relative))
            elif name.endswith(".py"):
                faults.extend(long_python_functions(path, relative))
    return faults


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    root = os.path.abspath(argv[1])
    faults = check_includes(root) + check_lengths(root)
    for fault in faults:
        print(fault)
    if faults:
        print("check_layout: %d fault%s" % (len(faults), "" if len(faults) == 1 else "s"))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
