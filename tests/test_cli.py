"""python -m zarn_text: check and run from the command line."""

import json
import subprocess
import sys
from importlib import metadata

import pytest
from zarn import Velk
from zarn_runtime import PanicException, set_fault_report

import zarn_text.__main__
from zarn_text import Program
from zarn_text.__main__ import main

RULES = 'fee = 5\nif weight > 10:\n    fee = fee + unit\n    heavy = True\nnote = zone + " shipping"\n'


@pytest.fixture
def files(tmp_path, monkeypatch):
    """Writes name -> text (bytes as they are) into a working directory."""
    monkeypatch.chdir(tmp_path)

    def write(**contents):
        for name, text in contents.items():
            data = text if isinstance(text, bytes) else text.encode()
            (tmp_path / name.replace("_", ".")).write_bytes(data)
    return write


def test_check_lists_each_file_or_reports_its_error(files, capsys):
    files(rules_txt=RULES, bad_txt="x = 1\ny = x +\n", call_txt="x = 1\nif f(x):\n    pass\n",
          latin_txt=b"x = 1\n" * 5000 + b"x = '\xe9'\n", empty_txt="", bom_txt=b"\xef\xbb\xbfx = 1\n")
    files_given = ["rules.txt", "bad.txt", "call.txt", "latin.txt", "missing.txt", "empty.txt", "bom.txt"]
    assert main(["check", *files_given]) == 1
    printed = capsys.readouterr()
    assert printed.out.splitlines() == [
        "rules.txt: inputs: unit, weight, zone; outputs: fee, heavy, note",
        "empty.txt: inputs: -; outputs: -",
        "bom.txt: inputs: -; outputs: x",
    ]
    assert printed.err.splitlines() == [
        "bad.txt:2:8: invalid syntax",
        "call.txt:2:4: function calls are not part of the language",
        "latin.txt:5001: not UTF-8 text (invalid continuation byte)",
        "missing.txt: No such file or directory",
    ]
    assert main(["check", "rules.txt", "empty.txt"]) == 0


INPUTS = json.dumps({"weight": 3, "zone": "domestic", "unit": "kg"})
COPY = "y = x\n"


@pytest.mark.parametrize("rules, args, status, out, err", [
    # outputs bound by the run only (not `heavy`), --set over --inputs
    (RULES, ["--inputs", "in.json"], 0, {"fee": 5, "note": "domestic shipping"}, ""),
    (RULES, ["--inputs", "in.json", "--set", "zone=abroad", "--set", "unit=1", "--set", "weight=10"], 0,
     {"fee": 5, "note": "abroad shipping"}, ""),
    # --set values: JSON when they parse, else a string
    (COPY, ["--set", "x=1"], 0, '{"y": 1}', ""),
    (COPY, ["--set", "x=1.0"], 0, '{"y": 1.0}', ""),
    (COPY, ["--set", "x=true"], 0, '{"y": true}', ""),
    (COPY, ["--set", "x=null"], 0, '{"y": null}', ""),
    (COPY, ["--set", 'x="1"'], 0, '{"y": "1"}', ""),
    (COPY, ["--set", "x=a=b"], 0, '{"y": "a=b"}', ""),
    (COPY, ["--set", "x=NaN"], 0, '{"y": NaN}', ""),
    (COPY, ["--set", f"x={2**64}"], 0, '{"y": 1.8446744073709552e+19}', ""),
    # refused before the run, failed runs, limits
    (RULES, ["--set", "weight=12"], 1, "", "rules.txt: missing inputs: unit, zone (give them with --inputs or --set)\n"),
    (RULES, ["--inputs", "in.json", "--set", "weight=12"], 1, "",
     'Binary operator for unknown type\nin statement stmts[1].then[0]\n  File "rules.txt", line 3\n'
     "    fee = fee + unit\n"),
    ("s = 'ab'\ns = s + s\ns = s + s\n", ["--max-text", "3"], 1, "",
     'Limit exceeded: max_text=3\nin statement stmts[1]\n  File "rules.txt", line 2\n    s = s + s\n'),
    (RULES, ["--inputs", "in.json", "--max-steps", "6"], 1, "", "Limit exceeded: max_steps=6\n"),
    # the inputs' texts count against --max-bytes (8 + 2 + 17 bytes), their steps not against --max-steps
    (RULES, ["--inputs", "in.json", "--max-bytes", "26"], 1, "", "Limit exceeded: max_bytes=26\n"),
    (RULES, ["--inputs", "in.json", "--max-steps", "10", "--max-bytes", "27"], 0,
     {"fee": 5, "note": "domestic shipping"}, ""),
    ("x = 1 +\n", [], 1, "", "rules.txt:1:8: invalid syntax\n"),
])
def test_run_prints_outputs_or_the_located_failure(files, capsys, rules, args, status, out, err):
    files(rules_txt=rules, in_json=INPUTS)
    assert main(["run", "rules.txt", *args]) == status
    printed = capsys.readouterr()
    if isinstance(out, dict):
        assert json.loads(printed.out) == out
    else:
        assert printed.out.strip() == out
    assert printed.err.startswith(err) if status else printed.err == err


