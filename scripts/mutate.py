#!/usr/bin/env python3
"""Mutation check: plants single faults in the code, one at a time, and runs
the tests that reach the changed line.

A mutant is killed when one of those tests fails (or times out), survives when
all of them pass, and is not viable when it does not compile.  A mutant on a
line that no test reaches survives without a run.

Two build folders of their own, beside the sources:
  build-mutate-cov  built with --coverage; every test is run once, alone, to
                    learn which lines it reaches (the map is kept in
                    coverage-map.json until a source or test file changes);
  build-mutate      built at -O0; the mutants are compiled and tested here.

The set of mutants is fixed by the sources: every site of the operators below
is listed in file order and a fixed share of them is taken, spread evenly, per
folder.  Results go to build-mutate/mutants.json; a table is printed.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COV_DIR = os.path.join(TOP, "build-mutate-cov")
MUT_DIR = os.path.join(TOP, "build-mutate")
FOLDERS = ["base", "cli", "messaging", "netio", "platform", "host_platform",
           "package_db", "dircache", "userdb", "service", "package_programs"]
# Mutants per folder in a full run: this share of the folder's sites, but
# never fewer than MIN_PER_FOLDER (or all sites, if a folder has fewer).
SHARE = 0.045
MIN_PER_FOLDER = 25
# End-to-end tests mostly wait (for daemons, polls, timeouts), so more of
# them run at once than there are cores; a mutant gets at most this many of
# the fastest end-to-end tests that reach its line.
E2E_JOBS = 6
E2E_PER_MUTANT = 12
ERROR_CALLS = ("Logger::Log", "STREAM_LOG", "HOST_PLATFORM_FAIL", "LogError",
               "syslog", "Fail")


# --- Finding the sites ------------------------------------------------------

def code_mask(text):
    """The text with comments, string and character literals and preprocessor
    lines blanked out (newlines kept), so that operator searches see code only."""
    out = list(text)
    n = len(text)

    def blank(start, end):
        for k in range(start, min(end, n)):
            if out[k] != "\n":
                out[k] = " "
        return end

    i = 0
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            j = i
            while j < n and not (text[j] == "\n" and text[j - 1] != "\\"):
                j += 1
            i = blank(i, j)
            continue
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c not in " \t":
            line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = blank(i, n if j < 0 else j)
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            i = blank(i, n if j < 0 else j + 2)
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            i = blank(i, n if end < 0 else end + len(m.group(1)) + 2)
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # digit separator
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            i = blank(i, j + 1)
        else:
            i += 1
    return "".join(out)


def matching_paren(code, open_pos):
    depth = 0
    for j in range(open_pos, len(code)):
        if code[j] == "(":
            depth += 1
        elif code[j] == ")":
            depth -= 1
            if depth == 0:
                return j
    return -1


def statement_end(code, pos):
    """End (after the ';') of the expression statement starting at pos."""
    depth = 0
    for j in range(pos, len(code)):
        if code[j] in "([{":
            depth += 1
        elif code[j] in ")]}":
            depth -= 1
            if depth < 0:
                return -1
        elif code[j] == ";" and depth == 0:
            return j + 1
    return -1


SWAPS = [
    (r"(?<=\s)==(?=\s)", "!=", "== -> !="),
    (r"(?<=\s)!=(?=\s)", "==", "!= -> =="),
    (r"(?<=\s)<(?=\s)", "<=", "< -> <="),
    (r"(?<=\s)<=(?=\s)", "<", "<= -> <"),
    (r"(?<=\s)>(?=\s)", ">=", "> -> >="),
    (r"(?<=\s)>=(?=\s)", ">", ">= -> >"),
    (r"(?<=\s)&&(?=\s)", "||", "&& -> ||"),
    (r"(?<=\s)\|\|(?=\s)", "&&", "|| -> &&"),
    (r"\breturn true;", "return false;", "return true -> false"),
    (r"\breturn false;", "return true;", "return false -> true"),
    (r"\breturn 0;", "return -1;", "return 0 -> -1"),
    (r"\breturn -1;", "return 0;", "return -1 -> 0"),
]


def find_sites(path):
    """Every mutation site of one file: (offset, length, replacement, what)."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    code = code_mask(text)
    sites = []
    for pattern, repl, what in SWAPS:
        for m in re.finditer(pattern, code):
            sites.append((m.start(), m.end() - m.start(), repl, what))
    # Constants off by one; not inside array bounds of declarations, where
    # it changes nothing a test could see.
    for m in re.finditer(r"(?<![\w.])(0x[0-9A-Fa-f]+|[0-9]+)(?![\w.'])", code):
        before = code[:m.start()].rstrip()
        if before.endswith("[") or before.endswith("operator"):
            continue
        sites.append((m.start(), len(m.group(1)), "(%s + 1)" % m.group(1),
                      "constant %s -> +1" % m.group(1)))
    # Conditions negated, and the second half of a two-part condition dropped.
    for m in re.finditer(r"\b(if|while) \(", code):
        open_pos = m.end() - 1
        close = matching_paren(code, open_pos)
        if close < 0:
            continue
        cond = text[open_pos + 1:close]
        if ";" in code[open_pos:close]:
            continue
        sites.append((open_pos + 1, close - open_pos - 1, "!(%s)" % cond,
                      "%s condition negated" % m.group(1)))
        inner = code[open_pos + 1:close]
        depth, split = 0, -1
        for j, ch in enumerate(inner):
            depth += ch == "("
            depth -= ch == ")"
            if depth == 0 and inner.startswith(" && ", j) and split < 0:
                split = j
        if split > 0:
            sites.append((open_pos + 1, close - open_pos - 1, cond[:split],
                          "%s condition: second part dropped" % m.group(1)))
    # Logging and error calls removed (the statement becomes empty; its line
    # ends stay, so that __LINE__ elsewhere does not move).
    calls = "|".join(re.escape(c) for c in ERROR_CALLS)
    for m in re.finditer(r"(?m)^[ \t]*((?:%s)\()" % calls, code):
        start = m.start(1)
        end = statement_end(code, start)
        if end < 0:
            continue
        repl = ";" + "\n" * text[start:end].count("\n")
        sites.append((start, end - start, repl,
                      "call removed: %s" % m.group(1)[:-1]))
    sites.sort()
    return text, sites


