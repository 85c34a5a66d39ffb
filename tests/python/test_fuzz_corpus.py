"""Replays the saved inputs of the module fuzzer (fuzz/corpus/module): the
minimised corpus and the inputs of every finding, each a regression test."""

import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parents[2] / "fuzz"
sys.path.insert(0, str(FUZZ))
import module_fuzz  # noqa: E402

CORPUS = sorted((FUZZ / "corpus" / "module").iterdir())


def test_corpus_is_there():
    assert len(CORPUS) > 10


@pytest.mark.parametrize("chunk", range(8))
def test_corpus_replays_cleanly(chunk):
    for path in CORPUS[chunk::8]:
        module_fuzz.one_input(path.read_bytes())