@pytest.mark.parametrize("args, message", [
    (["--set", "x"], "--set 'x': expected NAME=VALUE"),
    (["--set", "=1"], "--set '=1': expected NAME=VALUE"),
    (["--set", "x=[1]"], "--set 'x=[1]': a value must be null, a Boolean, a number or a string, not an array"),
    (["--set", f"x={10**400}"], "the integer is beyond the range of a float"),
    (["--inputs", "rules.txt"], "--inputs rules.txt: not a JSON file: Expecting value"),
    (["--inputs", "list.json"], "--inputs list.json: must hold a JSON object of name -> value"),
    (["--inputs", "none.json"], "--inputs none.json: No such file or directory"),
    (["--max-steps", "-1"], "argument --max-steps: must not be negative: -1"),
    # what zarn cannot hold or Python cannot read
    (["--set", 'x="\\ud800"'], "--set 'x=\"\\\\ud800\"': a string with a lone surrogate cannot be bound"),
    (["--set", "x=\udcff"], "--set 'x=\\udcff': a string with a lone surrogate cannot be bound"),  # argv not UTF-8
    (["--set", "\ud800=1"], "--set '\\ud800=1': a name with a lone surrogate cannot be bound"),
    (["--set", "x=" + "[" * 100_000], "JSON nested too deeply to read"),
    (["--inputs", "key.json"], "--inputs key.json: '\\ud800': a name with a lone surrogate cannot be bound"),
    (["--inputs", "value.json"], "--inputs value.json: 'x': a string with a lone surrogate cannot be bound"),
    (["--inputs", "deep.json"], "--inputs deep.json: JSON nested too deeply to read"),
    (["--inputs", "latin.json"], "--inputs latin.json: not a JSON file: 'utf-8' codec can't decode byte 0xe9"),
    (["--inputs", "."], "--inputs .: Is a directory"),
    (["--inputs", "\udcff.json"], "--inputs \\xff.json: No such file or directory"),
])
def test_usage_errors_exit_2_naming_the_argument(files, capsys, args, message):
    files(rules_txt=COPY, list_json="[]", key_json='{"\\ud800": 1}', value_json='{"x": "\\ud800"}',
          deep_json='{"x": ' + "[" * 100_000 + "]" * 100_000 + "}", latin_json=b'{"x": "\xe9"}')
    with pytest.raises(SystemExit) as exited:
        main(["run", "rules.txt", *args])
    assert exited.value.code == 2
    assert message in capsys.readouterr().err


def test_the_command_runs_as_a_module_without_a_fault_report(files):
    files(rules_txt="y = x + 1\n")

    def command(*args):
        return subprocess.run([sys.executable, "-m", "zarn_text", *args],
                              capture_output=True, text=True, timeout=120)
    done = command("run", "rules.txt", "--set", "x=41")
    assert (done.returncode, done.stdout, done.stderr) == (0, '{"y": 42}\n', "")
    failed = command("run", "rules.txt", "--set", "x=hello")
    assert failed.returncode == 1
    assert failed.stderr.splitlines()[0] == "Binary operator for unknown type"
    assert "faulted at" not in failed.stderr
    helped = command("--help")
    assert helped.returncode == 0 and "check" in helped.stdout and "run" in helped.stdout
    try:
        version = metadata.version("zarn")
    except metadata.PackageNotFoundError:  # a build that is not installed
        version = "unknown (zarn is not installed)"
    shown = command("--version")
    assert (shown.returncode, shown.stdout, shown.stderr) == (0, f"python -m zarn_text {version}\n", "")


