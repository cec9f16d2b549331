"""The same conversions written in plain Python, as a user without zendral
would write them: what zendral has to beat."""
import re

# Python's "." also matches CR, so the asterisk rules spell out [^\n\r].
_INLINE_RULES = [
    (re.compile(r"\*\*([^\n\r]*?)\*\*"), r"<strong>\1</strong>"),
    (re.compile(r"__([^_]+)__"), r"<strong>\1</strong>"),
    (re.compile(r"\*([^\n\r]*?)\*"), r"<em>\1</em>"),
    (re.compile(r"_([^_]+)_"), r"<em>\1</em>"),
    (re.compile(r"`([^`]+)`"), r"<code>\1</code>"),
]
_HEADING = re.compile(r"(#{1,6}) ")
_UNWRAPPED = ("<h", "<ul>", "</ul>", "<li>", "<p>", "<code>")


def render_inline_spans(line):
    for pattern, replacement in _INLINE_RULES:
        line = pattern.sub(replacement, line)
    return line


def md_to_html(lines):
    html = []
    in_list = False
    for line in lines:
        heading = _HEADING.match(line)
        if heading:
            level = len(heading.group(1))
            line = "<h%d>%s</h%d>" % (level, line[level + 1:], level)
        elif line.startswith("- "):
            if not in_list:
                html.append("<ul>")
                in_list = True
            line = "<li>" + line[2:] + "</li>"
        elif in_list:
            html.append("</ul>")
            in_list = False
        line = render_inline_spans(line)
        if not heading and not line.startswith(_UNWRAPPED) and line:
            line = "<p>" + line + "</p>"
        html.append(line)
    if in_list:
        html.append("</ul>")
    return html


def line_csv_to_json(line):
    pairs = []
    for field in line.split(","):
        key, equals, value = field.partition("=")
        if equals:
            pairs.append('"' + key + '": "' + value + '"')
    return "{" + ", ".join(pairs) + "}"


def csv_lines_to_json(lines):
    return [line_csv_to_json(line) for line in lines]


def csv_file_to_json(path):
    with open(path, encoding="utf-8", newline="\n") as source:
        return [line_csv_to_json(line[:-1] if line.endswith("\n") else line) for line in source]
