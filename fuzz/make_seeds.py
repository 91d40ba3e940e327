#!/usr/bin/env python3
"""Regenerates the seed corpora fuzz/corpus/{source,exec} from the examples,
the ```zo snippets of docs/language.md, the source texts the compiler tests
compile and the IR seeds. Run from anywhere; rewrites only seed-* files."""
import ast
import hashlib
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"


def cpp_literal_runs(text, callers):
    """Adjacent C++ string literals passed first to `callers`, joined."""
    literal = r'"(?:[^"\\\n]|\\.)*"'
    for match in re.finditer(r'(?:%s)\(\s*((?:%s\s*)+)' % (callers, literal), text):
        parts = re.findall(literal, match.group(1))
        try:
            yield "".join(ast.literal_eval(part) for part in parts)
        except (ValueError, SyntaxError):
            continue


def sources():
    for path in sorted((ROOT / "examples").glob("*.zo")):
        yield path.read_text()
    docs = (ROOT / "docs" / "language.md").read_text()
    yield from re.findall(r"```zo\n(.*?)```", docs, flags=re.S)
    for path in sorted((ROOT / "language" / "tests").glob("*_test.cpp")):
        yield from cpp_literal_runs(path.read_text(), "run|listing|compile_nonconsuming|compile|parse")


def ir_texts():
    for path in sorted((CORPUS / "ir").iterdir()):
        yield path.read_text()
    for path in sorted((ROOT / "language" / "tests").glob("interpreter_*test.cpp")):
        yield from cpp_literal_runs(path.read_text(), r"Harness \w+|read|from_ir")


def write(directory, data):
    directory.mkdir(parents=True, exist_ok=True)
    name = "seed-" + hashlib.sha1(data).hexdigest()[:16]
    (directory / name).write_bytes(data)


def main():
    for directory in ("source", "exec"):
        for old in (CORPUS / directory).glob("seed-*"):
            old.unlink()
    for text in sources():
        data = text.encode()
        write(CORPUS / "source", data)
        write(CORPUS / "exec", b"\x01" + data + b"\x00" + bytes(range(1, 32)))
    for text in ir_texts():
        write(CORPUS / "exec", b"\x00" + text.encode() + b"\x00" + bytes(range(1, 32)))


if __name__ == "__main__":
    main()
