"""The README's Python snippet runs as written (with this build's library in
place of build/example's) and prints what its comments say."""

import os
import re
import subprocess
import unittest

PROJECT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


class ReadmeTest(unittest.TestCase):
    def test_python_snippet(self):
        with open(os.path.join(PROJECT, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        section = readme[readme.index("## Python binding"):]
        snippet = re.search(r"```sh\n(PYTHONPATH=python .*?\nEOF\n)```", section, re.S).group(1)
        snippet = snippet.replace("DFQ_LIBRARY=build/example/libdfq.so",
                                  "DFQ_LIBRARY=" + os.environ["DFQ_LIBRARY"])
        env = {k: v for k, v in os.environ.items() if k not in ("DFQ_LIBRARY", "PYTHONPATH")}
        run = subprocess.run(["bash", "-c", snippet], cwd=PROJECT, env=env, capture_output=True,
                             text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        self.assertRegex(lines[0], r'^<Frame aggregate "work"\."aggregate_4" \(node \d+\)>$')
        self.assertEqual(lines[-3:], ["['region', 'revenue']", "('South', 624.0)",
                                      "('North', 300.0)"])


if __name__ == "__main__":
    unittest.main()
