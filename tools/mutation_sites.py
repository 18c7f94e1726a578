"""Mutation sites: where a small fault can be planted in C++ or Python code.

C++ sites are found in the code only (comments, literals and preprocessor
lines are blanked out first, keeping offsets): relational operators moved to
their neighbour, + and -, * and /, && and ||, compound assignments swapped,
++ and --, a ! dropped, an if or while condition negated, an integer one off,
true and false swapped, and one-line statements and guards removed. Python
sites come from the token stream and the syntax tree: the same operators,
and and or, not dropped, conditions negated, one-line statements replaced by
pass and return values by None; string literals (docstrings included) are
never touched.
"""

from __future__ import annotations

import ast
import dataclasses
import io
import re
import tokenize
from typing import List, Optional, Sequence, Tuple

@dataclasses.dataclass
class Mutant:
    path: str        # relative to the root
    start: int       # character offset of the replaced text
    end: int
    replacement: str
    description: str  # e.g. "'<' -> '<='"
    line: int = 0     # 1-based
    line_text: str = ""

    def apply(self, text: str) -> str:
        return text[:self.start] + self.replacement + text[self.end:]


def _line_of(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


def _finish(path: str, text: str, mutants: List[Mutant]) -> List[Mutant]:
    lines = text.splitlines()
    for mutant in mutants:
        mutant.line = _line_of(text, mutant.start)
        mutant.line_text = lines[mutant.line - 1].strip() if mutant.line <= len(lines) else ""
        mutant.path = path
    return mutants


# C++: sites are found in the code only; comments, string and character
# literals and preprocessor lines are blanked out first, keeping offsets.
_CXX_TOKEN = re.compile(r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|'
                        r"'(?:\\.|[^'\\\n])*'|^[ \t]*#[^\n]*(?:\\\n[^\n]*)*", re.S | re.M)


def blank_non_code(text: str) -> str:
    return _CXX_TOKEN.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


_SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
          "+": "-", "-": "+", "*": "/", "/": "*", "&&": "||", "||": "&&",
          "+=": "-=", "-=": "+=", "*=": "/=", "/=": "*="}
# Binary operators written with a space on each side, as the code is formatted;
# template brackets, pointers, unary signs and shifts never are.
_CXX_BINARY = re.compile(r"(?<=\s)(<=|>=|==|!=|&&|\|\||\+=|-=|\*=|/=|<|>|\+|-|\*|/)(?=\s)")
_CXX_INCREMENT = re.compile(r"\+\+|--")
_CXX_NOT = re.compile(r"!(?=[\w(])")
_CXX_INTEGER = re.compile(r"(?<![\w.])(\d+)([uUlLzZ]*)(?![\w.'])")
_CXX_BOOL = re.compile(r"\b(true|false)\b")
_CXX_CONDITION = re.compile(r"\b(if|while)\s*\(")
_DECLARATION_START = re.compile(r"^(const|constexpr|static|auto|using|typedef|return|case|default|"
                                r"template|namespace|class|struct|enum|public|private|protected|"
                                r"else|do|for|switch|goto)\b")


