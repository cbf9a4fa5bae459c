"""Builds the platform wheel: the package with libcpclient.so.1 inside it, offline.

usage: build_wheel.py LIBRARY VERSION WHEEL_DIR

Stages a copy of this folder in a temporary one (the source tree stays clean, and builds
running side by side do not meet), puts the library (its file, not the link) in the staged
package and VERSION in version.txt, then runs this interpreter's pip wheel with its
setuptools and wheel, nothing from the network. Prints the wheel's path.
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def build(library: str, version: str, wheel_dir: str) -> str:
    os.makedirs(wheel_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="cpclient-wheel-") as stage:
        for name in ("pyproject.toml", "setup.py"):
            shutil.copy(os.path.join(HERE, name), stage)
        # _location.py is cmake --install's; a wheel finds its library inside the package.
        shutil.copytree(os.path.join(HERE, "cpclient"), os.path.join(stage, "cpclient"),
                        ignore=shutil.ignore_patterns("__pycache__", "_location.py", "*.so*"))
        shutil.copyfile(library, os.path.join(stage, "cpclient", "libcpclient.so.1"))
        with open(os.path.join(stage, "version.txt"), "w", encoding="utf-8") as file:
            file.write(version + "\n")
        before = set(os.listdir(wheel_dir))
        subprocess.run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-index",
                        "--no-deps", "--wheel-dir", wheel_dir, stage], check=True,
                       env={**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_CACHE_DIR": "1"})
    made = [name for name in os.listdir(wheel_dir) if name.startswith(f"cpclient-{version}-")]
    newest = max(made, key=lambda name: (name not in before, os.path.getmtime(os.path.join(wheel_dir, name))))
    return os.path.join(wheel_dir, newest)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__.split("\n\n")[1])
    print(build(*sys.argv[1:]))
