"""The README's Python snippets run as written (with this build's library in
place of build/example's) and print what the README says."""

import os
import re
import subprocess
import unittest

PROJECT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def section(heading):
    with open(os.path.join(PROJECT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return readme[readme.index(heading):]


def run_snippet(text):
    """Runs the first Python snippet of `text`; its completed process."""
    snippet = re.search(r"```sh\n(PYTHONPATH=python .*?\nEOF\n)```", text, re.S).group(1)
    snippet = snippet.replace("DFQ_LIBRARY=build/example/libdfq.so",
                              "DFQ_LIBRARY=" + os.environ["DFQ_LIBRARY"])
    env = {k: v for k, v in os.environ.items() if k not in ("DFQ_LIBRARY", "PYTHONPATH")}
    return subprocess.run(["bash", "-c", snippet], cwd=PROJECT, env=env, capture_output=True,
                          text=True)


class ReadmeTest(unittest.TestCase):
    def test_python_snippet(self):
        run = run_snippet(section("## Python binding"))
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        self.assertRegex(lines[0], r'^<Frame aggregate "work"\."aggregate_4" \(node \d+\)>$')
        self.assertEqual(lines[-3:], ["['region', 'revenue']", "('South', 624.0)",
                                      "('North', 300.0)"])

    def test_one_pipeline_on_sqlite_and_postgresql(self):
        text = section("### One pipeline on every dialect")
        printed = re.search(r"prints the same rows:\n\n```\n(.*?)```", text, re.S).group(1)
        expected = printed.splitlines()
        if not os.environ.get("DFQ_PG_CONNINFO"):
            expected = [line for line in expected if line.startswith("sqlite ")]
        run = run_snippet(text)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.splitlines(), expected)


if __name__ == "__main__":
    unittest.main()
