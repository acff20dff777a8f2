"""The Wine environment itself: a prefix runs a program and reports its exit code."""


def test_a_builtin_program_runs_and_reports_its_exit_code(wine):
    code, out = wine.run("cmd", "/c", "exit 7", timeout=60)
    assert code == 7
