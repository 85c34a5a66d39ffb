import weakref

import pytest

import vext_py
from conftest import panic_type
from vext_py import Repo


DOC = {"kind": "doc", "children": [{"kind": "p", "identity": "1", "text": "one"}, {"kind": "p", "identity": "2", "text": "two"}]}


def with_text(tree, ident, text):
    out = {"kind": tree["kind"], "children": [dict(c) for c in tree["children"]]}
    for child in out["children"]:
        if child.get("identity") == ident:
            child["text"] = text
    return out


class TestType:
    def test_shape_of_the_class(self):
        repo = Repo()
        assert type(repo).__name__ == "Repo"
        assert not Repo.__doc__ and Repo.__text_signature__ == "()"
        assert [m for m in ("commit", "diff", "merge", "cherry_pick", "revert", "log", "tree_at") if hasattr(repo, m)] == [
            "commit", "diff", "merge", "cherry_pick", "revert", "log", "tree_at"]
        assert Repo.commit.__text_signature__ == "($self, message, parents, tree)"
        assert not hasattr(repo, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(repo)
        with pytest.raises(TypeError):
            type("Sub", (Repo,), {})

    def test_len_repr_and_truth(self):
        repo = Repo()
        assert (len(repo), repr(repo), bool(repo)) == (0, "Repo(commits=0)", False)
        repo.commit("init", [], DOC)
        assert (len(repo), repr(repo)) == (1, "Repo(commits=1)")

    def test_panic_exception_is_not_an_exception(self):
        panic = panic_type()
        assert panic.__name__ == "PanicException"
        assert panic.__bases__ == (BaseException,)
        assert not issubclass(panic, Exception)


class TestCommitAndRead:
    def test_same_commit_twice_in_a_second_is_one_commit(self):
        repo = Repo()
        first = repo.commit("m", [], DOC)
        assert repo.commit("m", [], DOC) == first
        assert len(repo) == 1
        assert 0 <= first < 2**64

    def test_tree_round_trip(self):
        repo = Repo()
        tree = {"kind": "doc", "identity": "d", "label": "L", "attributes": {"b": "1", "a": "2"},
                "children": [{"kind": "x", "text": "t"}, {"kind": "y", "identity": ""}]}
        assert repo.tree_at(repo.commit("m", [], tree)) == tree

    def test_results_are_new_objects_each_call(self):
        repo = Repo()
        tree = {"kind": "doc", "attributes": {"a": "1"}, "children": [{"kind": "p", "identity": "1", "text": "t"}]}
        cid = repo.commit("m", [], tree)
        first, rows = repo.tree_at(cid), repo.log()
        first["attributes"]["a"] = "2"
        first["children"][0]["text"] = "changed"
        first["children"].append({})
        rows.append(None)
        assert repo.tree_at(cid) == tree
        assert repo.merge(cid, cid)[0] == tree
        assert repo.log() == [(cid, "m")]

    def test_rebuild_merges_siblings_that_share_a_path_element(self):
        repo = Repo()
        tree = {"kind": "doc", "children": [{"kind": "p", "text": "a"}, {"kind": "p", "text": "b"}]}
        assert repo.tree_at(repo.commit("m", [], tree)) == {"kind": "doc", "children": [{"kind": "p", "text": "b"}]}

    def test_log_order(self):
        repo = Repo()
        assert repo.log() == []
        a = repo.commit("A", [], DOC)
        b = repo.commit("B", [a], with_text(DOC, "1", "uno"))
        assert repo.log() == [(b, "B"), (a, "A")]

    def test_parents_accept_sequences_of_indexables(self):
        repo = Repo()
        a = repo.commit("A", [], DOC)

        class Index:
            def __index__(self):
                return a

        for parents in ((a,), range(a, a + 1), [Index()], [True]):
            repo.commit("x", parents, DOC)


class TestErrors:
    def test_non_integer_ids_get_the_argument_prefix(self):
        with pytest.raises(TypeError, match=r"^argument 'commit': "):
            Repo().tree_at("1")
        with pytest.raises(TypeError, match=r"^argument 'parents': "):
            Repo().commit("m", [1.5], {})
        with pytest.raises(TypeError):
            Repo().log(1)

    def test_unknown_commits_raise_panic(self):
        repo = Repo()
        known = repo.commit("m", [], DOC)
        panic = panic_type()
        for call in (lambda: repo.tree_at(12345), lambda: repo.diff(known, 1), lambda: repo.merge(1, known),
                     lambda: repo.cherry_pick(1, known), lambda: repo.revert(known, 1)):
            with pytest.raises(panic, match="^no entry found for key$"):
                call()
        assert len(repo) == 1

    def test_failed_cherry_pick_raises_value_error_and_stores_nothing(self):
        repo = Repo()
        a = repo.commit("A", [], DOC)
        b = repo.commit("B", [a], with_text(DOC, "1", "uno"))
        with pytest.raises(ValueError) as info:
            repo.cherry_pick(b, b)
        assert str(info.value).startswith('ApplyError { location: ["doc", "1"], expected: Some(Value { kind: "p", ')
        assert len(repo) == 2


class TestHistory:
    def test_diff_rows(self):
        repo = Repo()
        a = repo.commit("A", [], DOC)
        b = repo.commit("B", [a], with_text(DOC, "2", "deux"))
        assert repo.diff(a, a) == []
        (row,) = repo.diff(a, b)
        path, before, after = row
        assert path == ["doc", "2"]
        assert before == 'Value { kind: "p", label: "", text: "two", attrs: [], order: 1 }'
        assert after == 'Value { kind: "p", label: "", text: "deux", attrs: [], order: 1 }'

    def test_merge_uses_the_common_ancestor(self):
        repo = Repo()
        a = repo.commit("A", [], DOC)
        b = repo.commit("B", [a], with_text(DOC, "1", "uno"))
        assert repo.merge(a, b) == (repo.tree_at(b), [])
        c = repo.commit("C", [a], with_text(DOC, "2", "deux"))
        d = repo.commit("D", [a], with_text(DOC, "2", "dos"))
        tree, conflicts = repo.merge(b, c)
        assert tree == with_text(with_text(DOC, "1", "uno"), "2", "deux")
        assert conflicts == []
        tree, conflicts = repo.merge(c, d)
        assert conflicts == ["doc/2"] and tree == repo.tree_at(c)
        assert len(repo) == 4

    def test_cherry_pick_and_revert(self):
        repo = Repo()
        a = repo.commit("A", [], DOC)
        b = repo.commit("B", [a], with_text(DOC, "1", "uno"))
        c = repo.commit("C", [a], with_text(DOC, "2", "deux"))
        assert repo.cherry_pick(b, a) == repo.tree_at(b)
        assert repo.cherry_pick(b, c) == with_text(with_text(DOC, "1", "uno"), "2", "deux")
        assert repo.revert(b, b) == repo.tree_at(a)
        assert repo.revert(a, a) == {"kind": ""}
        assert len(repo) == 3


class TestReentry:
    def test_commit_during_commit_is_refused_and_repo_stays_usable(self):
        repo = Repo()
        seen = []

        class Key(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                for call in (lambda: repo.commit("inner", [], {}), lambda: repo.log(), lambda: len(repo)):
                    try:
                        call()
                    except RuntimeError as exc:
                        seen.append(str(exc))
                return str.__eq__(self, other)

        tree = {Key("text"): "t", "kind": "doc"}
        outer = repo.commit("outer", [], tree)
        assert seen == ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed"]
        assert repo.log() == [(outer, "outer")]
        assert len(repo) == 1
