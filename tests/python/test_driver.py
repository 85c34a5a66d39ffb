"""The vext command's native front: git's merge-driver command line is merged
without starting Python, leaving the same files, output and status as the
Python command (vext-python); every other case goes to the Python command."""

import json
import os
import pty
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

SCRIPTS = Path(sysconfig.get_path("scripts"))
NATIVE, PYTHON = SCRIPTS / "vext", SCRIPTS / "vext-python"
DRIVER = ("merge", "base", "ours", "theirs", "-o", "ours")
UTF8 = {"LC_ALL": "C.UTF-8"}


def json_sides(pairs):
    """Base, ours and theirs of a JSON object whose members each conflict:
    ours and theirs set member i to pairs[i][0] and pairs[i][1]."""
    sides = [{f"m{i}": "base" for i in range(len(pairs))},
             {f"m{i}": a for i, (a, _) in enumerate(pairs)},
             {f"m{i}": b for i, (_, b) in enumerate(pairs)}]
    return {name: json.dumps(side, ensure_ascii=True).encode() for name, side in zip(("base", "ours", "theirs"), sides)}


def xml_sides(ours_text, theirs_text):
    return {"base": b'<doc><p id="1">base</p></doc>',
            "ours": f'<doc><p id="1">{ours_text}</p></doc>'.encode(),
            "theirs": f'<doc><p id="1">{theirs_text}</p></doc>'.encode()}


# Every character up to U+2100 (past every escaped one) and a few beyond,
# surrogates left out, in values short enough not to be cut.
_CHARS = [chr(c) for c in [*range(0, 0x2100), 0xFFFD, 0xFEFF, 0x1F600, 0x10FFFF] if not 0xD800 <= c < 0xE000]
EVERY_CHARACTER = [("".join(_CHARS[i:i + 50]), "x" + "".join(_CHARS[i:i + 50])) for i in range(0, len(_CHARS), 50)]

CLEAN = {"base": b'{"a": 1,\n "b": 2}\n', "ours": b'{"a": 10,\n "b": 2}\n', "theirs": b'{"a": 1,\n "b": 20}\n'}
LARGE = {side: data.replace(b"{", b'{"pad": "' + b"x" * 2**20 + b'",', 1) for side, data in CLEAN.items()}

