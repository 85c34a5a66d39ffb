"""Deep input, hostile input and reference leaks: nothing may crash the interpreter."""

import signal
import subprocess
import sys

import pytest

from conftest import chain, chain_depth
import vext
from vext_py import diff_trees

MAX_DEPTH = 200_000


class TestDepth:
    def test_deepest_allowed_tree_diffs(self):
        a = chain(MAX_DEPTH, "x")
        b = chain(MAX_DEPTH, "y")
        assert diff_trees(a, b) == [{"kind": "Modified", "elem_type": "n", "id": ""}]
        assert diff_trees(a, a) == []

    def test_one_level_deeper_raises_recursion_error(self):
        with pytest.raises(RecursionError):
            diff_trees(chain(MAX_DEPTH + 1), {})
        with pytest.raises(RecursionError):
            diff_trees({}, chain(MAX_DEPTH + 1))

    def test_empty_children_list_does_not_count_as_a_level(self):
        tree = chain(MAX_DEPTH)
        leaf = tree
        while leaf.get("children"):
            leaf = leaf["children"][0]
        leaf["children"] = []
        assert diff_trees(tree, tree) == []
        assert chain_depth(tree) == MAX_DEPTH


class Hostile(str):
    """A key equal to one of the tree keys, whose comparison runs user code."""

    def __new__(cls, text, action):
        self = super().__new__(cls, text)
        self.action = action
        return self

    __hash__ = str.__hash__

    def __eq__(self, other):
        self.action()
        return str.__eq__(self, other)


class TestHostileInput:
    def test_key_comparison_error_propagates(self):
        def boom():
            raise ValueError("boom")

        tree = {Hostile("kind", boom): "x"}
        with pytest.raises(ValueError, match="boom"):
            diff_trees(tree, {})

    def test_key_clearing_its_own_dict(self):
        tree = {"kind": "k", "children": [{"kind": "c", "identity": "1"}], "attributes": {"a": "b"}}
        tree[Hostile("text", tree.clear)] = "t"
        result = diff_trees(tree, {})
        assert isinstance(result, list)

    def test_key_clearing_the_parent_children_list(self):
        siblings = [{"kind": "a", "identity": str(i)} for i in range(50)]
        first = {"kind": "first"}
        first[Hostile("label", siblings.clear)] = "x"
        siblings.insert(0, first)
        parent = {"children": siblings}
        # The list is emptied while its first item is read; the rest are never seen.
        assert diff_trees(parent, {}) == [{"kind": "Modified", "elem_type": "root", "id": ""}]

    def test_key_replacing_values_mid_conversion(self):
        tree = {"identity": "keep", "children": [{"kind": "x", "identity": "1"}]}

        def swap():
            tree["children"] = None
            tree["identity"] = 12

        tree[Hostile("label", swap)] = "x"
        # The identity was read before the swap, the children after it.
        assert diff_trees(tree, {"identity": "keep"}) == []
        with pytest.raises(TypeError, match="'int'"):
            diff_trees(tree, {})

    def test_signal_handler_emptying_a_list_mid_conversion(self):
        # Conversions run signal handlers every few thousand nodes; one that
        # empties the list being read cuts the conversion short, never more.
        items = [{"kind": "p", "text": str(i)} for i in range(100_000)]
        tree = {"kind": "doc", "children": list(items)}
        previous = signal.signal(signal.SIGALRM, lambda *_: tree["children"].clear())
        try:
            for _ in range(20):
                tree["children"][:] = items
                signal.setitimer(signal.ITIMER_REAL, 0.0005)
                assert diff_trees(tree, {"kind": "doc"}) in ([], [{"kind": "Modified", "elem_type": "doc", "id": ""}])
                vext.diff(tree, {"kind": "doc"})
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)


def run_with_sub_interpreter(before, sub, after):
    """Runs `before`, `sub` in a sub-interpreter, then `after` in a fresh
    interpreter; `rc` is what the sub-interpreter returned (0, or -1 after
    printing its exception)."""
    code = f"import sys, _testcapi\n{before}\nrc = _testcapi.run_in_subinterp({sub!r})\n{after}"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("this interpreter has no _testcapi")
    return result


def test_import_in_a_sub_interpreter_is_refused():
    result = run_with_sub_interpreter("import vext_py", "import vext_py", "print('rc', rc)")
    assert "rc -1" in result.stdout
    assert "ImportError" in result.stderr and "sub-interpreters" in result.stderr


def test_core_keeps_its_state_per_module():
    # vext._core keeps what it creates in the module's own state: another
    # interpreter gets a module of its own, and so does an import after the
    # module was dropped.
    sub = (
        "from vext import _core\n"
        "assert _core.merge_files(b'{}', b'{}', b'[]') == (b'[]', [])\n"
        "assert _core.diff({'kind': 'a'}, {'kind': 'b'})[0][0] == 'update'\n"
        "try:\n    _core.read_file(b'[')\nexcept _core.FormatError:\n    pass\n"
    )
    after = (
        "del sys.modules['vext._core'], sys.modules['vext'], _core\n"
        "from vext import _core\n"
        "assert _core.FormatError is not first and _core.read_file(b'[1]')['kind'] == 'array'\n"
        "print('rc', rc)\n"
    )
    result = run_with_sub_interpreter("from vext import _core\nfirst = _core.FormatError", sub, after)
    assert (result.stdout, result.stderr) == ("rc 0\n", "")
