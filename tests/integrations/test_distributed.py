"""The Parquet examples on a local Ray, Dask and Spark: every row's ids as a local run gives them.

Each example runs in a process group of its own with a time limit; the group
is killed on every path, so no worker outlives its test.
"""

import collections
import importlib.resources
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import morfex
from morfex.formats.files import DEFAULT_MODEL

pyarrow = pytest.importorskip("pyarrow")
parquet = pytest.importorskip("pyarrow.parquet")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
LINES = (Path(__file__).resolve().parents[1] / "data" / "polish_text.txt").read_text(encoding="utf-8").splitlines()
# Start-up dominates (Ray and Spark take tens of seconds on a loaded machine).
TIME_LIMIT = 300


def run_in_own_group(command, time_limit):
    """Runs `command` in a new session and kills the whole group when it ends or overruns."""
    env = {**os.environ, "RAY_USAGE_STATS_ENABLED": "0"}
    process = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True, env=env, text=True
    )
    try:
        output, _ = process.communicate(timeout=time_limit)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        pytest.fail(f"{command[1]} ran over {time_limit} s:\n{output[-4000:]}")
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    assert process.returncode == 0, output[-4000:]


def shipped_model_path():
    with importlib.resources.as_file(importlib.resources.files("morfex") / "data" / DEFAULT_MODEL) as path:
        return str(path)


@pytest.mark.parametrize(
    ("example", "needs", "options"),
    [
        ("ray_parquet.py", "ray.data", ["--model", shipped_model_path()]),
        ("dask_parquet.py", "dask.dataframe", []),
        ("spark_parquet.py", "pyspark.sql", []),
    ],
    ids=["ray", "dask", "spark"],
)
def test_the_example_tokenizes_every_row_as_a_local_run(tmp_path, example, needs, options):
    pytest.importorskip(needs)
    source = tmp_path / "texts"
    source.mkdir()
    # Four files of several row groups each, with an empty text, so that both workers get blocks.
    for part in range(4):
        rows = [f"{part}: {line}" for line in LINES] + [""]
        parquet.write_table(pyarrow.table({"text": rows}), source / f"part-{part}.parquet", row_group_size=16)
    target = tmp_path / "ids"
    run_in_own_group([sys.executable, str(EXAMPLES / example), str(source), str(target), *options], TIME_LIMIT)

    result = parquet.read_table(target).to_pydict()
    tokenizer = morfex.default_model()
    texts = parquet.read_table(source).column("text").to_pylist()
    expected = collections.Counter((text, tuple(tokenizer.encode_text(text))) for text in texts)
    assert collections.Counter(zip(result["text"], map(tuple, result["ids"]))) == expected
    assert result["tokens"] == [len(ids) for ids in result["ids"]]


def test_an_example_that_overruns_is_killed_with_every_process_it_started(tmp_path):
    pid_file = tmp_path / "grandchild"
    # A child that starts a grandchild, then both outlive the limit.
    script = (
        "import subprocess, sys, time\n"
        "child = subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(60)'])\n"
        f"open({str(pid_file)!r}, 'w').write(str(child.pid))\n"
        "time.sleep(60)\n"
    )
    with pytest.raises(pytest.fail.Exception, match="ran over 5 s"):
        run_in_own_group([sys.executable, "-c", script], 5)
    grandchild = int(pid_file.read_text())
    # Killed, and reaped by init or soon to be: it is gone or a zombie.
    status = Path(f"/proc/{grandchild}/stat")
    assert not status.exists() or status.read_text().split(") ")[1].startswith("Z")
