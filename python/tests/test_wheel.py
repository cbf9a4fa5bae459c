"""The platform wheel: built from this build's library, installed into a new virtual environment, run from there."""

import json
import os
import subprocess
import sysconfig
import tempfile
import unittest
import zipfile

from cpclient import testing

PYTHON = os.environ.get("CPCLIENT_WHEEL_PYTHON", "/usr/bin/python3")  # Debian's: pip, setuptools, wheel, venv
# Nothing points the venv's interpreter at the build or the sources.
ENV = {k: v for k, v in os.environ.items() if k not in ("CPCLIENT_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
ENV.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_CACHE_DIR="1", PIP_ROOT_USER_ACTION="ignore")
PROVIDER = """import cpclient
p = cpclient.Provider()
p.group("Library", 1)(lambda request: [(cpclient._native.loaded_path(), cpclient.__file__)])
raise SystemExit(0 if p.run() == "shutdown" else 1)"""


@unittest.skipUnless(os.environ.get("CPCLIENT_VERSION"), "CPCLIENT_VERSION gives the build's version")
class Wheel(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="cpclient-wheel-test-")
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.wheel = subprocess.check_output([PYTHON, os.path.join(os.pardir, "build_wheel.py"), os.environ[
            "CPCLIENT_LIBRARY"], os.environ["CPCLIENT_VERSION"], os.path.join(cls.tmp.name, "dist")], text=True).strip()
        cls.python = os.path.join(cls.tmp.name, "venv", "bin", "python")
        subprocess.run([PYTHON, "-m", "venv", os.path.join(cls.tmp.name, "venv")], check=True)
        subprocess.run([cls.python, "-m", "pip", "install", "-q", "--no-index", cls.wheel], check=True, env=ENV)
        cls.package = os.path.dirname(cls.venv_run("import cpclient; print(cpclient.__file__)").stdout.strip())
        cls.library = os.path.join(cls.package, "libcpclient.so.1")

    @classmethod
    def venv_run(cls, code):
        return subprocess.run([cls.python, "-c", code], cwd=cls.tmp.name, env=ENV, capture_output=True, text=True)

    def test_the_wheel_is_this_platforms_of_the_librarys_version_and_carries_the_library(self):
        platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
        self.assertEqual(f"cpclient-{os.environ['CPCLIENT_VERSION']}-py3-none-{platform}.whl",
                         os.path.basename(self.wheel))
        with zipfile.ZipFile(self.wheel) as wheel, open(os.environ["CPCLIENT_LIBRARY"], "rb") as library:
            self.assertEqual(library.read(), wheel.read("cpclient/libcpclient.so.1"))
        self.assertTrue(self.package.startswith(self.tmp.name + os.sep), self.package)

    def test_a_provider_from_the_venv_runs_under_agentemu_on_the_library_inside_the_package(self):
        run = subprocess.run([os.environ["CPCLIENT_AGENTEMU"], "--json", "--script", "/dev/stdin", "--", self.python,
                              "-c", PROVIDER], input="data Library id=d\nshutdown\n", cwd=self.tmp.name, env=ENV,
                             capture_output=True, text=True, timeout=60)
        talk = testing.Conversation([json.loads(line) for line in run.stdout.splitlines()], run.returncode, run.stderr)
        talk.assert_clean()
        talk.assert_rows([[self.library, os.path.join(self.package, "__init__.py")]], id="d")

    def test_without_the_library_inside_the_package_it_names_every_place_tried(self):
        os.rename(self.library, self.library + ".away")
        self.addCleanup(os.rename, self.library + ".away", self.library)
        run = self.venv_run("from cpclient import _native; _native.load()")
        if run.returncode == 0:
            self.skipTest("the system's loader finds an installed library")
        self.assertIn(f"tried:\n  inside the package: {self.library}: {self.library}: cannot open shared object "
                      "file: No such file or directory\n  the system's loader: libcpclient.so.1: ", run.stderr)


if __name__ == "__main__":
    unittest.main()
