import ast
import re
import subprocess
import sys
import textwrap

import pytest

# Runs inside a sub-interpreter: it records how `import _morfex` ended there, as
# one repr'd tuple per line, since no object can be handed back to the caller.
SUB_SCRIPT = """
try:
    import _morfex
except BaseException as error:
    outcome = (type(error).__module__, type(error).__qualname__, str(error))
else:
    outcome = ("ok", _morfex.CoreBPE({{"a": 1, "b": 2, "ab": 3}}, [("a", "b")]).encode("abb"))
with open({path!r}, "a") as results:
    results.write(repr(outcome) + "\\n")
"""

# Runs in a fresh process. The private module that creates sub-interpreters differs
# between 3.12 and 3.13, and so does the way each names a configuration.
DRIVER = """
import sys

if sys.version_info >= (3, 13):
    import _interpreters

    def create(config):
        return _interpreters.create(config)

    def run(interp, code):
        failure = _interpreters.exec(interp, code)
        assert failure is None, failure

    destroy = _interpreters.destroy
else:
    import _xxsubinterpreters

    def create(config):
        return _xxsubinterpreters.create(isolated=config == "isolated")

    def run(interp, code):
        _xxsubinterpreters.run_string(interp, code)

    destroy = _xxsubinterpreters.destroy


def main_import():
    try:
        import _morfex
    except BaseException as error:
        return (type(error).__module__, type(error).__qualname__, str(error))
    return ("ok", _morfex.CoreBPE({"a": 1, "b": 2, "ab": 3}, [("a", "b")]).encode("abb"))

"""

UNSUPPORTED = re.compile(r"sub-?interpreters?", re.IGNORECASE)
ENCODED = ("ok", [3, 2])


def run_driver(body, tmp_path):
    path = tmp_path / "outcomes.txt"
    script = DRIVER + "SUB = " + repr(SUB_SCRIPT.format(path=str(path))) + "\n"
    script += textwrap.dedent(body)
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    sub_outcomes = [ast.literal_eval(line) for line in path.read_text().splitlines()]
    main_outcomes = [ast.literal_eval(line) for line in result.stdout.splitlines()]
    return sub_outcomes, main_outcomes


def assert_refused(outcome):
    module, name, message = outcome
    assert (module, name) == ("builtins", "ImportError"), outcome
    assert UNSUPPORTED.search(message), message


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_import_refused_after_main_interpreter(config, tmp_path):
    sub, main = run_driver(f"""
        print(repr(main_import()))
        interp = create({config!r})
        run(interp, SUB)
        run(interp, SUB)
        destroy(interp)
        other = create({config!r})
        run(other, SUB)
        destroy(other)
        print(repr(main_import()))
        import _morfex
        first = _morfex
        del sys.modules["_morfex"]
        import _morfex
        print(repr((_morfex is first, _morfex.__all__)))
    """, tmp_path)
    assert len(sub) == 3
    for outcome in sub:
        assert_refused(outcome)
    assert main == [ENCODED, ENCODED, (True, ["CoreBPE"])]


# 3.13 runs a single-phase init function with the main interpreter active before
# it turns back to the importing sub-interpreter; 3.12 runs it in the
# sub-interpreter, and an isolated one refuses the module only afterwards.
INIT_RUNS_IN_MAIN_FIRST = sys.version_info >= (3, 13)


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_first_interpreter_to_run_init_owns_the_module(config, tmp_path):
    sub, main = run_driver(f"""
        interp = create({config!r})
        run(interp, SUB)
        print(repr(main_import()))
        run(interp, SUB)
        print(repr(main_import()))
        destroy(interp)
        print(repr(main_import()))
    """, tmp_path)
    assert len(sub) == 2 and len(main) == 3
    if INIT_RUNS_IN_MAIN_FIRST:
        refused, owned = sub, main
    elif config == "legacy":
        refused, owned = main, sub
    else:
        refused, owned = sub + main, []
    for outcome in refused:
        assert_refused(outcome)
    assert owned == [ENCODED] * len(owned)
