import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```pycon\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example_runs(index):
    block = BLOCKS[index]
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(parser.get_doctest(block, {}, f"README block {index}", str(README), 0))
    assert runner.summarize(verbose=False).failed == 0
