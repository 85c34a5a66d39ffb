"""Hostile sizes and memory exhaustion: a failure surfaces as a Python
exception, never as a crash, and a failed commit leaves nothing behind."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vext_py
from calls import ERRORS, SUCCESS

SANITIZED = bool(os.environ.get("VEXT_SANITIZED"))


class ClaimsLength:
    """A sequence whose length is only a claim; it yields two ids."""

    def __init__(self, claimed, ids):
        self.claimed, self.ids = claimed, ids

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.ids[i]


def test_parents_length_is_only_a_capacity_hint():
    repo = vext_py.Repo()
    root = repo.commit("root", [], {})
    for claimed in (0, 2, 10**9, 2**62, sys.maxsize):
        cid = repo.commit("m", ClaimsLength(claimed, [root, root]), {})
        assert [m for _, m in repo.log()] == ["m", "root"]
    assert len(repo) == 2  # the same commit each time


EXHAUST = textwrap.dedent(
    """
    import json, resource, sys
    import vext_py

    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    huge_text = "x" * (96 << 20)  # copied into the core by every conversion
    wide = {"kind": "r", "children": [{"kind": "c", "identity": str(i), "attributes": {"a": str(i)}}
                                      for i in range(100_000)]}
    wide2 = {"kind": "r", "children": [{"kind": "c", "identity": str(i), "text": "t"} for i in range(100_000)]}
    repo = vext_py.Repo()
    small = repo.commit("small", [], {"kind": "s", "text": "keep"})
    ops = {
        "diff_huge": lambda: vext_py.diff_trees({"text": huge_text}, {}),
        "diff_wide": lambda: vext_py.diff_trees(wide, wide2),
        "merge_wide": lambda: vext_py.merge_trees(wide, wide2, wide),
        "commit_huge": lambda: repo.commit("huge", [small], {"text": huge_text}),
        "commit_wide": lambda: repo.commit("wide", [small], wide),
        "merge_commits": lambda: repo.merge(small, repo.log()[0][0]),
        "tree_at": lambda: repo.tree_at(repo.log()[0][0]),
    }
    # A history whose commits share all but a few nodes: a failure while one
    # of them is stored must not disturb the nodes the others share.
    shared = vext_py.Repo()
    variants = []
    for k in range(3):
        variant = {"kind": "r", "children": [dict(c) for c in wide["children"]]}
        for i in range(k, 100_000 if k else 0, 9_973):
            variant["children"][i] = {"kind": "c", "identity": str(i), "text": f"v{k}"}
        variants.append(variant)
    s0 = shared.commit("s0", [], variants[0])
    s1 = shared.commit("s1", [s0], variants[1])
    s2 = shared.commit("s2", [s0], variants[2])
    stored = {cid: shared.tree_at(cid) for cid in (s0, s1, s2)}
    ops.update({
        "shared_commit": lambda: shared.commit("s3", [s1], wide2),
        "shared_merge": lambda: shared.merge(s1, s2),
        "shared_cherry_pick": lambda: shared.cherry_pick(s2, s1),
        "shared_revert": lambda: shared.revert(s1, s1),
    })
    GROWS = {"commit_huge", "commit_wide", "shared_commit"}  # the calls that add commits
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = {}
    for headroom_mib in (4, 16, 48, 160):
        for name, op in ops.items():
            before = (len(repo), repo.log(), len(shared), shared.log())
            resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (headroom_mib << 20), hard))
            try:
                op()
                outcome = "ok"
            except MemoryError:
                outcome = "MemoryError"
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            outcomes.setdefault(outcome, []).append(f"{name}@{headroom_mib}")
            after = (len(repo), repo.log(), len(shared), shared.log())
            if name in GROWS and outcome == "MemoryError":
                assert after == before, (name, headroom_mib)  # nothing half-stored
            elif name not in GROWS:
                assert after == before
    assert repo.tree_at(small) == {"kind": "s", "text": "keep"}
    assert all(shared.tree_at(cid) == tree for cid, tree in stored.items())
    assert shared.merge(s1, s2)[1] == []
    for cid, message in repo.log():
        repo.tree_at(cid)
    print(json.dumps(outcomes))
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves more address space than the limit allows")
def test_memory_exhaustion_raises_memory_error_and_stores_nothing():
    result = subprocess.run([sys.executable, "-c", EXHAUST], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    outcomes = json.loads(result.stdout.strip().splitlines()[-1])
    # The limits are tight enough that the core runs out, and loose enough
    # that some calls get through.
    failed = outcomes.get("MemoryError", [])
    assert any(name.startswith("commit") for name in failed)
    assert any(name.startswith("shared") for name in failed)
    assert any(name.startswith("diff") for name in failed)
    assert outcomes.get("ok")


FAIL_EACH_ALLOCATION = textwrap.dedent(
    """
    import ctypes, sys
    sys.path.insert(0, sys.argv[1])
    from calls import ERRORS, SUCCESS

    fn, args = {**SUCCESS, **ERRORS}[sys.argv[2]]
    hooks = ctypes.CDLL(None)
    k = 0
    while True:
        print(k, flush=True)
        hooks.vext_fail_allocation(k)
        try:
            fn(*args)
        except MemoryError:
            pass
        failed = hooks.vext_allocation_failed()
        hooks.vext_fail_allocation(-1)
        if not failed:
            break
        k += 1
    print("done", k, flush=True)
    """
)


@pytest.fixture(scope="module")
def fail_alloc_library(tmp_path_factory):
    source = Path(__file__).resolve().parent.parent / "fail_alloc.cpp"
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.fail("the allocation-failure checks need g++")
    library = tmp_path_factory.mktemp("fail_alloc") / "libfail_alloc.so"
    subprocess.run([compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    return library


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime owns the allocation functions")
@pytest.mark.parametrize("name", list(SUCCESS) + list(ERRORS))
def test_each_failing_allocation_raises_memory_error(name, fail_alloc_library):
    # Fails the first, the second, ... C++ allocation of the call in turn until
    # the call runs through: each must give MemoryError or the call's own
    # outcome, never end the process.
    env = dict(os.environ, LD_PRELOAD=str(fail_alloc_library))
    result = subprocess.run([sys.executable, "-c", FAIL_EACH_ALLOCATION, str(Path(__file__).parent), name],
                            capture_output=True, text=True, timeout=300, env=env)
    lines = result.stdout.split()
    assert result.returncode == 0, f"died when failing allocation {lines[-1:]}: {result.stderr[-2000:]}"
    assert lines[-2] == "done"


FIRST_EXCEPTION = textwrap.dedent(
    """
    import resource, threading
    import vext_py

    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    tree = {"text": "x" * (64 << 20)}
    outcomes = []

    def run():
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes(), hard))
        try:
            vext_py.diff_trees(tree, {})
            outcomes.append("ok")
        except MemoryError:
            outcomes.append("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    run()
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    print(*outcomes)
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves more address space than the limit allows")
def test_first_exception_of_a_thread_can_be_memory_exhaustion():
    # A fresh process, where the first C++ exception the main thread and a
    # new thread throw is bad_alloc; thread-local data that is allocated on
    # first use has no room either.
    env = dict(os.environ, GLIBC_TUNABLES="glibc.rtld.optional_static_tls=0")
    result = subprocess.run([sys.executable, "-c", FIRST_EXCEPTION], capture_output=True, text=True, timeout=120,
                            env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["MemoryError", "MemoryError"]


def test_memory_error_while_reading_a_kind_is_not_read_as_root():
    testcapi = pytest.importorskip("_testcapi")
    outcomes = set()
    for k in range(40):
        kind = "".join(["k\u00e9", str(k)])  # fresh: no UTF-8 form cached yet
        tree, other = {"kind": kind}, {"kind": "x"}
        testcapi.set_nomemory(k, k + 1)
        try:
            merged, _ = vext_py.merge_trees(other, tree, other)  # only ours changes the kind
        except MemoryError:
            outcomes.add("MemoryError")
            continue
        finally:
            testcapi.remove_mem_hooks()
        outcomes.add("ok")
        assert merged["kind"] == kind
    assert outcomes == {"ok", "MemoryError"}