def _matching_paren(code: str, open_index: int) -> int:
    depth = 0
    for i in range(open_index, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def _removable_statement(code_line: str, previous: str) -> bool:
    """A whole one-line statement whose removal still parses and means something."""
    line = code_line.strip()
    if not line.endswith(";") or line.count("(") != line.count(")") or "{" in line or "}" in line:
        return False
    if previous and previous[-1] not in ";{}:":
        return False  # a continuation line, or the body of a brace-less if
    if re.match(r"^(break|continue|return)\s*;$", line) or re.match(r"^(throw)\b", line):
        return True
    guard = re.match(r"^if\s*\(", line)
    if guard:
        close = _matching_paren(line, line.index("("))
        rest = line[close + 1:].strip() if close > 0 else ""
        return bool(re.match(r"^(return|throw|break|continue)\b", rest))
    if _DECLARATION_START.match(line):
        return False
    if line.startswith(("++", "--")):
        return True
    head = re.split(r"\(|\s=\s|\s[-+*/|&]=\s|\+\+|--|\[", line, maxsplit=1)[0].strip()
    # One name (a call, an assignment, a member call); two words make a declaration.
    return bool(head) and re.fullmatch(r"[\w:.>\-*&]+", head) is not None and "=" not in head


def _blank_static_asserts(code: str) -> str:
    """Compile-time checks: a fault there fails the build or changes nothing."""
    for match in reversed(list(re.finditer(r"\bstatic_assert\s*\(", code))):
        close = _matching_paren(code, match.end() - 1)
        if close > 0:
            code = code[:match.start()] + re.sub(r"[^\n]", " ", code[match.start():close + 1]) + code[close + 1:]
    return code


def cxx_mutants(path: str, text: str) -> List[Mutant]:
    code = _blank_static_asserts(blank_non_code(text))
    found: List[Mutant] = []
    for match in _CXX_BINARY.finditer(code):
        op = match.group(1)
        if code[max(0, match.start() - 9):match.start()].rstrip().endswith("operator"):
            continue
        found.append(Mutant(path, match.start(), match.end(), _SWAPS[op], f"'{op}' -> '{_SWAPS[op]}'"))
    for match in _CXX_INCREMENT.finditer(code):
        op = match.group(0)
        other = "--" if op == "++" else "++"
        if op == "--" and code[match.end():match.end() + 1] == ">":
            continue
        found.append(Mutant(path, match.start(), match.end(), other, f"'{op}' -> '{other}'"))
    for match in _CXX_NOT.finditer(code):
        if code[match.start() + 1] == "=":
            continue
        found.append(Mutant(path, match.start(), match.end(), "", "'!' removed"))
    for match in _CXX_INTEGER.finditer(code):
        value = int(match.group(1))
        suffix = match.group(2)
        found.append(Mutant(path, match.start(), match.end(), f"{value + 1}{suffix}",
                            f"{value} -> {value + 1}"))
        if value > 0:
            found.append(Mutant(path, match.start(), match.end(), f"{value - 1}{suffix}",
                                f"{value} -> {value - 1}"))
    for match in _CXX_BOOL.finditer(code):
        other = "false" if match.group(1) == "true" else "true"
        found.append(Mutant(path, match.start(), match.end(), other, f"{match.group(1)} -> {other}"))
    for match in _CXX_CONDITION.finditer(code):
        open_index = match.end() - 1
        close = _matching_paren(code, open_index)
        inner = code[open_index + 1:close]
        if close < 0 or ";" in inner or "constexpr" in code[match.start():open_index]:
            continue
        original = text[open_index + 1:close]
        found.append(Mutant(path, open_index + 1, close, f"!({original})",
                            f"{match.group(1)} condition negated"))
    code_lines = code.split("\n")
    offset = 0
    previous = ""
    for code_line in code_lines:
        stripped = code_line.strip()
        if stripped and _removable_statement(code_line, previous):
            start = offset + len(code_line) - len(code_line.lstrip())
            found.append(Mutant(path, start, offset + len(code_line.rstrip()), "",
                                "statement removed"))
        if stripped:
            previous = stripped
        offset += len(code_line) + 1
    found.sort(key=lambda m: (m.start, m.description))
    return _finish(path, text, found)


# Python: operators from the token stream, statements and conditions from the
# syntax tree; docstrings and other string literals are never touched.
_PY_OPERAND_END = {tokenize.NAME, tokenize.NUMBER, tokenize.STRING}
_PY_KEYWORDS_NOT_OPERANDS = {"and", "or", "not", "in", "is", "if", "else", "return", "lambda",
                             "yield", "for", "while", "await", "elif", "assert", "del", "from",
                             "import", "raise", "with", "as"}


def _offsets(text: str) -> List[int]:
    starts = [0]
    for line in text.splitlines(keepends=True):
        starts.append(starts[-1] + len(line))
    return starts


def _in_functions(tree: ast.AST, functions: Optional[Sequence[str]]) -> Optional[List[Tuple[int, int]]]:
    """Line spans of the named functions; None (the whole file) when it defines none."""
    spans = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and node.name in (functions or ()):
            spans.append((node.lineno, node.end_lineno or node.lineno))
    return spans or None


def python_mutants(path: str, text: str, functions: Optional[Sequence[str]] = None) -> List[Mutant]:
    starts = _offsets(text)
    tree = ast.parse(text)
    spans = _in_functions(tree, functions)

    def at(line: int, col: int) -> int:
        return starts[line - 1] + col

    def wanted(line: int) -> bool:
        return spans is None or any(a <= line <= b for a, b in spans)

    found: List[Mutant] = []
    tokens = list(tokenize.generate_tokens(io.StringIO(text).readline))
    previous = None
    for index, token in enumerate(tokens):
        if token.type in (tokenize.NL, tokenize.NEWLINE, tokenize.COMMENT, tokenize.INDENT,
                          tokenize.DEDENT):
            previous = token if token.type == tokenize.NEWLINE else previous
            continue
        line, col = token.start
        start, end = at(line, col), at(*token.end)
        operand_before = previous is not None and (
            (previous.type in _PY_OPERAND_END and previous.string not in _PY_KEYWORDS_NOT_OPERANDS)
            or previous.string in (")", "]", "}"))
        if wanted(line) and token.type == tokenize.OP and token.string in _SWAPS:
            op = token.string
            arithmetic = op in ("+", "-", "*", "/")
            if op not in ("&&", "||") and (not arithmetic or operand_before):
                found.append(Mutant(path, start, end, _SWAPS[op], f"'{op}' -> '{_SWAPS[op]}'"))
        elif wanted(line) and token.type == tokenize.NAME:
            if token.string in ("and", "or"):
                other = "or" if token.string == "and" else "and"
                found.append(Mutant(path, start, end, other, f"'{token.string}' -> '{other}'"))
            elif token.string in ("True", "False"):
                other = "False" if token.string == "True" else "True"
                found.append(Mutant(path, start, end, other, f"{token.string} -> {other}"))
            elif token.string == "not":
                following = tokens[index + 1]
                found.append(Mutant(path, start, at(*following.start), "", "'not' removed"))
        elif wanted(line) and token.type == tokenize.NUMBER and re.fullmatch(r"\d+", token.string):
            value = int(token.string)
            found.append(Mutant(path, start, end, str(value + 1), f"{value} -> {value + 1}"))
            if value > 0:
                found.append(Mutant(path, start, end, str(value - 1), f"{value} -> {value - 1}"))
        previous = token

    for node in ast.walk(tree):
        if isinstance(node, (ast.If, ast.While, ast.IfExp, ast.Assert)) and wanted(node.lineno):
            test = node.test
            s, e = at(test.lineno, test.col_offset), at(test.end_lineno, test.end_col_offset)
            found.append(Mutant(path, s, e, f"not ({text[s:e]})", "condition negated"))
        if not isinstance(node, ast.stmt) or not wanted(node.lineno):
            continue
        if node.end_lineno != node.lineno:
            continue  # one-line statements only
        s, e = at(node.lineno, node.col_offset), at(node.end_lineno, node.end_col_offset)
        if isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant):
            continue  # docstrings
        if isinstance(node, (ast.Expr, ast.Assign, ast.AugAssign, ast.Raise, ast.Continue,
                             ast.Break)):
            found.append(Mutant(path, s, e, "pass", "statement removed"))
        elif isinstance(node, ast.Return) and node.value is not None and not (
                isinstance(node.value, ast.Constant) and node.value.value is None):
            found.append(Mutant(path, s, e, "return None", "return value removed"))
    found.sort(key=lambda m: (m.start, m.description))
    return _finish(path, text, found)