# (name, files, arguments, environment, merged by the native front itself)
CASES = [
    ("clean json", CLEAN, DRIVER, UTF8, True),
    ("clean xml", xml_sides("base", "theirs"), DRIVER, UTF8, True),
    ("conflicts with escapes", xml_sides('say "hi"\t\\ \u202e\u2028\x85\x7f', "x\ny\r"), DRIVER, UTF8, True),
    ("every character", json_sides(EVERY_CHARACTER), DRIVER, UTF8, True),
    ("long values cut", json_sides([("é" * 80, "e" * 61), ("a" * 60, "b" * 59)]), DRIVER, UTF8, True),
    ("long values, ASCII locale", json_sides([("é" * 80, "e" * 61)]), DRIVER,
     {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}, False),
    ("forced encoding", json_sides([("é", "è")]), DRIVER, {**UTF8, "PYTHONIOENCODING": "latin-1"}, False),
    ("ascii under a forced encoding", json_sides([("a", "b")]), DRIVER, {**UTF8, "PYTHONIOENCODING": "utf-16"},
     False),
    ("clean under a forced encoding", CLEAN, DRIVER, {**UTF8, "PYTHONIOENCODING": "utf-16"}, True),
    ("lone surrogate in the input", {**CLEAN, "ours": b'{"a": "\\ud800"}'}, DRIVER, UTF8, False),
    ("over a megabyte", LARGE, DRIVER, UTF8, True),
    ("output elsewhere", CLEAN, ("merge", "base", "ours", "theirs", "--output", "out"), UTF8, False),
    ("output through a link", {**CLEAN, "link": "ours"}, ("merge", "base", "ours", "theirs", "-o", "link"), UTF8,
     True),
    ("output to a directory", {**CLEAN, "dir/": b""}, ("merge", "base", "ours", "theirs", "-o", "dir"), UTF8, False),
    ("missing input", {"base": CLEAN["base"], "ours": CLEAN["ours"]}, DRIVER, UTF8, False),
    ("empty input", {**CLEAN, "theirs": b""}, DRIVER, UTF8, False),
    ("malformed input", {**CLEAN, "theirs": b'{"a": '}, DRIVER, UTF8, False),
    ("mixed formats", {**CLEAN, "theirs": b"<a/>"}, DRIVER, UTF8, False),
    ("ours' version instead of markers", CLEAN, ("merge", "--ours", "base", "ours", "theirs", "-o", "ours"), UTF8,
     False),
    ("standard output", CLEAN, ("merge", "base", "ours", "theirs"), UTF8, False),
    ("diff", CLEAN, ("diff", "base", "ours"), UTF8, True),
    ("diff of equal files", CLEAN, ("diff", "base", "base"), UTF8, True),
    ("diff of every character", json_sides(EVERY_CHARACTER), ("diff", "ours", "theirs"), UTF8, True),
    ("diff of xml with escapes", xml_sides('say "hi"\t\\ \u202e\u2028\x85\x7f', "x\ny\r"), ("diff", "ours", "theirs"),
     UTF8, True),
    ("diff inserting and removing", {"base": b'[1, {"a": [2]}]', "ours": '[{"a": [2, "\u00e9"]}, 3]'.encode()},
     ("diff", "base", "ours"), UTF8, True),
    ("diff over a megabyte", LARGE, ("diff", "base", "theirs"), UTF8, True),
    ("diff, ASCII locale", json_sides([("\u00e9", "e")]), ("diff", "ours", "theirs"),
     {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}, False),
    ("diff, ASCII locale, ASCII lines", CLEAN, ("diff", "base", "ours"),
     {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}, True),
    ("diff under a forced encoding", CLEAN, ("diff", "base", "ours"), {**UTF8, "PYTHONIOENCODING": "utf-16"}, False),
    ("diff with an option", CLEAN, ("diff", "--json", "base", "ours"), UTF8, False),
    ("diff of a malformed file", {**CLEAN, "theirs": b'{"a": '}, ("diff", "base", "theirs"), UTF8, False),
    ("diff of a missing file", CLEAN, ("diff", "base", "nowhere"), UTF8, False),
    ("diff of standard input", CLEAN, ("diff", "-", "ours"), UTF8, False),
    ("git's driver line", json_sides([("é", "è")]),
     ("merge", "--name", "conf/app settings.json", "--line-fallback", "base", "ours", "theirs", "-o", "ours"), UTF8, True),
    ("a name with a line break", json_sides([("a", "b")]), ("merge", "--name", "a\nb", *DRIVER[1:]), UTF8, False),
    ("a refused file falls back to lines", {**CLEAN, "theirs": b'{"a": 1,\n "b": 20,\n'},
     ("merge", "--name", "app.json", "--line-fallback", *DRIVER[1:]), UTF8, False),
]


def outcome(command, folder, files, args, env):
    """Runs `command` on fresh copies of `files` in `folder` (a str value is a
    symbolic link, a name ending in "/" a folder); returns what it printed,
    its status, and every file it left, with its mode."""
    folder.mkdir()
    for name, content in files.items():
        if isinstance(content, str):
            (folder / name).symlink_to(content)
        elif name.endswith("/"):
            (folder / name).mkdir()
        else:
            (folder / name).write_bytes(content)
            (folder / name).chmod(0o640)
    run_env = {key: value for key, value in os.environ.items() if not key.startswith(("LC_", "LANG", "PYTHON"))}
    result = subprocess.run([command, *args], cwd=folder, capture_output=True, env={**run_env, **env}, timeout=60)
    left = {p.name: (p.read_bytes() if p.is_file() else None, p.lstat().st_mode) for p in sorted(folder.iterdir())}
    return result.returncode, result.stdout, result.stderr, left


