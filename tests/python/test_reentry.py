"""Python code that runs during a pass, calling back into the object that runs it.

A signal handler, a progress callback or another Python thread (while a callback lets go of the
interpreter lock) tries to change the object or start a second pass. Each try must be refused
with RuntimeError, getters must keep answering, and the pass must count exactly what an
undisturbed pass over the same file counts. Each case runs in a child process, since the fault it
guards against is a crash.

Every try must happen while the pass runs: one made before it starts or after it ends is rightly
accepted, and proves nothing. A callback only runs inside the pass. A signal's handler runs
wherever the interpreter meets the signal, which may be a bytecode before or after the call, so
the signal case reads a FIFO that a child process feeds: the child signals only after the pass
has opened the FIFO, and waits for the handler's answer before it feeds more, so the pass cannot
reach the end of its input before the handler has run.
"""
import json
import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent("""
    import json, os, signal, subprocess, sys, threading, time
    import quorvel_ext as q
    path, rows, mt = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "mt"
    with open(path, "w") as f:
        f.write("a,b,c,d,e\\n")
        f.writelines(f"{i},x{i % 100},{i % 3},y,{i % 11}\\n" for i in range(rows))
    TYPES = {"int": ["(?=\\\\d)\\\\d+"], "w": ["(?=x)x\\\\d+"]}

    def make(source=path):
        o = q.Inf(source, ",", TYPES, {"1", "y"}, mt, True, path + ".types", 1)
        q._set_pass_threads(o, 3 if mt else 1)
        return o

    undisturbed = make()
    undisturbed.infer_types()
    tries = {"refused": 0, "other": []}

    def attempt(change):
        try:
            change()
        except RuntimeError as e:
            if "a pass is in progress" in str(e):
                tries["refused"] += 1
                return
            tries["other"].append(repr(e))
        else:
            tries["other"].append("accepted")

    def changes(k):
        attempt(lambda: o.set_col_type_patterns({"z": ["z"]}))
        attempt(lambda: o.set_na_values({"1", "2", "foo", "x%d" % k}))
        attempt(lambda: o.set_filepath(path + ".absent"))
        attempt(lambda: o.set_delimiter(";"))
        attempt(lambda: o.set_rolling_cache_window(1000))
        attempt(lambda: o.set_multithreading(not mt))
        attempt(lambda: o.set_save_types_file(False))
        attempt(lambda: o.set_types_filepath(path + ".other"))
        attempt(lambda: q._set_pass_threads(o, 2))
        attempt(o.infer_types)
        attempt(lambda: q._infer_types(o, None))
        if o.get_col_type_patterns() != TYPES or o.get_na_values() != {"1", "y"}:
            tries["other"].append("a getter saw a change")
""")

EPILOGUE = textwrap.dedent("""
    same = (o.num_rows == undisturbed.num_rows
            and o.get_col_type_candidates() == undisturbed.get_col_type_candidates()
            and open(path + ".types").read().count("\\n") == rows + 1)
    print(json.dumps({"refused": tries["refused"], "other": tries["other"], "same": same,
                      "rows": o.num_rows}))
""")

# Feeds the file to the FIFO in PARTS pieces. Before each piece it sends SIGUSR1 to the pass's
# process; after it, it waits for the handler's byte on the answer pipe. Opening the FIFO returns
# only once the pass has opened it, and the pass meets the end of its input only when this closes
# it, after the last answer: so every handler runs inside the pass.
FEEDER = textwrap.dedent("""
    import os, select, signal, sys
    source, fifo, pid, answers, parts = sys.argv[1:]
    pid, answers, parts = int(pid), int(answers), int(parts)
    data = open(source, "rb").read()
    with open(fifo, "wb") as out:  # buffered: its write() writes all, a raw one may not
        for k in range(parts):
            os.kill(pid, signal.SIGUSR1)
            out.write(data[len(data) * k // parts:len(data) * (k + 1) // parts])
            out.flush()
            if not select.select([answers], [], [], 120)[0]:
                sys.exit(f"no handler answered signal {k + 1} in 120 s")
            os.read(answers, 1)
""")

CASES = {  # how the disturbing code gets to run during o's pass
    "signal-handler": """
        PARTS = 8
        fifo = path + ".fifo"
        os.mkfifo(fifo)
        answers, answer = os.pipe()
        handled = [0]
        def on_signal(*a):
            handled[0] += 1
            changes(handled[0])
            os.write(answer, b".")
        signal.signal(signal.SIGUSR1, on_signal)
        o = make(fifo)
        feeder = subprocess.Popen([sys.executable, "-c", sys.argv[4], path, fifo, str(os.getpid()),
                                   str(answers), str(PARTS)], pass_fds=(answers,))
        o.infer_types()
        if feeder.wait() != 0 or handled[0] != PARTS:
            tries["other"].append(f"{handled[0]} of {PARTS} handled, feeder {feeder.returncode}")
    """,
    "progress-callback": """
        o = make()
        calls = [0]
        def progress(*a):
            calls[0] += 1
            changes(calls[0])
        q._infer_types(o, progress)
    """,
    "other-thread": """
        o = make()
        running = threading.Event()
        done = threading.Event()
        def other():
            running.wait()
            while not done.is_set():
                changes(1)
                time.sleep(0.001)
        t = threading.Thread(target=other)
        t.start()
        def progress(*a):
            running.set()
            time.sleep(0.002)  # lets the other thread in
        q._infer_types(o, progress)
        done.set()
        t.join()
    """,
}


@pytest.mark.parametrize("mode", ["st", "mt"])
@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_changes_during_a_pass_are_refused_and_the_pass_counts_exactly(tmp_path, case, mode):
    script = PRELUDE + textwrap.dedent(case) + EPILOGUE
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "r.csv"), "300000", mode,
                           FEEDER], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    result = json.loads(done.stdout)
    assert result["other"] == []
    assert result["refused"] > 0  # the disturbing code did run during the pass
    assert result["same"], result
    assert result["rows"] == 300000


def test_a_refused_nested_pass_leaves_the_outer_one_whole(tmp_path):
    path = tmp_path / "r2.csv"
    path.write_text("a\n" + "".join(f"{i}\n" for i in range(200_000)))
    script = textwrap.dedent("""
        import sys, quorvel_ext as q
        o = q.Inf(sys.argv[1], ",", {"int": ["[0-9]+"]}, set(), False, False, "", 1000)
        seen = []
        def cb(*a):
            if not seen:
                for call in (lambda: o.set_filepath("elsewhere"), o.infer_types):
                    try:
                        call()
                    except RuntimeError as e:
                        seen.append(str(e))
        q._infer_types(o, cb)
        print(o.num_rows, o.get_col_type_candidates()["a"]["int"], o.get_filepath() == sys.argv[1])
        print(*seen, sep="\\n")
    """)
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "200000 200000 True"
    assert lines[1:] == ["a pass is in progress on this object"] * 2
