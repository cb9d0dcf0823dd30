"""What every hotpsim test does: run hotpsim and read what it printed.

A test module imports what it needs and ends with `hotpsim_cli.main()`, which takes hotpsim's path
from the command line (the first argument, as ctest passes it) and runs the module's tests."""
import json
import os
import sys
import tempfile
import unittest
import subprocess

HOTPSIM = None


def run(*arguments, timeout=120):
    result = subprocess.run([HOTPSIM, *arguments], capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout, result.stderr


def events(*arguments):
    """--json: each line as an object."""
    code, out, err = run("--json", *arguments)
    return code, [json.loads(line) for line in out.splitlines()], err


def lines_of(output, kind):
    """The story's lines of one kind ("trace", "note", ...), without the kind."""
    prefix = kind + " "
    return [line.strip()[len(prefix):].strip() for line in output.splitlines()
            if line.strip().startswith(prefix)]


def scenario_file(text):
    """A file holding `text`, removed when the tests end."""
    file = tempfile.NamedTemporaryFile("w", suffix=".toml", delete=False)
    file.write(text)
    file.close()
    _written.append(file.name)
    return file.name


_written = []


def main():
    global HOTPSIM
    HOTPSIM = sys.argv.pop(1)
    try:
        unittest.main()
    finally:
        for name in _written:
            if os.path.exists(name):
                os.unlink(name)
