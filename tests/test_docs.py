# The examples and every ```python block of the README and docs/reference.md run against
# the built module, so that neither can drift from the code.
import importlib
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BLOCK = re.compile(r"^```python\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize("name", ["README.md", "docs/reference.md"])
def test_every_python_block_runs(name, tmp_path, monkeypatch):
    # The blocks of one file run in order in one namespace, in a fresh folder; the
    # padding keeps the file's line numbers in tracebacks.
    text = (ROOT / name).read_text(encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__docs__"}
    blocks = list(BLOCK.finditer(text))
    assert blocks, f"{name} has no python block"
    for match in blocks:
        line = text.count("\n", 0, match.start(1))
        exec(compile("\n" * line + match.group(1), str(ROOT / name), "exec"), namespace)


@pytest.mark.parametrize("argv", [
    "demo --stations 4 --threads 3 --chunk 1 --no-progress",
    "dask_threads --stations 5 --threads 4 --chunk 2",
    "dask_distributed --stations 3 --workers 2 --chunk 2 --timeout 180",
    "study_figures corners"])
def test_example_runs(argv, tmp_path, monkeypatch):
    # The dask examples stop unless their records are those of a single thread, byte for byte.
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(str(ROOT / "examples"))
    name, *args = argv.split()
    importlib.import_module(name).main(args)
    assert name != "demo" or (tmp_path / "demo.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
