"""`python -m morfex` and the `morfex` command.

The command line is imported inside main, so that a Ctrl-C while numpy and
the engine load ends the run in one line, as it does later.
"""

import sys

# What cli.EXIT_INTERRUPTED is, known before cli can be imported.
EXIT_INTERRUPTED = 130


def main() -> int:
    try:
        from morfex.cli import main as run
    except KeyboardInterrupt:
        print("morfex: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return run()


if __name__ == "__main__":
    raise SystemExit(main())