@pytest.mark.parametrize("argv", [
    ["run", "rules.txt", "--set", "x=41"],
    ["run", "rules.txt", "--set", "x=hello"],  # a failing run
    ["run", "rules.txt", "--set", "x"],  # a usage error
    ["check", "rules.txt", "missing.txt"],
])
@pytest.mark.parametrize("report_was_on", [True, False])
def test_the_fault_report_is_as_it_was_after_main(files, capfd, argv, report_was_on):
    files(rules_txt="y = x + 1\n")
    set_fault_report(report_was_on)
    try:
        try:
            main(argv)
        except SystemExit:
            pass
        assert "faulted at" not in capfd.readouterr().err
        with pytest.raises(PanicException):
            Velk().get("nope")
        assert ("faulted at" in capfd.readouterr().err) == report_was_on
    finally:
        set_fault_report(True)


@pytest.mark.parametrize("command, status, printed, listed", [
    (["run", "."], 1, ".: Is a directory", ""),
    (["run", "a\0b"], 1, "a\0b: embedded null byte", ""),
    (["run", "\udcff.txt", "--set", "x=1"], 1, "\\xff.txt: No such file or directory", ""),
    (["run", "latin.txt"], 1, "latin.txt:1: not UTF-8 text (invalid continuation byte)", ""),
    (["run", "double.txt"], 1, "double.txt: out of memory while running", ""),
    (["check", ".", "a\0b", "rules.txt"], 1, ".: Is a directory\na\0b: embedded null byte",
     "rules.txt: inputs: x; outputs: y"),
])
def test_unreadable_files_and_failed_runs_exit_1_without_a_traceback(files, capsys, monkeypatch, command, status,
                                                                     printed, listed):
    files(rules_txt=COPY, latin_txt=b"x = '\xe9'\n", double_txt="t = 'ab'\n")
    real_run = Program.run

    def run_out_of_memory(program, machine):
        if program.filename == "double.txt":
            raise MemoryError  # what a rule doubling a text 60 times ends in, without the wait
        return real_run(program, machine)
    monkeypatch.setattr(Program, "run", run_out_of_memory)
    assert main(command) == status
    out = capsys.readouterr()
    assert (out.err.rstrip("\n"), out.out.rstrip("\n")) == (printed, listed)


def test_check_reports_every_file_when_one_runs_out_of_memory(files, capsys, monkeypatch):
    files(a_txt="y = x\n", huge_txt="y = 1\n", b_txt="z = y +\n", c_txt="z = 2\n")
    real = zarn_text.__main__.compile_program

    def compile_program(source, filename):
        if filename == "huge.txt":
            raise MemoryError  # a parse too large for the memory left
        return real(source, filename)
    monkeypatch.setattr(zarn_text.__main__, "compile_program", compile_program)
    assert main(["check", "a.txt", "huge.txt", "b.txt", "c.txt"]) == 1
    printed = capsys.readouterr()
    assert printed.out.splitlines() == ["a.txt: inputs: x; outputs: y", "c.txt: inputs: -; outputs: z"]
    assert printed.err.splitlines() == ["huge.txt: out of memory while compiling", "b.txt:1:8: invalid syntax"]


def test_no_argument_ends_in_a_traceback(files, tmp_path):
    # As a shell passes them: bytes, some of them not UTF-8.
    files(rules_txt=COPY, deep_json='{"x": ' + "[" * 100_000 + "]" * 100_000 + "}")
    cases = [
        ([b"run", b"rules.txt", b"--set", b"x=\xff"], 2),
        ([b"run", b"rules.txt", b"--set", b"\xff=1", b"--set", b"x=1"], 2),
        ([b"run", b"rules.txt", b"--inputs", b"deep.json"], 2),
        # Valid JSON nested past the parser's depth (an unclosed one is a
        # text on 3.14, whose parser finds the missing end first).
        ([b"run", b"rules.txt", b"--set", b"x=" + b"[" * 50_000 + b"]" * 50_000], 2),
        ([b"run", b"rules.txt", b"--max-steps", b"\xff"], 2),
        ([b"run", b"\xff.txt"], 1),
        ([b"check", b"\xff.txt", b".", b"rules.txt"], 1),
        ([b"frobnicate"], 2),
    ]
    for args, status in cases:
        done = subprocess.run([sys.executable.encode(), b"-m", b"zarn_text", *args], cwd=tmp_path,
                              capture_output=True, timeout=120)
        assert done.returncode == status, (args, done.stderr)
        assert b"Traceback" not in done.stderr, (args, done.stderr)
