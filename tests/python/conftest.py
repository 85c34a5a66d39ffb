import gc
import itertools
import os
import resource
import signal
import subprocess
import sys
import tempfile
import textwrap
import tracemalloc
import urllib.parse
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

# Under the sanitizers (tools/sanitize.sh) the allocator keeps freed memory in
# quarantine, so RSS is no measure of leaks there; reference counts and the
# interpreter's traced allocations still are.
SANITIZED = bool(os.environ.get("VEXT_SANITIZED"))

# Property tests: no example database (nothing is written into the tree), no
# deadline (timings vary on shared machines). "ci" is the default; "dev"
# explores more; "sanitize" keeps the instrumented run short.
_common = dict(database=None, deadline=None, print_blob=True,
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("ci", max_examples=120, **_common)
settings.register_profile("dev", max_examples=2000, **_common)
settings.register_profile("sanitize", max_examples=25, **_common)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# A run started in the background of a shell without job control inherits
# SIGINT ignored, and so would every child the tests start to see Ctrl-C
# handled; give the run the interpreter's usual handler back.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def panic_type():
    """The class of PanicException, which the module does not export: what
    tree_at of an unknown id raises."""
    from vext_py import Repo

    try:
        Repo().tree_at(1)
    except BaseException as exc:  # noqa: BLE001 - the class is what we want
        return type(exc)
    raise AssertionError("tree_at of an unknown id did not raise")


def node(kind, identity=None, text=None, attrs=None, children=None, label=None):
    """A tree dict in the form the modules write back: an absent identity and
    an empty label, text, attribute list or child list are left out."""
    out = {"kind": kind}
    if identity is not None:
        out["identity"] = identity
    if label:
        out["label"] = label
    if text:
        out["text"] = text
    if attrs:
        out["attributes"] = dict(attrs)
    if children:
        out["children"] = children
    return out


def chain(depth, leaf_text=""):
    """Returns a tree dict nested `depth` levels deep (the root is level 1)."""
    node = {"kind": "n", "text": leaf_text}
    for _ in range(depth - 1):
        node = {"kind": "n", "children": [node]}
    return node


def chain_depth(tree):
    depth = 0
    while tree is not None:
        depth += 1
        kids = tree.get("children")
        tree = kids[0] if kids else None
    return depth


# Each SIGINT raises KeyboardInterrupt once and then is ignored until the
# script calls rearm(), so a second signal cannot land in its except clause;
# where(error) is the frame the interrupt surfaced in, past the handler.
_ONE_SHOT_SIGINT = """
import signal
def _once(signum, frame):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise KeyboardInterrupt
def rearm():
    signal.signal(signal.SIGINT, _once)
def where(error):
    import traceback
    return [f for f in traceback.extract_tb(error.__traceback__) if f.name != "_once"][-1]
rearm()
"""


def interrupted_call(setup, call, tmp_path):
    """Runs `setup`, then the statement `call` over and over, in a fresh
    interpreter, and sends it SIGINT again and again until the interrupt
    surfaces inside a call into vext._core; returns where it did, as
    "function: source line" ("" when the script ended otherwise). An
    interrupt that lands anywhere else is retried. The script runs from a
    file so that its frames show their source lines."""
    body = textwrap.indent(call, " " * 20)
    script = setup + textwrap.dedent(f"""
        ready = False
        while True:
            try:
                if not ready:
                    ready = True
                    print("ready", flush=True)
                while True:
{body}
            except KeyboardInterrupt as e:
                inner = where(e)
                if "_core." in inner.line:
                    print(f"{{inner.name}}: {{inner.line}}", flush=True)
                    break
                rearm()
    """)
    path = tmp_path / "interrupted.py"
    path.write_text(_ONE_SHOT_SIGINT + script, encoding="utf-8")
    child = subprocess.Popen([sys.executable, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        for _ in range(600):
            child.send_signal(signal.SIGINT)
            try:
                return child.communicate(timeout=0.2)[0].rstrip("\n")
            except subprocess.TimeoutExpired:
                continue
        return ""
    finally:
        child.kill()
        child.wait()


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def _reachable(args, limit=10_000):
    """The arguments and every object nested in them through lists, tuples
    and dicts (keys and values), each once."""
    seen, out, stack = set(), [], list(args)
    while stack and len(out) < limit:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        out.append(obj)
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
    return out


def assert_no_leaks(call, args, repeat=10_000, rss_slack_kib=4096, traced_repeat=2_000, traced_slack=32 << 10):
    """Runs call(*args) many times. The reference counts of the arguments and
    of everything nested in them, the interpreter's traced allocations
    (tracemalloc) and the process's RSS must stay flat."""
    objects = _reachable(args)
    for _ in range(min(200, repeat)):
        call(*args)
    gc.collect()
    before_refs = [sys.getrefcount(o) for o in objects]
    before_rss = rss_kib()
    for _ in range(repeat):
        call(*args)
    gc.collect()
    after_refs = [sys.getrefcount(o) for o in objects]
    changed = [(type(o).__name__, b, a) for o, b, a in zip(objects, before_refs, after_refs) if a != b]
    assert not changed, f"reference counts moved: {changed[:5]}"
    if not SANITIZED:
        assert rss_kib() - before_rss < rss_slack_kib

    tracing = tracemalloc.is_tracing()
    if not tracing:
        tracemalloc.start()
    try:
        for _ in range(min(50, traced_repeat)):
            call(*args)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(traced_repeat):
            call(*args)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        if not tracing:
            tracemalloc.stop()
    assert grown < traced_slack, f"traced memory grew by {grown} bytes over {traced_repeat} calls"


@pytest.fixture
def no_leaks():
    return assert_no_leaks


# ---------------------------------------------------------------- stores on PostgreSQL

_PG_SCRIPT = Path(__file__).resolve().parents[2] / "tools" / "pg_server.sh"
_schemas = itertools.count()


def plain_env():
    """The environment without the sanitizers' preloaded runtime, for the
    server's own programs: psql, for one, hangs at exit under it."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def pg_sql(url, sql):
    """Runs SQL on the test server through psql (the superuser's connection)."""
    done = subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", url, "-c", sql],
                          capture_output=True, text=True, env=plain_env(), timeout=120)
    assert done.returncode == 0, done.stderr


def with_option(url, key, value):
    """The connection URI with one more parameter."""
    return f"{url}{'&' if '?' in url else '?'}{key}={urllib.parse.quote(value, safe='')}"


def new_schema(url):
    """Creates an empty schema and returns a URI whose connections work in it."""
    name = f"t{os.getpid()}_{next(_schemas)}"
    pg_sql(url, f"CREATE SCHEMA {name}")
    return with_option(url, "options", f"-csearch_path={name}"), name


@pytest.fixture(scope="session")
def postgres_server():
    """The URI of a PostgreSQL server for the store tests: the one the test
    script started (VEXT_TEST_POSTGRES), or else one started here, on a Unix
    socket in a temporary folder. A server that cannot start fails the run."""
    url = os.environ.get("VEXT_TEST_POSTGRES")
    if url:
        yield url
        return
    folder = tempfile.mkdtemp(prefix="vext-pg.")
    started = subprocess.run([str(_PG_SCRIPT), "start", folder], capture_output=True, text=True, env=plain_env())
    if started.returncode != 0:
        pytest.fail(f"cannot start a PostgreSQL server for the store tests: {started.stderr.strip()}", pytrace=False)
    try:
        yield started.stdout.strip()
    finally:
        subprocess.run([str(_PG_SCRIPT), "stop", folder], capture_output=True, env=plain_env())


@pytest.fixture
def pg_location(postgres_server):
    """A store location in a schema of its own on the test server."""
    url, name = new_schema(postgres_server)
    yield url
    pg_sql(postgres_server, f"DROP SCHEMA {name} CASCADE")


@pytest.fixture(params=["sqlite", "postgresql"])
def location(request, tmp_path):
    """A fresh store location on each backend: a file path, or a database URI."""
    if request.param == "sqlite":
        return str(tmp_path / "s.vext")
    return request.getfixturevalue("pg_location")
