"""Runs the usage examples of a README against the installed morfex: the
Python blocks marked to run, in order and in one namespace, where a line whose
comment is a Python literal must give that value; then the marked shell
session, whose commands must print what it shows. Usage: readme_usage.py README.md"""

import ast
import io
import subprocess
import sys
import tokenize
from pathlib import Path

MARK = "<!-- checked by scripts/readme_usage.py -->"


def marked_blocks(readme: str) -> list[tuple[str, str, int]]:
    """(language, code, line number of its first line) of each marked block."""
    lines = readme.splitlines(keepends=True)
    blocks = []
    for number, line in enumerate(lines):
        if line.strip() != MARK:
            continue
        fence = lines[number + 1]
        if not fence.startswith("```"):
            raise SystemExit(f"README line {number + 1}: the mark is not followed by a code block")
        end = next(i for i in range(number + 2, len(lines)) if lines[i].startswith("```"))
        blocks.append((fence[3:].strip(), "".join(lines[number + 2 : end]), number + 3))
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


def run_python(code: str, first_line: int, namespace: dict[str, object]) -> None:
    shown = shown_values(code)
    for statement in ast.parse(code).body:
        where = f"README line {first_line + statement.lineno - 1}"
        if isinstance(statement, ast.Expr) and statement.end_lineno in shown:
            value = eval(compile(ast.Expression(statement.value), where, "eval"), namespace)
            expected = shown[statement.end_lineno]
            if value != expected:
                raise SystemExit(f"{where}: gave {value!r}, the README shows {expected!r}")
        else:
            exec(compile(ast.Module([statement], type_ignores=[]), where, "exec"), namespace)


def run_shell(session: str, first_line: int) -> None:
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
                f"README line {number}: {command!r} exited {result.returncode} and printed "
                f"{result.stdout!r} (stderr {result.stderr!r}), the README shows {''.join(output)!r}"
            )


def main() -> None:
    readme = Path(sys.argv[1])
    blocks = marked_blocks(readme.read_text(encoding="utf-8"))
    namespace: dict[str, object] = {"__name__": "__readme__"}
    for language, code, first_line in blocks:
        if language == "python":
            run_python(code, first_line, namespace)
        else:
            run_shell(code, first_line)
    import morfex

    print(f"{len(blocks)} examples of {readme} ran with {Path(morfex.__file__).parent}")


if __name__ == "__main__":
    main()