@pytest.mark.parametrize(("files", "args", "env", "native"), [case[1:] for case in CASES], ids=[c[0] for c in CASES])
def test_the_command_does_what_the_python_command_does(tmp_path, files, args, env, native):
    expected = outcome(PYTHON, tmp_path / "python", files, args, env)
    assert outcome(NATIVE, tmp_path / "native", files, args, env) == expected
    # Alone, without the Python command beside it, the front shows which cases it merges itself.
    alone = tmp_path / "alone"
    alone.mkdir()
    shutil.copy2(NATIVE, alone / "vext")
    status, out, err, left = outcome(alone / "vext", tmp_path / "unaided", files, args, env)
    if native:
        assert (status, out, err, left) == expected
    else:
        assert (status, out) == (2, b"")
        assert err.startswith(b"vext: cannot start the Python command " + bytes(alone / "vext-python"))
        assert left == outcome(PYTHON, tmp_path / "untouched", files, ("--version",), env)[3]



@pytest.mark.parametrize(("files", "native"), [(CLEAN, True), (LARGE, False)], ids=["small", "over a megabyte"])
def test_on_a_terminal_a_large_merge_goes_to_the_python_command(tmp_path, files, native):
    # There the Python command shows a progress line while a long run lasts.
    alone = tmp_path / "alone"
    alone.mkdir()
    shutil.copy2(NATIVE, alone / "vext")
    folder = tmp_path / "work"
    folder.mkdir()
    for name, content in files.items():
        (folder / name).write_bytes(content)
    primary, secondary = pty.openpty()
    try:
        result = subprocess.run([alone / "vext", *DRIVER], cwd=folder, stdout=subprocess.PIPE, stderr=secondary,
                                timeout=60)
    finally:
        os.close(secondary)
    try:
        err = os.read(primary, 1 << 16)
    except OSError:  # nothing was written: the terminal is gone
        err = b""
    finally:
        os.close(primary)
    if native:
        assert (result.returncode, err) == (0, b"")
        assert (folder / "ours").read_bytes() == b'{"a": 10,\n "b": 20}\n'
    else:
        assert result.returncode == 2 and b"cannot start the Python command" in err
        assert (folder / "ours").read_bytes() == files["ours"]


def test_a_diff_into_a_closed_pipe_fails_as_the_python_command_does(tmp_path):
    files = json_sides([(str(i), str(-i)) for i in range(3000)])  # more than one block of lines
    results = []
    for command in (PYTHON, NATIVE):
        folder = tmp_path / command.name
        folder.mkdir()
        for name, content in files.items():
            (folder / name).write_bytes(content)
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            result = subprocess.run([command, "diff", "ours", "theirs"], cwd=folder, stdout=write_end,
                                    stderr=subprocess.PIPE, env={**os.environ, **UTF8}, timeout=60)
        finally:
            os.close(write_end)
        results.append((result.returncode, result.stderr))
    assert results[0] == results[1] == (2, b"vext: cannot write to standard output: Broken pipe\n")


def test_a_diff_past_the_file_size_limit_fails_as_the_python_command_does(tmp_path):
    import resource

    files = json_sides([(str(i), str(-i)) for i in range(3000)])
    results = []
    for command in (PYTHON, NATIVE):
        folder = tmp_path / command.name
        folder.mkdir()
        for name, content in files.items():
            (folder / name).write_bytes(content)
        with open(folder / "out", "wb") as out:
            result = subprocess.run([command, "diff", "ours", "theirs"], cwd=folder, stdout=out, stderr=subprocess.PIPE,
                                    env={**os.environ, **UTF8}, timeout=60,
                                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096)))
        results.append((result.returncode, result.stderr))
    assert results[0] == results[1] == (2, b"vext: cannot write to standard output: File too large\n")