def source_files():
    files = []
    for folder in FOLDERS:
        d = os.path.join(TOP, folder)
        for name in sorted(os.listdir(d)):
            if name.endswith(".cc") and not name.endswith("_test.cc"):
                files.append(os.path.join(folder, name))
    return files


def plan_mutants(files, holdout=False):
    """The fixed set of mutants of a full run, in folder and file order."""
    by_folder = {}
    for rel in files:
        text, sites = find_sites(os.path.join(TOP, rel))
        for off, length, repl, what in sites:
            line = text.count("\n", 0, off) + 1
            line_start = text.rfind("\n", 0, off) + 1
            line_end = text.find("\n", off)
            by_folder.setdefault(rel.split("/")[0], []).append(
                {"file": rel, "line": line, "offset": off, "length": length,
                 "replacement": repl, "what": what, "original": text[off:off + length],
                 "column": off - line_start,
                 "context": text[line_start:line_end if line_end >= 0 else len(text)]})
    plan = []
    for folder in FOLDERS:
        sites = by_folder.get(folder, [])
        want = min(len(sites), max(MIN_PER_FOLDER, int(len(sites) * SHARE)))
        plan.extend(spread(sites, want, 0 if holdout else 1))
    return plan


def replan(results_file):
    """The mutants of an earlier run, found again in today's sources: each at
    the line with the same text nearest to where it was, at the same column.
    A mutant whose line is gone is left out (and counted)."""
    with open(results_file) as f:
        earlier = json.load(f)
    plan, gone = [], 0
    for m in earlier:
        path = os.path.join(TOP, m["file"])
        if not os.path.exists(path) or "context" not in m:
            gone += 1
            continue
        with open(path, encoding="utf-8") as f:
            text = f.read()
        lines = text.split("\n")
        starts = [0]
        for l in lines[:-1]:
            starts.append(starts[-1] + len(l) + 1)
        found = sorted((abs(k + 1 - m["line"]), k) for k, l in enumerate(lines)
                       if l == m["context"])
        placed = False
        for _, k in found:
            off = starts[k] + m["column"]
            if text[off:off + m["length"]] == m["original"]:
                n = dict((key, m[key]) for key in ("file", "length", "replacement", "what",
                                                    "original", "column", "context"))
                n.update(line=k + 1, offset=off)
                plan.append(n)
                placed = True
                break
        gone += not placed
    return plan, gone


