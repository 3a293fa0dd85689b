"""The installed type information: stubs that match the extension, and an
example program that `mypy --strict` accepts (and a wrong one it rejects)."""

import importlib.util
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _vrim
import vrim

pytest.importorskip("mypy")

EXAMPLE = Path(__file__).resolve().parent.parent / "typing" / "example.py"


def mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), *args],
        capture_output=True, text=True, cwd=tmp_path, timeout=600)


def test_stubs_match_the_extension_and_package(tmp_path):
    # Names, classes, members and signatures of the stub against the
    # imported module; the package's __all__ against the runtime one.
    # vrim.__main__ runs the command line when imported; vrim.dask needs the
    # optional dask extra and is checked only where it is installed.
    config = tmp_path / "mypy.ini"
    allowlist = tmp_path / "allowlist.txt"
    ignored = ["vrim\\.__main__"]
    config.write_text("[mypy]\n")
    if importlib.util.find_spec("dask") is None:
        config.write_text("[mypy]\n[mypy-vrim.dask]\nignore_errors = True\n")
        ignored.append("vrim\\.dask")
    allowlist.write_text("\n".join(ignored) + "\n")
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
         "--allowlist", str(allowlist), "_vrim", "vrim"],
        capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr


def test_package_exports_every_native_name():
    assert set(_vrim.__all__) <= set(vrim.__all__)
    assert all(hasattr(vrim, name) for name in vrim.__all__)


def test_stubs_are_installed_where_checkers_look():
    site = Path(_vrim.__file__).parent
    assert (site / "_vrim.pyi").is_file()
    assert (site / "_vrim-stubs" / "__init__.pyi").is_file()
    assert (Path(vrim.__file__).parent / "py.typed").is_file()


def test_example_program_passes_mypy_strict_and_runs(tmp_path):
    run = mypy(tmp_path, "--strict", str(EXAMPLE))
    assert run.returncode == 0, run.stdout + run.stderr
    ran = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True,
                         text=True, timeout=120)
    assert ran.returncode == 0, ran.stderr


def test_mypy_reports_wrong_uses(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(textwrap.dedent("""\
        import vrim
        index = vrim.IndexBuilder("en").build()
        index.search(42)
        index.to_bytes(False)
        vrim.Index.from_bytes("text")
        name: int = index.search("x")[0].ref
        index.add({"id": "a"})
        index.search("x", limit="3")
        """))
    run = mypy(tmp_path, "--strict", wrong.name)
    assert run.returncode == 1
    flagged = {int(line.split(":")[1]) for line in run.stdout.splitlines()
               if line.startswith("wrong.py:") and ": error:" in line}
    assert flagged == {3, 4, 5, 6, 7, 8}, run.stdout


def test_example_program_uses_every_public_name():
    import ast
    tree = ast.parse(EXAMPLE.read_text(encoding="utf-8"))
    used = {node.attr for node in ast.walk(tree)
            if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
            and node.value.id == "vrim"}
    assert set(vrim.__all__) - used == set()
