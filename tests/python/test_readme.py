import doctest
import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def test_readme_examples_run():
    blocks = re.findall(r"```pycon\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for i, block in enumerate(blocks):
        runner.run(parser.get_doctest(block, {}, f"README block {i}", str(README), 0))
    assert runner.summarize(verbose=False).failed == 0
