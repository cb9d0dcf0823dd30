"""The optimised hotpsim tells the same story as the unoptimised one, line for line.

Usage: test_release_output.py OPTIMISED_HOTPSIM UNOPTIMISED_HOTPSIM
Both play the built-in scenario, with the driver's trace at its most detailed level and without
the driver; every line of their output must be equal.
"""
import subprocess
import sys

RUNS = [["--trace-level", "4"], ["--no-filter"], ["--generate", "width=2,depth=31,buses=66"]]


def run(binary, arguments):
    result = subprocess.run([binary, *arguments], capture_output=True, text=True, timeout=300)
    return result.returncode, result.stdout.splitlines(), result.stderr


def main():
    optimised, unoptimised = sys.argv[1], sys.argv[2]
    failed = False
    for arguments in RUNS:
        code_o, out_o, err_o = run(optimised, arguments)
        code_u, out_u, err_u = run(unoptimised, arguments)
        name = " ".join(arguments)
        if code_o != code_u:
            print(f"{name}: exit code {code_o} optimised, {code_u} unoptimised\n{err_o}{err_u}")
            failed = True
        # Two builds that fail alike, or print nothing alike, prove nothing.
        if code_o != 0 or code_u != 0 or not out_o or not out_u:
            print(f"{name}: exit codes {code_o} and {code_u}, {len(out_o)} and {len(out_u)} lines"
                  f"\n{err_o}{err_u}")
            failed = True
        for number, (a, b) in enumerate(zip(out_o, out_u), start=1):
            if a != b:
                print(f"{name}: line {number} differs\n  optimised:   {a}\n  unoptimised: {b}")
                failed = True
                break
        else:
            if len(out_o) != len(out_u):
                print(f"{name}: {len(out_o)} lines optimised, {len(out_u)} unoptimised")
                failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