def spread(items, count, phase=1):
    """count of the items, evenly spaced; phase 1 takes the middle of each
    stretch, phase 0 its start (a set disjoint from phase 1's)."""
    if count >= len(items):
        return list(items) if phase else []
    return [items[(2 * k + phase) * len(items) // (2 * count)] for k in range(count)]


# --- Building and running ---------------------------------------------------

def run_quiet(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kw)


def configure(build_dir, flags):
    if os.path.exists(os.path.join(build_dir, "build.ninja")):
        return
    cmd = ["cmake", "-S", TOP, "-B", build_dir, "-G", "Ninja",
           "-DCMAKE_BUILD_TYPE=None", "-DDRIFT_BUILD_BENCH=OFF",
           "-DDRIFT_WERROR=OFF", "-DDRIFT_STATIC_TOOL_LIBS=OFF",
           "-DCMAKE_CXX_FLAGS=" + flags, "-DCMAKE_C_FLAGS=" + flags]
    if shutil.which("ccache"):
        cmd += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    # Most of a mutant's build is linking the programs that use the changed
    # file; mold links them several times faster than the default linker.
    link_flags = "-fuse-ld=mold" if shutil.which("mold") else ""
    if "--coverage" in flags:
        link_flags += " --coverage"
    cmd += ["-DCMAKE_EXE_LINKER_FLAGS=" + link_flags.strip()]
    r = run_quiet(cmd)
    if r.returncode != 0:
        sys.exit("mutate: cannot configure %s:\n%s" % (build_dir, r.stdout))


def build(build_dir, targets=()):
    return run_quiet(["ninja", "-C", build_dir] + list(targets))


def list_tests(build_dir):
    r = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    tests = []
    for t in json.loads(r.stdout)["tests"]:
        cmd = t.get("command") or []
        filt = [a for a in cmd if a.startswith("--gtest_filter=")]
        if not cmd or not filt:
            continue
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        env = dict(e.split("=", 1) for e in props.get("ENVIRONMENT", []))
        tests.append({"name": t["name"], "exe": os.path.relpath(cmd[0], build_dir),
                      "filter": filt[0][len("--gtest_filter="):],
                      "e2e": "e2e" in props.get("LABELS", []), "env": env})
    return tests


def kill_strays(tmp):
    """Ends every process whose program lies below tmp (daemons that a test
    under a mutant left behind), then removes what the tests left there."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % pid).startswith(tmp + "/"):
                os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp, exist_ok=True)


def start_batch(build_dir, batch, tmp, log):
    env = dict(os.environ)
    env.update(batch[0]["env"])
    env["TMPDIR"] = tmp
    env["DRIFT_BUILD_DIR"] = build_dir
    cmd = [os.path.join(build_dir, batch[0]["exe"]),
           "--gtest_filter=" + ":".join(t["filter"] for t in batch)]
    return subprocess.Popen(cmd, cwd=os.path.dirname(cmd[0]), env=env,
                            stdout=log, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def stop(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    proc.wait()


def failed_in(log, batch):
    """The tests of a batch that failed, from the program's output: those
    reported failed, and the one still running when it crashed or was
    stopped."""
    log.seek(0)
    failed, running = [], None
    for line in log.read().decode("utf-8", "replace").splitlines():
        if line.startswith("[ RUN      ] "):
            running = line[13:].strip()
        elif line.startswith("[       OK ] "):
            running = None
        elif line.startswith("[  FAILED  ] ") and running is not None:
            failed.append(running)
            running = None
    if running is not None:
        failed.append(running)
    names = {t["name"] for t in batch}
    failed = [n for n in failed if n in names]
    return failed or [t["name"] for t in batch]


def run_tests(build_dir, tests, durations, jobs, tmp, stop_on_failure=True, batch_seconds=20):
    """Runs the tests in batches (one program each, at most about
    batch_seconds of tests) on `jobs` workers.  Returns (names of failed
    tests, timed out?).  With stop_on_failure, the first failure ends the run."""
    batches = []
    for exe in sorted({t["exe"] for t in tests},
                      key=lambda e: sum(durations.get(t["name"], 1) for t in tests
                                        if t["exe"] == e)):
        batch, spent = [], 0.0
        for t in (t for t in tests if t["exe"] == exe):
            if batch and (spent > batch_seconds or len(batch) >= 200):
                batches.append(batch)
                batch, spent = [], 0.0
            batch.append(t)
            spent += durations.get(t["name"], 1)
        batches.append(batch)
    failed, timed_out = [], False
    running = []
    while batches or running:
        while batches and len(running) < jobs and not (failed and stop_on_failure):
            b = batches.pop(0)
            limit = 30 + 4 * sum(durations.get(t["name"], 1) for t in b)
            log = tempfile.TemporaryFile()
            running.append((start_batch(build_dir, b, tmp, log), b, time.time() + limit, log))
        if not running:
            break
        time.sleep(0.02)
        for item in list(running):
            proc, b, deadline, log = item
            if proc.poll() is None and time.time() < deadline:
                continue
            if proc.poll() is None:
                stop(proc)
                timed_out = True
                failed.extend(failed_in(log, b))
            elif proc.returncode != 0:
                failed.extend(failed_in(log, b))
            log.close()
            running.remove(item)
            if failed and stop_on_failure:
                for other in running:
                    stop(other[0])
                    other[3].close()
                running = []
                batches = []
                break
    return failed, timed_out


# --- The coverage map -------------------------------------------------------

def sources_digest():
    h = hashlib.sha256()
    for folder in FOLDERS + ["tests"]:
        d = os.path.join(TOP, folder)
        for name in sorted(os.listdir(d)):
            if name.endswith((".cc", ".h", ".txt", ".sh")):
                with open(os.path.join(d, name), "rb") as f:
                    h.update(name.encode() + f.read())
    return h.hexdigest()


def gcov_lines(build_dir):
    """{source file: set of lines run} from the .gcda files present now."""
    gcdas = []
    for root, _, names in os.walk(build_dir):
        gcdas += [os.path.join(root, n) for n in names if n.endswith(".gcda")]
    covered = {}
    for k in range(0, len(gcdas), 40):
        r = subprocess.run(["gcov", "--stdout", "--json-format"] + gcdas[k:k + 40],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           cwd=build_dir)
        for doc in r.stdout.decode("utf-8", "replace").splitlines():
            if not doc.startswith("{"):
                continue
            for f in json.loads(doc).get("files", []):
                path = os.path.realpath(os.path.join(build_dir, f["file"]))
                if not path.startswith(TOP + "/"):
                    continue
                rel = os.path.relpath(path, TOP)
                lines = {l["line_number"] for l in f["lines"] if l["count"] > 0}
                if lines:
                    covered.setdefault(rel, set()).update(lines)
    return covered


def coverage_map():
    map_file = os.path.join(COV_DIR, "coverage-map.json")
    digest = sources_digest()
    if os.path.exists(map_file):
        with open(map_file) as f:
            cached = json.load(f)
        if cached.get("digest") == digest:
            return cached
    print("mutate: building with coverage in %s" % COV_DIR, flush=True)
    configure(COV_DIR, "-O0 --coverage")
    r = build(COV_DIR)
    if r.returncode != 0:
        sys.exit("mutate: the coverage build failed:\n" + r.stdout[-4000:])
    tests = list_tests(COV_DIR)
    tmp = os.path.join(COV_DIR, "tmp")
    print("mutate: running %d tests one by one for their coverage" % len(tests), flush=True)
    reach = {}  # "file:line" -> [test names]
    durations = {}
    for i, t in enumerate(tests):
        for root, _, names in os.walk(COV_DIR):
            for n in names:
                if n.endswith(".gcda"):
                    os.unlink(os.path.join(root, n))
        kill_strays(tmp)
        began = time.time()
        failed, _ = run_tests(COV_DIR, [t], {}, 1, tmp)
        kill_strays(tmp)
        durations[t["name"]] = round(time.time() - began, 3)
        if failed:
            print("mutate: %s fails unmutated; left out" % t["name"], flush=True)
            continue
        for rel, lines in gcov_lines(COV_DIR).items():
            for line in lines:
                reach.setdefault("%s:%d" % (rel, line), []).append(t["name"])
        if (i + 1) % 50 == 0:
            print("mutate:   %d/%d" % (i + 1, len(tests)), flush=True)
    cached = {"digest": digest, "reach": reach, "durations": durations}
    with open(map_file, "w") as f:
        json.dump(cached, f)
    return cached


# --- The run ----------------------------------------------------------------

def apply(mutant, original):
    off, length = mutant["offset"], mutant["length"]
    return original[:off] + mutant["replacement"] + original[off + length:]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sample", type=int, help="run only N of the mutants, spread evenly")
    ap.add_argument("--folder", action="append", help="only mutants in this folder")
    ap.add_argument("--file", action="append", help="only mutants in this file")
    ap.add_argument("--holdout", action="store_true",
                    help="a second set of mutants, disjoint from the fixed one")
    ap.add_argument("--killers", action="store_true",
                    help="run every unit test that reaches a mutant (and the end-to-end "
                         "tests up to the first that kills it) and record which kill it")
    ap.add_argument("--out", help="results file (default build-mutate/mutants.json)")
    ap.add_argument("--plan", help="the mutants of an earlier run's results file, found "
                                   "again in the sources as they are now")
    ap.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = ap.parse_args()
    # A stopped run still puts the mutated file back (finally blocks run).
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: sys.exit(1))

    gone = 0
    if args.plan:
        plan, gone = replan(args.plan)
    else:
        plan = plan_mutants(source_files(), args.holdout)
    if args.folder:
        plan = [m for m in plan if m["file"].split("/")[0] in args.folder]
    if args.file:
        plan = [m for m in plan if m["file"] in args.file]
    if args.sample:
        plan = spread(plan, args.sample)
    if args.list:
        for m in plan:
            print("%s:%d: %s" % (m["file"], m["line"], m["what"]))
        print("%d mutants" % len(plan))
        return 0

    began = time.time()
    cov = coverage_map()
    reach, durations = cov["reach"], cov["durations"]
    depth = {}  # (file, test) -> lines of the file the test runs
    for where, names in reach.items():
        rel = where.rsplit(":", 1)[0]
        for n in names:
            depth[(rel, n)] = depth.get((rel, n), 0) + 1
    configure(MUT_DIR, "-O0")
    r = build(MUT_DIR)
    if r.returncode != 0:
        sys.exit("mutate: the unmutated build failed:\n" + r.stdout[-4000:])
    tests = {t["name"]: t for t in list_tests(MUT_DIR)}
    tmp = os.path.join(MUT_DIR, "tmp")
    programs = [t for t in re.findall(r"^build ([^ :]+): CXX_EXECUTABLE_LINKER__(\S+)",
                                      open(os.path.join(MUT_DIR, "build.ninja")).read(), re.M)
                if not t[1].endswith("_test")]
    print("mutate: %d mutants, %d tests" % (len(plan), len(tests)), flush=True)
    if gone:
        print("mutate: %d mutants of the earlier run are on lines that are gone" % gone,
              flush=True)

    out_file = args.out or os.path.join(MUT_DIR, "mutants.json")
    results = []
    for i, m in enumerate(plan):
        mutant_began = time.time()
        path = os.path.join(TOP, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        names = [n for n in reach.get("%s:%d" % (m["file"], m["line"]), []) if n in tests]
        if not names:
            m["result"] = "survived"
            m["note"] = "no test reaches the line"
        else:
            # Unit tests fastest first; of the end-to-end tests, those that
            # run most of the mutated file first (the tests written for it).
            def rank(t):
                runs = depth.get((m["file"], t["name"]), 0) if t["e2e"] else 0
                return (t["e2e"], -runs, durations.get(t["name"], 1))
            chosen = sorted((tests[n] for n in names), key=rank)
            chosen = ([t for t in chosen if not t["e2e"]] +
                      [t for t in chosen if t["e2e"]][:E2E_PER_MUTANT])
            targets = sorted({t["exe"] for t in chosen})
            if any(t["e2e"] for t in chosen):
                targets += [p[0] for p in programs]
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(apply(m, original))
                r = build(MUT_DIR, targets)
                if r.returncode != 0:
                    m["result"] = "not viable"
                else:
                    # Unit tests first; with --killers all of them run, so that
                    # every unit test that kills the mutant is known.
                    kill_strays(tmp)
                    unit = [t for t in chosen if not t["e2e"]]
                    e2e = [t for t in chosen if t["e2e"]]
                    failed, timed_out = run_tests(MUT_DIR, unit, durations, args.jobs, tmp,
                                                  stop_on_failure=not args.killers)
                    if e2e and (args.killers or not failed):
                        more, more_timed_out = run_tests(MUT_DIR, e2e, durations, E2E_JOBS,
                                                         tmp, batch_seconds=3)
                        failed += more
                        timed_out = timed_out or more_timed_out
                    kill_strays(tmp)
                    if args.killers:
                        m["killers"] = failed
                    m["result"] = "killed" if failed else "survived"
                    if failed:
                        m["note"] = ("timeout: " if timed_out else "") + failed[0]
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
        results.append(m)
        with open(out_file, "w") as f:
            json.dump(results, f, indent=1)
        print("mutate: [%d/%d] %-10s %s:%d %s (%.0f s)" % (
            i + 1, len(plan), m["result"], m["file"], m["line"], m["what"],
            time.time() - mutant_began), flush=True)
    build(MUT_DIR)

    report(results, time.time() - began)
    return 0


def report(results, seconds):
    print("\n| Folder | Planted | Killed | Survived | Not viable | Kill rate |")
    print("|---|---|---|---|---|---|")
    totals = [0, 0, 0, 0]
    for folder in FOLDERS:
        rs = [m for m in results if m["file"].startswith(folder + "/")]
        if not rs:
            continue
        killed = sum(m["result"] == "killed" for m in rs)
        survived = sum(m["result"] == "survived" for m in rs)
        dead = sum(m["result"] == "not viable" for m in rs)
        planted = killed + survived
        for k, v in enumerate((planted, killed, survived, dead)):
            totals[k] += v
        print("| %s | %d | %d | %d | %d | %s |" % (folder, planted, killed, survived, dead,
                                                   rate(killed, planted)))
    print("| all | %d | %d | %d | %d | %s |" % (totals[0], totals[1], totals[2], totals[3],
                                                rate(totals[1], totals[0])))
    print("\nSurvivors:")
    for m in results:
        if m["result"] == "survived":
            print("  %s:%d: %s%s" % (m["file"], m["line"], m["what"],
                                     " (%s)" % m["note"] if m.get("note") else ""))
    print("\n%.0f s" % seconds)


def rate(killed, planted):
    return "%.1f%%" % (100.0 * killed / planted) if planted else "-"


if __name__ == "__main__":
    sys.exit(main())
