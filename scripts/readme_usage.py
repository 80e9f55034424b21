"""Runs the usage examples of the README and the docs pages against the
installed morfex. In each page, the Python blocks marked to run, in order and
in one namespace, where a line whose comment is a Python literal must give
that value; and the marked shell sessions, whose commands must print what they
show. A mark may name modules a block needs ("<!-- checked by
scripts/readme_usage.py, needs transformers -->"): where one is missing the
block is skipped and said so. Usage: readme_usage.py README.md docs/*.md"""

import ast
import importlib.util
import io
import re
import subprocess
import sys
import tokenize
from pathlib import Path
from typing import NamedTuple

MARK = re.compile(r"<!-- checked by scripts/readme_usage\.py(?:, needs ([\w. ]+))? -->")


class Block(NamedTuple):
    language: str
    code: str
    first_line: int
    needs: list[str]


def marked_blocks(page: str, name: str) -> list[Block]:
    """Each marked block of a page, with the line number of its first line."""
    lines = page.splitlines(keepends=True)
    blocks = []
    for number, line in enumerate(lines):
        mark = MARK.fullmatch(line.strip())
        if mark is None:
            continue
        fence = lines[number + 1] if number + 1 < len(lines) else ""
        if not fence.startswith("```"):
            raise SystemExit(f"{name} line {number + 1}: the mark is not followed by a code block")
        end = next(i for i in range(number + 2, len(lines)) if lines[i].startswith("```"))
        needs = (mark.group(1) or "").split()
        blocks.append(Block(fence[3:].strip(), "".join(lines[number + 2 : end]), number + 3, needs))
    return blocks


def shown_values(code: str) -> dict[int, object]:
    """The values that comments show, by the line they end: comments that are literals."""
    shown = {}
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        if token.type != tokenize.COMMENT:
            continue
        try:
            value = ast.literal_eval(token.string[1:].strip())
        except (ValueError, SyntaxError):
            continue
        if "..." not in token.string:
            shown[token.start[0]] = value
    return shown


def run_python(code: str, name: str, first_line: int, namespace: dict[str, object]) -> None:
    shown = shown_values(code)
    for statement in ast.parse(code).body:
        where = f"{name} line {first_line + statement.lineno - 1}"
        if isinstance(statement, ast.Expr) and statement.end_lineno in shown:
            value = eval(compile(ast.Expression(statement.value), where, "eval"), namespace)
            expected = shown[statement.end_lineno]
            if value != expected:
                raise SystemExit(f"{where}: gave {value!r}, {name} shows {expected!r}")
        else:
            exec(compile(ast.Module([statement], type_ignores=[]), where, "exec"), namespace)


def run_shell(session: str, name: str, first_line: int) -> None:
    """Runs each `$ ` line with bash and compares its output with the lines after it."""
    steps: list[tuple[int, str, list[str]]] = []
    for offset, line in enumerate(session.splitlines()):
        if line.startswith("$ "):
            steps.append((first_line + offset, line[2:], []))
        elif steps:
            steps[-1][2].append(line + "\n")
    for number, command, output in steps:
        result = subprocess.run(["bash", "-c", command], capture_output=True, text=True)
        if result.returncode != 0 or result.stdout != "".join(output):
            raise SystemExit(
                f"{name} line {number}: {command!r} exited {result.returncode} and printed "
                f"{result.stdout!r} (stderr {result.stderr!r}), {name} shows {''.join(output)!r}"
            )


def run_page(path: Path) -> None:
    """Runs the marked blocks of one page, in a namespace of its own."""
    name = str(path)
    blocks = marked_blocks(path.read_text(encoding="utf-8"), name)
    namespace: dict[str, object] = {"__name__": "__readme__"}
    skipped = []
    for block in blocks:
        missing = [module for module in block.needs if importlib.util.find_spec(module) is None]
        if missing:
            skipped.append(f"line {block.first_line} needs {', '.join(missing)}")
        elif block.language == "python":
            run_python(block.code, name, block.first_line, namespace)
        else:
            run_shell(block.code, name, block.first_line)
    import morfex

    ran = len(blocks) - len(skipped)
    print(f"{ran} examples of {name} ran with {Path(morfex.__file__).parent}"
          + "".join(f"; skipped {reason}" for reason in skipped))


def main() -> None:
    if len(sys.argv) < 2:
        raise SystemExit("usage: readme_usage.py PAGE.md ...")
    for page in sys.argv[1:]:
        run_page(Path(page))


if __name__ == "__main__":
    main()
