"""The README checker runs only the marked examples and fails on any whose
shown value or output differs."""

import subprocess
import sys
from pathlib import Path

import pytest

CHECKER = Path(__file__).resolve().parent.parent / "scripts" / "readme_usage.py"
MARK = "<!-- checked by scripts/readme_usage.py -->"


@pytest.mark.parametrize(
    "language, code, status, output",
    [
        ("python", "x = 2\nx + 1  # 3\n", 0, "1 examples of"),
        ("python", "x = 2\nx + 1  # 4\n", 1, "README line 6: gave 3, the README shows 4"),
        ("python", "[1]  # [...]: not a value to compare\nx = [1]  # 2\n", 0, "1 examples of"),
        ("python", "1 / 0\n", 1, "ZeroDivisionError"),
        ("sh", "$ echo hi\nhi\n$ printf 'a\\nb\\n'\na\nb\n", 0, "1 examples of"),
        ("sh", "$ echo hi\nho\n", 1, "README line 5: 'echo hi' exited 0 and printed 'hi\\n'"),
        ("sh", "$ false\n", 1, "README line 5: 'false' exited 1"),
    ],
)
def test_marked_examples_run_and_their_results_are_compared(tmp_path, language, code, status, output):
    readme = tmp_path / "README.md"
    unmarked = "```python\nraise SystemExit('an unmarked block ran')\n```\n"
    readme.write_text(f"# t\n\n{MARK}\n```{language}\n{code}```\n\n{unmarked}", encoding="utf-8")
    result = subprocess.run([sys.executable, CHECKER, readme], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == status, result.stderr
    assert output in (result.stdout + result.stderr)


def test_a_mark_must_stand_before_a_code_block(tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text(f"{MARK}\ntext\n", encoding="utf-8")
    result = subprocess.run([sys.executable, CHECKER, readme], capture_output=True, text=True)
    assert result.stderr == "README line 1: the mark is not followed by a code block\n"
