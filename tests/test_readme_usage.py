"""The examples checker runs only the marked examples, each page in a
namespace of its own, and fails on any whose shown value or output differs;
and every marked example of the README and the docs pages holds."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CHECKER = ROOT / "scripts" / "readme_usage.py"
MARK = "<!-- checked by scripts/readme_usage.py -->"


def check(*pages: Path, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    # The shell sessions call the morfex command installed beside this interpreter.
    path = f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"
    return subprocess.run([sys.executable, CHECKER, *pages], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, "PATH": path})


@pytest.mark.parametrize(
    "language, code, status, output",
    [
        ("python", "x = 2\nx + 1  # 3\n", 0, "1 examples of README.md ran"),
        ("python", "x = 2\nx + 1  # 4\n", 1, "README.md line 6: gave 3, README.md shows 4"),
        ("python", "[1]  # [...]: not a value to compare\nx = [1]  # 2\n", 0, "1 examples of"),
        ("python", "1 / 0\n", 1, "ZeroDivisionError"),
        ("sh", "$ echo hi\nhi\n$ printf 'a\\nb\\n'\na\nb\n", 0, "1 examples of"),
        ("sh", "$ echo hi\nho\n", 1, "README.md line 5: 'echo hi' exited 0 and printed 'hi\\n'"),
        ("sh", "$ false\n", 1, "README.md line 5: 'false' exited 1"),
    ],
)
def test_marked_examples_run_and_their_results_are_compared(tmp_path, language, code, status, output):
    readme = tmp_path / "README.md"
    unmarked = "```python\nraise SystemExit('an unmarked block ran')\n```\n"
    readme.write_text(f"# t\n\n{MARK}\n```{language}\n{code}```\n\n{unmarked}", encoding="utf-8")
    result = check(Path("README.md"), cwd=tmp_path)
    assert result.returncode == status, result.stderr
    assert output in (result.stdout + result.stderr)


@pytest.mark.parametrize("text", [f"{MARK}\ntext\n", f"{MARK}\n"])
def test_a_mark_must_stand_before_a_code_block(tmp_path, text):
    page = tmp_path / "page.md"
    page.write_text(text, encoding="utf-8")
    result = check(page)
    assert result.stderr == f"{page} line 1: the mark is not followed by a code block\n"


def test_each_page_runs_in_a_namespace_of_its_own(tmp_path):
    first, second = tmp_path / "first.md", tmp_path / "second.md"
    first.write_text(f"{MARK}\n```python\nx = 1\n```\n{MARK}\n```python\nx  # 1\n```\n", encoding="utf-8")
    second.write_text(f"{MARK}\n```python\nx\n```\n", encoding="utf-8")
    result = check(first, second)
    assert result.returncode == 1
    assert f"2 examples of {first} ran" in result.stdout
    assert f'File "{second} line 3"' in result.stderr and "NameError: name 'x' is not defined" in result.stderr


def test_a_block_whose_module_is_missing_is_skipped_and_said_so(tmp_path):
    page = tmp_path / "page.md"
    needs = "<!-- checked by scripts/readme_usage.py, needs json no_such_module_here -->"
    page.write_text(f"{needs}\n```python\n1  # 2\n```\n{MARK}\n```python\n1  # 1\n```\n", encoding="utf-8")
    result = check(page)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"1 examples of {page} ran with ")
    assert result.stdout.endswith("; skipped line 3 needs no_such_module_here\n")


def test_the_readme_and_docs_examples_hold(tmp_path):
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    result = check(*pages, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    # The test extra is installed wherever the tests run; only the
    # integrations extra may be missing (it is installed on one version).
    missing = set(re.findall(r"; skipped line \d+ needs ([\w.]+)", result.stdout))
    assert missing <= {"pyarrow", "pandas", "ray", "dask", "pyspark", "datasets"}, result.stdout
