#!/usr/bin/env python3
"""Mutation testing of the portable units (the sources of native/'s ts_portable).

Each mutant is one small fault put into one unit's source: a relational or
boundary flip, a negated condition, a guard that is dropped or always taken, a
removed statement, a `continue` that breaks, an integer constant off by one, a
changed character literal, a removed entry of a table or initializer list, or
`&&` and `||` swapped. The mutant is compiled alone into an object, linked with
the untouched objects into the test programs that cover its unit (every native
test or fuzz replay that includes the unit's header) and those are run; a
mutant no test notices survives.

The mutants are built without sanitizers in their own build directory
(build-mutate/, -O1), so one mutant costs one compile, a link per test program
and the runs. A mutant whose object is byte for byte the original's cannot
change any result and is counted as equivalent without running anything.
Equivalent mutants the compiler cannot see are listed, each with the reason,
in scripts/mutate_equivalent.txt and skipped. A mutant is named by a stable
key: the unit, a hash of its original line's text, the operator and the
occurrence of that operator on lines with that text.

    python3 scripts/mutate.py                     every unit (about 35 minutes on 2 cores)
    python3 scripts/mutate.py --sanitize --keys REPORT
                                                  the survivors of a report, with the sanitizers
    python3 scripts/mutate.py --diff origin/main  lines changed since the merge base
    python3 scripts/mutate.py --unit contained_path --limit 50
    python3 scripts/mutate.py --list --unit answer

Exit status 1 when a mutant survived.
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENT_FILE = os.path.join(ROOT, "scripts", "mutate_equivalent.txt")

# ---------------------------------------------------------------------------
# Lexer: enough C++ to find operators, literals, statements and brace lists
# without touching comments, strings or preprocessor lines.

TOKEN_RE = re.compile(
    r"""
    (?P<ws>[ \t\r\n]+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>(?:u8|u|U|L)?R"(?P<delim>[^(\s]*)\(.*?\)(?P=delim)"|(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")
  | (?P<char>(?:u8|u|U|L)?'(?:\\.|[^'\\\n])+')
  | (?P<number>(?:0[xX][0-9a-fA-F']+|0[bB][01']+|\d[\d']*(?:\.\d*)?(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?)[uUlLfF]*)
  | (?P<ident>[A-Za-z_]\w*)
  | (?P<punct>::|->\*?|\+\+|--|<<=|>>=|<=>|<<|>>|<=|>=|==|!=|&&|\|\||[-+*/%&|^!=<>]=|\.\.\.|[{}()\[\];,.?:~!<>=+\-*/%&|^#])
  """,
    re.VERBOSE | re.DOTALL,
)


class Token:
    __slots__ = ("kind", "text", "start", "end", "line")

    def __init__(self, kind, text, start, end, line):
        self.kind, self.text, self.start, self.end, self.line = kind, text, start, end, line

    def __repr__(self):
        return f"{self.kind}:{self.text}@{self.line}"


def tokenize(source):
    tokens = []
    pos, line = 0, 1
    at_line_start = True
    while pos < len(source):
        if at_line_start:
            m = re.match(r"[ \t]*#", source[pos:])
            if m:  # a preprocessor line (with continuations) is one token
                end = pos
                while True:
                    nl = source.find("\n", end)
                    if nl < 0:
                        end = len(source)
                        break
                    if source[nl - 1] == "\\":
                        end = nl + 1
                        continue
                    end = nl
                    break
                line += source.count("\n", pos, end)
                pos = end
                continue
        m = TOKEN_RE.match(source, pos)
        if not m:
            raise ValueError(f"cannot read line {line}: {source[pos:pos + 20]!r}")
        kind = m.lastgroup if m.lastgroup != "delim" else "string"
        text = m.group(0)
        for k in ("ws", "comment", "string", "char", "number", "ident", "punct"):
            if m.group(k) is not None:
                kind = k
                break
        if kind not in ("ws", "comment"):
            tokens.append(Token(kind, text, pos, m.end(), line))
        newlines = text.count("\n")
        line += newlines
        if newlines:
            at_line_start = True
        elif kind != "ws":
            at_line_start = False
        pos = m.end()
    return tokens


def matching(tokens, i, open_text, close_text):
    """Index of the token closing the bracket at i."""
    depth = 0
    for j in range(i, len(tokens)):
        if tokens[j].text == open_text:
            depth += 1
        elif tokens[j].text == close_text:
            depth -= 1
            if depth == 0:
                return j
    return None


def matching_open(tokens, i, open_text, close_text):
    """Index of the token opening the bracket closed at i."""
    depth = 0
    for j in range(i, -1, -1):
        if tokens[j].text == close_text:
            depth += 1
        elif tokens[j].text == open_text:
            depth -= 1
            if depth == 0:
                return j
    return None


TYPEISH = {"::", ",", "*", "&", "const", "unsigned", "signed", "long", "short", "char", "int", "bool", "wchar_t", "(",
           ")", "[", "]"}


def template_brackets(tokens):
    """Indices of '<' and '>' tokens that are template brackets, not comparisons."""
    brackets = set()
    for i, t in enumerate(tokens):
        if t.text != "<" or i == 0:
            continue
        prev = tokens[i - 1]
        if not (prev.kind == "ident"):
            continue
        depth, j, inner = 0, i, []
        while j < len(tokens):
            x = tokens[j]
            if x.text == "<":
                depth += 1
                inner.append(j)
            elif x.text == ">":
                depth -= 1
                inner.append(j)
            elif x.text == ">>":
                depth -= 2
                inner.append(j)
            elif not (x.kind in ("ident", "number") or x.text in TYPEISH):
                break
            if depth <= 0:
                brackets.update(inner)
                break
            j += 1
    return brackets


# ---------------------------------------------------------------------------
# Mutant generation.


class Mutant:
    __slots__ = ("unit", "file", "op", "line", "start", "end", "replacement", "original", "key", "line_text", "status",
                 "detail")

    def __init__(self, unit, file, op, line, start, end, replacement, original):
        self.unit, self.file, self.op, self.line = unit, file, op, line
        self.start, self.end, self.replacement, self.original = start, end, replacement, original
        self.key = None
        self.line_text = ""
        self.status = None
        self.detail = ""

    def change(self):
        before = " ".join(self.original.split())
        after = " ".join(self.replacement.split()) or "(removed)"
        return f"`{before}` -> `{after}`"


BOUNDARY = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
RELATIONAL = {"==": "!=", "!=": "=="}
DECL_START = {"const", "constexpr", "static", "auto", "unsigned", "signed", "int", "char", "bool", "long", "short",
              "wchar_t", "size_t", "uint8_t", "uint16_t", "uint32_t", "uint64_t", "int32_t", "int64_t", "double",
              "float", "void", "return", "using", "typedef", "struct", "class", "enum", "template", "case", "default",
              "if", "for", "while", "do", "switch", "else", "goto", "throw", "try", "catch", "namespace", "delete",
              "new", "static_assert", "std", "tessary"}


def char_literal_changed(text):
    prefix = text[:text.index("'")]
    body = text[len(prefix) + 1:-1]
    try:
        value = ord(body.encode("latin-1", "backslashreplace").decode("unicode_escape")) if body.startswith("\\") \
            else ord(body)
    except (UnicodeDecodeError, TypeError, ValueError):
        return None
    value += 1
    if 0x20 <= value < 0x7F and chr(value) not in "'\\":
        return f"{prefix}'{chr(value)}'"
    return f"{prefix}'\\x{value:02x}'"


def int_literal_changed(text):
    m = re.fullmatch(r"(0[xX][0-9a-fA-F]+|[1-9]\d*|0)([uUlL]*)", text.replace("'", ""))
    if not m:
        return []
    digits, suffix = m.groups()
    value = int(digits, 0)
    hexa = digits[:2].lower() == "0x"
    out = []
    for v in (value + 1, value - 1):
        if v < 0:
            continue
        out.append((f"0x{v:X}" if hexa else str(v)) + suffix)
    return out


def statement_is_expression(tokens, i):
    """True when the statement starting at tokens[i] is an expression statement."""
    t = tokens[i]
    if t.text in ("++", "--", "*", "("):
        return True
    if t.kind != "ident" or t.text in DECL_START:
        # std::foo(...) is a call, std::string x a declaration
        if t.text not in ("std", "tessary"):
            return False
    j = i
    while j + 2 < len(tokens) and tokens[j].kind == "ident" and tokens[j + 1].text == "::":
        j += 2
    if tokens[j].kind != "ident":
        return False
    nxt = tokens[j + 1].text if j + 1 < len(tokens) else ""
    return nxt in ("(", "=", "+=", "-=", "*=", "/=", "%=", "|=", "&=", "^=", "<<=", ">>=", ".", "->", "[", "++",
                   "--")


def generate(unit, file, source):
    tokens = tokenize(source)
    templ = template_brackets(tokens)
    mutants = []

    def add(op, first, last, replacement):
        a, b = tokens[first], tokens[last]
        mutants.append(Mutant(unit, file, op, a.line, a.start, b.end, replacement, source[a.start:b.end]))

    paren_depth = 0
    for i, t in enumerate(tokens):
        if t.text == "(":
            paren_depth += 1
        elif t.text == ")":
            paren_depth -= 1
        if t.kind == "punct":
            if t.text in BOUNDARY and i not in templ:
                add("boundary", i, i, BOUNDARY[t.text])
            elif t.text in RELATIONAL:
                add("relational", i, i, RELATIONAL[t.text])
            elif t.text in ("&&", "||"):
                add("logical", i, i, "||" if t.text == "&&" else "&&")
        elif t.kind == "number":
            prev = tokens[i - 1].text if i else ""
            if prev in ("[",) and i + 1 < len(tokens) and tokens[i + 1].text == "]" and tokens[i - 2].kind == "ident" \
                    and tokens[i - 3].kind == "ident":
                continue  # the size of a declared array: checked by the compiler or by the tables using it
            for r in int_literal_changed(t.text):
                add("constant", i, i, r)
        elif t.kind == "char":
            r = char_literal_changed(t.text)
            if r:
                add("character", i, i, r)
        elif t.kind == "ident" and t.text in ("if", "while") and i + 1 < len(tokens) and tokens[i + 1].text == "(":
            close = matching(tokens, i + 1, "(", ")")
            if close is None or close == i + 2:
                continue
            first, last = i + 2, close - 1
            cond = source[tokens[first].start:tokens[last].end]
            add("negate", first, last, f"!({cond})")
            body = close + 1
            if t.text == "if" and body < len(tokens) and tokens[body].text in ("return", "break", "continue",
                                                                                "throw"):
                # A guard: dropping it is the missing check, taking it always the early exit.
                add("drop_guard", first, last, "false")
                add("early_exit", first, last, "true")
        elif t.kind == "ident" and t.text == "continue":
            add("break", i, i, "break")

    # Removed statements: expression statements, `break;` and a value-less `return;`.
    for i, t in enumerate(tokens):
        prev = tokens[i - 1].text if i else ";"
        starts = prev in (";", "{", "}", ")", "else")
        if not starts:
            continue
        if t.text in ("*", "(") and prev not in (";", "{"):
            continue
        if prev == "}":
            # only after a block, not after a braced initializer such as size_t{n}
            open_ = matching_open(tokens, i - 1, "{", "}")
            if open_ is None or (open_ and tokens[open_ - 1].text not in (")", "else", ";", "{", "}", "do")):
                continue
        if prev == ")":
            # only the body of an if/while/for without braces
            open_ = matching_open(tokens, i - 1, "(", ")")
            if open_ is None or open_ == 0 or tokens[open_ - 1].text not in ("if", "while", "for"):
                continue
        if t.text in ("break",) or (t.text == "return" and i + 1 < len(tokens) and tokens[i + 1].text == ";"):
            end = i + 1
        elif statement_is_expression(tokens, i):
            end = i
            depth = 0
            while end < len(tokens):
                x = tokens[end].text
                if x in ("(", "[", "{"):
                    depth += 1
                elif x in (")", "]", "}"):
                    depth -= 1
                    if depth < 0:
                        break
                elif x == ";" and depth == 0:
                    break
                end += 1
            if end >= len(tokens) or tokens[end].text != ";":
                continue
        else:
            continue
        add("remove", i, end, ";")

    # Removed entries of tables and initializer lists.
    i = 0
    while i < len(tokens):
        t = tokens[i]
        if t.text == "{" and i and tokens[i - 1].text in ("=", ":", "]") or \
                (t.text == "{" and i and tokens[i - 1].kind == "ident" and tokens[i - 2].kind == "ident"):
            close = matching(tokens, i, "{", "}")
            if close is None:
                i += 1
                continue
            entries, depth, start, has_semicolon = [], 0, i + 1, False
            for j in range(i + 1, close):
                x = tokens[j].text
                if x in ("{", "(", "["):
                    depth += 1
                elif x in ("}", ")", "]"):
                    depth -= 1
                elif x == ";" and depth == 0:
                    has_semicolon = True
                elif x == "," and depth == 0:
                    entries.append((start, j))
                    start = j + 1
            if start < close:
                entries.append((start, close))
            if not has_semicolon and len(entries) >= 2:
                for a, comma in entries:
                    last = comma if tokens[comma].text == "," else comma - 1
                    if tokens[comma].text == "}" and a > i + 1:
                        a_ = a - 1  # the last entry takes the comma before it
                        add("table", a_, comma - 1, "")
                    else:
                        add("table", a, last, "")
                i = close + 1
                continue
        i += 1

    # Stable keys: unit, hash of the line's text, operator, occurrence.
    lines = source.split("\n")
    seen = {}
    mutants.sort(key=lambda m: (m.start, m.op, m.end, m.replacement))
    for m in mutants:
        text = lines[m.line - 1].strip()
        digest = hashlib.sha1(text.encode()).hexdigest()[:10]
        n = seen.get((digest, m.op), 0)
        seen[(digest, m.op)] = n + 1
        m.key = f"{file} {digest} {m.op} {n}"
        m.line_text = text
    return mutants


# ---------------------------------------------------------------------------
# The native build: units, the tests that cover them, commands.


def cmake_list(text, start_pattern):
    m = re.search(start_pattern + r"(.*?)\)", text, re.S)
    return m.group(1).split() if m else []


def units_and_tests():
    native = open(os.path.join(ROOT, "native", "CMakeLists.txt")).read()
    units = [u.replace("${TS_ROOT}/", "") for u in cmake_list(native, r"add_library\(ts_portable STATIC")]
    tests = {}  # target -> source path relative to ROOT
    for src in cmake_list(native, r"set\(TS_NATIVE_TESTS"):
        area, stem = os.path.dirname(src), os.path.splitext(os.path.basename(src))[0]
        tests[f"native_{area}_{stem}"] = os.path.join("tests", src)
    fuzz = open(os.path.join(ROOT, "fuzz", "targets.cmake")).read()
    for name, src in re.findall(r"^ts_fuzz_target\((\w+) (\S+?)[ )]", fuzz, re.M):
        tests[f"replay_{name}"] = os.path.join("fuzz", src)
    covering = {}
    for unit in units:
        header = os.path.splitext(unit)[0] + ".h"
        covering[unit] = sorted(t for t, src in tests.items() if re.search(
            r'#include\s+"' + re.escape(header) + '"', open(os.path.join(ROOT, src)).read()))
    return units, covering


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


class Build:
    def __init__(self, build_dir, jobs, sanitize):
        self.dir = build_dir
        self.jobs = jobs
        if not os.path.exists(os.path.join(build_dir, "build.ninja")):
            env = dict(os.environ, CC=os.environ.get("CC", "clang"), CXX=os.environ.get("CXX", "clang++"))
            r = run(["cmake", "-S", os.path.join(ROOT, "native"), "-B", build_dir, "-G", "Ninja", "-DTS_SANITIZE=" + ("ON" if sanitize else "OFF"),
                     "-DTS_FUZZ=OFF", "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O1 -DNDEBUG",
                     "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld"], env=env)
            if r.returncode:
                sys.exit("cmake failed:\n" + r.stdout)

    def build(self, targets):
        r = run(["cmake", "--build", self.dir, "-j", str(self.jobs), "--target"] + targets)
        if r.returncode:
            sys.exit("the build of the unmutated code failed:\n" + r.stdout[-4000:])
        compdb = json.loads(run(["ninja", "-C", self.dir, "-t", "compdb"]).stdout)
        self.compile = {}
        self.object_source = {}
        for e in (e for e in compdb if " -c " in e["command"]):
            f = os.path.relpath(os.path.normpath(os.path.join(e["directory"], e["file"])), ROOT)
            self.compile[f] = e
            if "output" in e:
                self.object_source[e["output"]] = f
        self.link = {}
        for target in targets:
            lines = run(["ninja", "-C", self.dir, "-t", "commands", target]).stdout.strip().split("\n")
            self.link[target] = lines[-1]
        self.tests = {}
        shown = json.loads(run(["ctest", "--test-dir", self.dir, "--show-only=json-v1"]).stdout)
        for t in shown["tests"]:
            env = {}
            cwd = self.dir
            for p in t.get("properties", []):
                if p["name"] == "ENVIRONMENT":
                    env.update(v.split("=", 1) for v in p["value"])
                elif p["name"] == "WORKING_DIRECTORY":
                    cwd = p["value"]
            if "command" in t:  # programs not built have none
                self.tests[t["name"]] = (t["command"], env, cwd)

    def includers(self, target, header):
        """(object, source) of the target's objects whose source includes header directly."""
        out = []
        for a in shlex.split(next(c for c in self.link[target].split("&&") if " -o " in c)):
            if a.endswith(".o"):
                source = self.object_source.get(a)
                if source and re.search(r'#include\s+"' + re.escape(header) + '"',
                                        open(os.path.join(ROOT, source)).read()):
                    out.append((a, source))
        return out

    def compile_unit(self, unit, source_path, obj, extra=()):
        e = self.compile[unit]
        args = shlex.split(e["command"])
        out, skip = [], 0
        for n, a in enumerate(args):
            if skip:
                skip -= 1
                continue
            if a in ("-MD", "-MMD"):
                continue
            if a in ("-MT", "-MF", "-o"):
                skip = 1
                continue
            if a == "-c":
                skip = 1
                continue
            out.append(a)
        out += ["-w"] + list(extra) + ["-o", obj, "-c", source_path]
        return run(out, cwd=e["directory"])

    def link_test(self, target, obj, exe, replaced):
        # ninja wraps the link as ": && <link> && :"
        args = shlex.split(next(c for c in self.link[target].split("&&") if " -o " in c))
        out, skip = [], 0
        for a in args:
            if skip:
                skip -= 1
                continue
            if a == "-o":
                skip = 1
                continue
            if a.endswith("libts_portable.a"):
                out.append(obj)
            out.append(replaced.get(a, a))
        out += ["-o", exe]
        return run(out, cwd=self.dir)

    def run_test(self, target, exe, timeout):
        command, env, cwd = self.tests[target]
        full_env = dict(os.environ, GTEST_FAIL_FAST="1", **env)
        try:
            r = subprocess.run([exe] + command[1:], cwd=cwd, env=full_env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=timeout)
            return "pass" if r.returncode == 0 else "fail"
        except subprocess.TimeoutExpired:
            return "timeout"


# ---------------------------------------------------------------------------


def changed_lines(base):
    merge_base = run(["git", "-C", ROOT, "merge-base", base, "HEAD"]).stdout.strip()
    if not merge_base:
        sys.exit(f"no merge base with {base}")
    diff = run(["git", "-C", ROOT, "diff", "-U0", merge_base, "--"]).stdout
    changed, current = {}, None
    for line in diff.split("\n"):
        if line.startswith("+++ "):
            current = line[6:] if line.startswith("+++ b/") else None
        elif line.startswith("@@") and current:
            m = re.search(r"\+(\d+)(?:,(\d+))?", line)
            first, count = int(m.group(1)), int(m.group(2) or 1)
            changed.setdefault(current, set()).update(range(first, first + count))
    return changed


def load_equivalents():
    keys = {}
    if os.path.exists(EQUIVALENT_FILE):
        for line in open(EQUIVALENT_FILE):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split("|")
            keys[" ".join(fields[0].split())] = fields[-1].strip()
    return keys


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--diff", metavar="BASE", help="mutate only lines changed since the merge base with BASE")
    ap.add_argument("--unit", metavar="REGEX", help="only units whose path matches")
    ap.add_argument("--file", metavar="REGEX", help="only mutants in files whose path matches (a unit or its header)")
    ap.add_argument("--op", metavar="REGEX", help="only operators that match")
    ap.add_argument("--keys", metavar="FILE", help="only the mutants whose keys a report lists (\"key: ...\" lines), "
                    "such as the survivors of an earlier run")
    ap.add_argument("--limit", type=int, help="at most this many mutants per unit (a random sample)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="mutants built and run at once (default 2)")
    ap.add_argument("--build-dir", help="default build-mutate/, with --sanitize build-mutate-asan/")
    ap.add_argument("--sanitize", action="store_true",
                    help="build the mutants with AddressSanitizer and UndefinedBehaviorSanitizer (slower; confirms "
                    "survivors that read or write out of bounds, e.g. with --keys)")
    ap.add_argument("--timeout", type=float, default=0, help="seconds per test program (default 10x its normal time)")
    ap.add_argument("--list", action="store_true", help="only list the mutants")
    ap.add_argument("--report", help="also write the report to this file")
    ap.add_argument("-v", "--verbose", action="store_true", help="list every mutant with its result")
    args = ap.parse_args()

    args.build_dir = os.path.abspath(args.build_dir or os.path.join(
        ROOT, "build-mutate-asan" if args.sanitize else "build-mutate"))
    units, covering = units_and_tests()
    if args.unit:
        units = [u for u in units if re.search(args.unit, u)]
    changed = changed_lines(args.diff) if args.diff else None
    equivalents = load_equivalents()

    mutants = {}
    for unit in units:
        ms = []
        for file in (unit, os.path.splitext(unit)[0] + ".h"):
            if os.path.exists(os.path.join(ROOT, file)):
                ms += generate(unit, file, open(os.path.join(ROOT, file)).read())
        if args.op:
            ms = [m for m in ms if re.search(args.op, m.op)]
        if args.file:
            ms = [m for m in ms if re.search(args.file, m.file)]
        if args.keys:
            wanted = set(re.findall(r"key: (.+?)\s*$", open(args.keys).read(), re.M))
            ms = [m for m in ms if m.key in wanted]
        if changed is not None:
            ms = [m for m in ms if any(n in changed.get(m.file, ()) for n in range(m.line, m.line + m.original.count("\n") + 1))]
        if args.limit and len(ms) > args.limit:
            ms = sorted(random.Random(args.seed).sample(ms, args.limit), key=lambda m: m.start)
        mutants[unit] = ms
    if args.list:
        for unit, ms in mutants.items():
            for m in ms:
                print(f"{m.file}:{m.line} [{m.op}] {m.change()}  key={m.key}")
        return 0

    todo = [u for u in units if mutants[u]]
    if not todo:
        print("no mutants")
        return 0
    missing = [u for u in todo if not covering[u]]
    for u in missing:
        print(f"{u}: no native test includes its header; its mutants are not run")
    todo = [u for u in todo if covering[u]]
    build = Build(args.build_dir, args.jobs, args.sanitize)
    targets = sorted({t for u in todo for t in covering[u]})
    build.build(targets)

    work = os.path.join(args.build_dir, "mutants")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    timeouts = {}
    for t in targets:
        command = build.tests[t][0]
        started = time.monotonic()
        if build.run_test(t, command[0], 300) != "pass":
            sys.exit(f"{t} fails without any mutant")
        timeouts[t] = args.timeout or max(5.0, 10 * (time.monotonic() - started))

    reference = {}  # (worker dir, unit) -> object bytes of the unmutated unit

    def evaluate(m, slot):
        wdir = os.path.join(work, f"w{slot}")
        src = os.path.join(wdir, "src", m.unit)
        os.makedirs(os.path.dirname(src), exist_ok=True)
        original = open(os.path.join(ROOT, m.unit)).read()
        if (slot, m.unit) not in reference:
            with open(src, "w") as f:
                f.write(original)
            r = build.compile_unit(m.unit, src, os.path.join(wdir, "ref.o"))
            if r.returncode:
                raise RuntimeError(r.stdout)
            reference[(slot, m.unit)] = open(os.path.join(wdir, "ref.o"), "rb").read()
        mutated = open(os.path.join(ROOT, m.file)).read()
        mutated = mutated[:m.start] + m.replacement + mutated[m.end:]
        header = None
        if m.file == m.unit:
            with open(src, "w") as f:
                f.write(mutated)
        else:
            # A mutated header is found first through -iquote; the unit and the
            # covering tests' sources that include it are compiled again.
            with open(src, "w") as f:
                f.write(original)
            header = os.path.join(wdir, "headers", m.file)
            os.makedirs(os.path.dirname(header), exist_ok=True)
            with open(header, "w") as f:
                f.write(mutated)
        try:
            extra = ["-iquote", os.path.join(wdir, "headers")] if header else []
            obj = os.path.join(wdir, "mutant.o")
            if build.compile_unit(m.unit, src, obj, extra).returncode:
                return "invalid", "does not compile"
            same = open(obj, "rb").read() == reference[(slot, m.unit)]
            replaced = {}  # target -> {original object: recompiled object}
            if header:
                for t in covering[m.unit]:
                    replaced[t] = {}
                    for n, (o, source) in enumerate(build.includers(t, m.file)):
                        new = os.path.join(wdir, f"{t}.{n}.o")
                        if build.compile_unit(source, os.path.join(ROOT, source), new, extra).returncode:
                            return "invalid", "does not compile"
                        same = same and open(new, "rb").read() == open(os.path.join(build.dir, o), "rb").read()
                        replaced[t][o] = new
            if same:
                return "same", "the compiled objects are unchanged"
            for t in covering[m.unit]:
                exe = os.path.join(wdir, t)
                r = build.link_test(t, obj, exe, replaced.get(t, {}))
                if r.returncode:
                    return "invalid", "does not link"
                verdict = build.run_test(t, exe, timeouts[t])
                if verdict != "pass":
                    return "killed", f"{t} ({verdict})"
            return "survived", ""
        finally:
            if header:
                os.remove(header)

    queue = [m for u in todo for m in mutants[u]]
    for m in queue:
        if m.key in equivalents:
            m.status, m.detail = "equivalent", equivalents[m.key]
    pending = [m for m in queue if m.status is None]
    print(f"{len(queue)} mutants in {len(todo)} units, {len(pending)} to run", flush=True)
    started = time.monotonic()
    free = list(range(args.jobs))
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        running = {}
        done = 0
        for m in pending:
            if not free:
                finished, _ = concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
                for f in finished:
                    mm, slot = running.pop(f)
                    mm.status, mm.detail = f.result()
                    free.append(slot)
                    done += 1
            slot = free.pop()
            running[pool.submit(evaluate, m, slot)] = (m, slot)
            if done and done % 50 == 0:
                print(f"  {done}/{len(pending)} in {time.monotonic() - started:.0f} s", flush=True)
        for f in concurrent.futures.as_completed(list(running)):
            mm, slot = running.pop(f)
            mm.status, mm.detail = f.result()

    lines = []
    head = f"{'unit':34} {'mutants':>7} {'killed':>6} {'equiv':>5} {'same':>5} {'invalid':>7} {'survived':>8} {'score':>6}"
    lines.append(head)
    totals = [0] * 6
    for unit in todo:
        ms = mutants[unit]
        counts = [len(ms)] + [sum(1 for m in ms if m.status == s) for s in
                              ("killed", "equivalent", "same", "invalid", "survived")]
        totals = [a + b for a, b in zip(totals, counts)]
        lines.append(f"{unit:34} {counts[0]:7} {counts[1]:6} {counts[2]:5} {counts[3]:5} {counts[4]:7} {counts[5]:8} "
                     f"{score(counts[1], counts[5]):>6}")
    lines.append(f"{'all':34} {totals[0]:7} {totals[1]:6} {totals[2]:5} {totals[3]:5} {totals[4]:7} {totals[5]:8} "
                 f"{score(totals[1], totals[5]):>6}")
    lines.append("(score: killed / (killed + survived); equiv: listed in scripts/mutate_equivalent.txt; same: the "
                 "mutant compiles to the original object)")
    if args.verbose:
        lines.append("")
        for m in (m for u in todo for m in mutants[u]):
            lines.append(f"  {m.status:10} {m.file}:{m.line} [{m.op}] {m.change()}  {m.detail}")
    survivors = [m for u in todo for m in mutants[u] if m.status == "survived"]
    if survivors:
        lines.append("")
        lines.append("Survivors (add the key, | the change | the reason to scripts/mutate_equivalent.txt when one "
                     "cannot change any result):")
        for m in survivors:
            lines.append(f"  {m.file}:{m.line} [{m.op}] {m.change()}")
            lines.append(f"      in: {m.line_text}")
            lines.append(f"      key: {m.key}")
    lines.append(f"({time.monotonic() - started:.0f} s)")
    report = "\n".join(lines)
    print(report)
    if args.report:
        with open(args.report, "w") as f:
            f.write(report + "\n")
    return 1 if survivors else 0


def score(killed, survived):
    return f"{100.0 * killed / (killed + survived):.1f}%" if killed + survived else "-"


if __name__ == "__main__":
    sys.exit(main())
