"""Every ```python block of the README and docs/reference.md runs against the built module.

The blocks of one file run in order in one namespace (later blocks use names of earlier
ones), in a fresh working directory, so that the documentation cannot drift from the code.
Blocks fenced otherwise (```text, ```bash) are not run.
"""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BLOCK = re.compile(r"^```python\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize("name", ["README.md", "docs/reference.md"])
def test_every_python_block_runs(name, tmp_path, monkeypatch):
    path = ROOT / name
    text = path.read_text(encoding="utf-8")
    blocks = [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in BLOCK.finditer(text)]
    assert blocks, f"{name} has no python block"
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__docs__"}
    for line, code in blocks:
        # Padding keeps the file's line numbers in tracebacks.
        compiled = compile("\n" * (line - 1) + code, str(path), "exec")
        try:
            exec(compiled, namespace)
        except KeyboardInterrupt:
            raise
        except BaseException as err:  # PanicException derives from BaseException
            first = code.strip().splitlines()[0]
            pytest.fail(f"{name}, block at line {line} ({first!r}): "
                        f"{type(err).__name__}: {err}")
