import doctest
import re
from pathlib import Path

import pytest

import vext_py

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```pycon\n(.*?)```", README.read_text(encoding="utf-8"), re.S)

# Module attributes that some builds do not have yet; a block using one is skipped there.
PENDING = ("merge_trees", "Repo")


def test_readme_has_examples():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example_runs(index):
    block = BLOCKS[index]
    missing = [name for name in PENDING if re.search(rf"\b{name}\b", block) and not hasattr(vext_py, name)]
    if missing:
        pytest.skip(f"vext_py has no {' or '.join(missing)} yet")
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(parser.get_doctest(block, {}, f"README block {index}", str(README), 0))
    assert runner.summarize(verbose=False).failed == 0
