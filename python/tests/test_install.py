"""`pip install ./python`, offline: the installed package works from any
folder, with the library installed inside it (DFQ_LIBRARY at install time)
or named by DFQ_LIBRARY at run time."""

import os
import subprocess
import sys
import tempfile
import unittest

PROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")

PROBE = """
import dfq
with dfq.Dag() as dag:
    print(dfq.__file__)
    print(dfq._native.library_path())
    print(dag.table("sales").filter("amount > 1").sql()[0].sql)
"""


def has_pip():
    return subprocess.run([sys.executable, "-m", "pip", "--version"],
                          capture_output=True).returncode == 0


@unittest.skipUnless(has_pip(), "no pip for %s" % sys.executable)
@unittest.skipUnless(os.environ.get("DFQ_LIBRARY"), "DFQ_LIBRARY names no built library")
class InstallTest(unittest.TestCase):
    def setUp(self):
        self.library = os.environ["DFQ_LIBRARY"]
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)

    def install(self, **env):
        target = os.path.join(self.work.name, "site")
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-index",
                        "--no-build-isolation", "--no-cache-dir", "--target", target, PROJECT],
                       check=True, env=self.env(PIP_ROOT_USER_ACTION="ignore", **env))
        return target

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DFQ_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
        env.update(extra)
        return env

    def probe(self, target, **env):
        return subprocess.run([sys.executable, "-c", PROBE], cwd=self.work.name,
                              capture_output=True, text=True,
                              env=self.env(PYTHONPATH=target, **env))

    def test_the_library_installed_inside_the_package(self):
        target = self.install(DFQ_LIBRARY=self.library)
        run = self.probe(target)
        self.assertEqual(run.returncode, 0, run.stderr)
        module, library, sql = run.stdout.splitlines()
        self.assertEqual(module, os.path.join(target, "dfq", "__init__.py"))
        self.assertEqual(library, os.path.join(target, "dfq", "libdfq.so.1"))
        self.assertEqual(sql, "select * from sales where amount > 1")

    def test_without_a_library_dfq_library_names_it(self):
        target = self.install()
        package = os.listdir(os.path.join(target, "dfq"))
        self.assertFalse(any(n.startswith("libdfq") for n in package))
        run = self.probe(target)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("set DFQ_LIBRARY to the path of libdfq.so", run.stderr)
        run = self.probe(target, DFQ_LIBRARY=self.library)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.splitlines()[1], self.library)


if __name__ == "__main__":
    unittest.main()
