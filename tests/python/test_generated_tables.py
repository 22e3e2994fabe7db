"""The committed Unicode tables are exactly what their generators write today."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UNICODE_DIR = os.path.join(ROOT, "src", "unicode")
UCD_DIR = "/usr/share/unicode"
UNICODE_VERSION = "15.0.0"


def python_with_unicode_data():
    """A Python whose unicodedata is the tables' version (CPython 3.12), or None."""
    pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates = [sys.executable, shutil.which("python3.12"),
                  *sorted(glob.glob(os.path.join(pyenv, "versions", "3.12*", "bin", "python3")))]
    for python in filter(None, candidates):
        probe = subprocess.run([python, "-c", "import unicodedata; print(unicodedata.unidata_version)"],
                               capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == UNICODE_VERSION:
            return python
    return None


def ucd_version():
    try:
        with open(os.path.join(UCD_DIR, "DerivedCoreProperties.txt"), encoding="utf-8") as f:
            return f.readline().strip()
    except OSError:
        return "absent"


def test_generated_tables_are_current(tmp_path):
    python = python_with_unicode_data()
    if python is None:
        pytest.skip(f"no Python with unicodedata {UNICODE_VERSION} (CPython 3.12) to run the generators")
    if UNICODE_VERSION not in ucd_version():
        pytest.skip(f"{UCD_DIR} is not the Unicode {UNICODE_VERSION} database (Debian: unicode-data)")
    # Each generator writes beside itself: run copies in a scratch folder, all at once.
    for script in glob.glob(os.path.join(UNICODE_DIR, "*.py")):
        shutil.copy(script, tmp_path)
    generators = sorted(glob.glob(str(tmp_path / "gen_*.py")))
    assert generators
    runs = [subprocess.Popen([python, g], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            for g in generators]
    for g, run in zip(generators, runs):
        output = run.communicate()[0]
        assert run.returncode == 0, f"{os.path.basename(g)} failed:\n{output}"
    written = sorted(p.name for p in tmp_path.iterdir() if p.is_file() and p.suffix != ".py")
    assert written
    for name in written:
        with open(tmp_path / name, "rb") as fresh, open(os.path.join(UNICODE_DIR, name), "rb") as committed:
            assert fresh.read() == committed.read(), f"src/unicode/{name} differs from its generator's output"
