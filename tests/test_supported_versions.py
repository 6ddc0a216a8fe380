"""The Python versions the package declares are the ones CI runs: the classifiers, the
README's requirements and the test command's list agree, and the running one is among them."""

import pathlib
import re
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_declared_versions_are_the_tested_ones():
    classifiers = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["classifiers"]
    declared = {
        c.rpartition(" :: ")[2] for c in classifiers if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)
    }
    tested = set(re.search(r'^supported="([^"]+)"', (ROOT / "scripts/pythons.sh").read_text(), re.M)[1].split())
    readme = re.search(r"Supported: CPython ([^ ]+(?:, [^ ]+)* and [^ ]+) on", (ROOT / "README.md").read_text())[1]
    documented = set(re.split(r", | and ", readme))
    assert declared == tested == documented
    assert "{}.{}".format(*sys.version_info[:2]) in tested
