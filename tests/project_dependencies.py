"""Prints requirements from pyproject.toml, one per line: the package's run-time ones, or
with --build what building it takes (scikit-build-core, and CMake and Ninja from PyPI),
so the test scripts can install them beside a build that pip did not make itself."""
import pathlib
import sys

try:
    import tomllib
except ImportError:  # Python before 3.11: pip carries the same parser
    from pip._vendor import tomli as tomllib

pyproject = tomllib.loads((pathlib.Path(__file__).parents[1] / "pyproject.toml").read_text())
if sys.argv[1:] == ["--build"]:
    requirements = pyproject["build-system"]["requires"] + ["cmake>=3.21", "ninja"]
else:
    requirements = pyproject["project"].get("dependencies", [])
for requirement in requirements:
    print(requirement)
