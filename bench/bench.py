#!/usr/bin/env python3
"""Benchmarks of the helper's recursive delete and engine copy against the platform's own
tools, run by bench/run.sh. It measures and reports; no number ever fails anything.

Every Windows contender runs under Wine in one sandboxed prefix of the build tree, each on
its own identical copy (cp -a, attributes and extended attributes kept) of a template tree
in that prefix's drive C:. Wall time covers the whole process, Wine's start included.
"""

import argparse
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
# By full path: a bare "cmd" makes wine64 go through start.exe, one more process.
CMD = "C:\\windows\\system32\\cmd.exe"
XCOPY = "C:\\windows\\system32\\xcopy.exe"


STARTED = time.time()


def log(text):
    print("[%5.0f s] %s" % (time.time() - STARTED, text), file=sys.stderr, flush=True)


# ---------------------------------------------------------------- trees

def file_tree_spec(files):
    """Folders of 10 files, 10 folders per folder, as deep as the count needs."""
    leaf_dirs = max(1, files // 10)
    depth = 0
    while 10 ** depth < leaf_dirs:
        depth += 1
    return {"kind": "files", "files": files, "depth": depth}


def build_file_tree(root, files, depth):
    """Every 10th file read-only (chmod a-w, which Wine reports as read-only), every 20th
    file and every 50th folder hidden (user.DOSATTRIB "0x2", where Wine keeps DOS
    attributes). Returns the expected counts."""
    counts = {"files": 0, "dirs": 0, "readonly": 0, "hidden": 0}
    leaf_dirs = max(1, files // 10)
    content = b"x" * 100
    for leaf in range(leaf_dirs):
        parts = []
        n = leaf
        for _ in range(depth):
            parts.append("d%d" % (n % 10))
            n //= 10
        path = root
        for level, part in enumerate(reversed(parts)):
            path = os.path.join(path, part)
            if not os.path.isdir(path):
                os.mkdir(path)
                counts["dirs"] += 1
                if counts["dirs"] % 50 == 0:
                    os.setxattr(path, "user.DOSATTRIB", b"0x2")
                    counts["hidden"] += 1
        in_this = 10 if leaf < leaf_dirs - 1 else files - 10 * (leaf_dirs - 1)
        for i in range(in_this):
            number = counts["files"]
            name = os.path.join(path, "file%06d.dat" % number)
            with open(name, "wb") as f:
                f.write(content)
            counts["files"] += 1
            if number % 10 == 3:
                os.chmod(name, 0o444)
                counts["readonly"] += 1
            elif number % 20 == 7:
                os.setxattr(name, "user.DOSATTRIB", b"0x2")
                counts["hidden"] += 1
    return counts


def build_chain(root, depth):
    path = root
    for _ in range(depth):
        path = os.path.join(path, "d")
        os.mkdir(path)
    with open(os.path.join(path, "leaf.dat"), "wb") as f:
        f.write(b"x" * 100)
    return {"files": 1, "dirs": depth, "readonly": 0, "hidden": 0}


def build_engine_files(root, count, size):
    """Files as an engine folder holds them: the first three named like the engine's
    control, companion file and library, the rest plain data files."""
    names = ["wbentx.ocx", "wbentx.lic", "wbx64.dll"] + ["data%05d.bin" % i for i in range(max(0, count - 3))]
    block = os.urandom(size)
    for name in names[:count]:
        with open(os.path.join(root, name), "wb") as f:
            f.write(block)
    return {"files": count, "dirs": 0, "readonly": 0, "hidden": 0}


# ---------------------------------------------------------------- running

class Bench:
    def __init__(self, args):
        self.args = args
        self.root = os.path.abspath(args.root)
        self.build = os.path.join(self.root, "build", "mingw")
        self.prefix = os.path.join(self.build, "bench-prefix")
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.base = os.path.join(self.drive_c, "qelbench")
        self.templates = os.path.join(self.base, "templates")
        self.work = os.path.join(self.base, "work")
        self.programs = os.path.abspath(args.programs) if args.programs else os.path.join(self.build, "bench")
        # The project's trace capture tool; a copy beside the programs wins, for a run from a
        # snapshot of the programs while the build goes on.
        self.trace_tool = os.path.join(self.programs, "qel_trace.exe")
        if not os.path.exists(self.trace_tool):
            self.trace_tool = os.path.join(self.build, "tools", "qel_trace.exe")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, HOME=self.prefix + ".home", WINEDEBUG="-all")
        self.env.pop("DISPLAY", None)

    def win(self, linux_path):
        rel = os.path.relpath(linux_path, self.drive_c)
        assert not rel.startswith(".."), linux_path
        return "C:\\" + rel.replace("/", "\\")

    def prepare_prefix(self):
        # The project's runner creates and sandboxes the prefix; every timed run then starts
        # wine64 directly, so that the runner's own checks are not part of the numbers.
        subprocess.run([os.path.join(self.root, "scripts", "wine-run.sh"), "--prefix", self.prefix,
                        os.path.join(self.programs, "qel_bench.exe"), "noop"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.check_sandbox()
        # One wineserver for the whole run, as on a machine where Wine is already in use. The
        # runner's server ends 30 s after its last program: wait for that, since "-p" does
        # not make a running server persistent, and a server that ends between two rounds
        # makes the next round pay for starting Wine again. Wine's background processes
        # (services, explorer) start with the first program and hold its output until the
        # server ends: they start here, with the output going nowhere, and not in a timed
        # run whose output the benchmark reads.
        subprocess.run([WINESERVER, "-w"], env=self.env)
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
        subprocess.run([WINE, "qel_bench.exe", "noop"], cwd=self.programs, env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        os.makedirs(self.templates, exist_ok=True)
        os.makedirs(self.work, exist_ok=True)

    def check_sandbox(self):
        if os.path.lexists(os.path.join(self.prefix, "dosdevices", "z:")):
            sys.exit("bench prefix is not sandboxed: drive Z: exists")
        for top, dirs, files in os.walk(os.path.join(self.drive_c, "users")):
            for name in dirs + files:
                if os.path.islink(os.path.join(top, name)):
                    sys.exit("bench prefix is not sandboxed: link " + os.path.join(top, name))

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)

    def wine(self, *arguments, capture=True, cwd=None):
        start = time.perf_counter()
        done = subprocess.run([WINE] + list(arguments), cwd=cwd or self.programs, env=self.env,
                              stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
        return time.perf_counter() - start, done

    def template(self, name, builder, *params):
        """Builds a template once; a stamp with its parameters tells when it can be reused."""
        path = os.path.join(self.templates, name)
        stamp = path + ".json"
        wanted = {"builder": builder.__name__, "params": list(params), "version": 2}
        if os.path.isdir(path) and os.path.exists(stamp):
            with open(stamp) as f:
                saved = json.load(f)
            if saved.get("wanted") == wanted:
                return path, saved["counts"]
        if os.path.exists(path):
            subprocess.run(["rm", "-rf", path], check=True)
        os.mkdir(path)
        log("  building template %s" % name)
        counts = builder(path, *params)
        with open(stamp, "w") as f:
            json.dump({"wanted": wanted, "counts": counts}, f)
        return path, counts

    def census(self, path):
        _, done = self.wine("qel_bench.exe", "census", self.win(path))
        return dict(kv.split("=") for kv in done.stdout.split())

    def fresh_copy(self, template, name):
        target = os.path.join(self.work, name)
        if os.path.lexists(target):
            subprocess.run(["rm", "-rf", target], check=True)
        subprocess.run(["cp", "-a", "--preserve=all", template, target], check=True)
        os.sync()  # nothing of the copy is left to write back during the timed run
        return target


def remaining_entries(path):
    """Entries left below path (path itself not counted); 0 when it is gone. find walks any depth."""
    if not os.path.lexists(path):
        return 0
    done = subprocess.run(["find", path, "-mindepth", "1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return done.stdout.count(b"\n")


def pressure():
    """Seconds so far that tasks of this machine spent stalled on I/O (all at once) and
    waiting for a processor (some of them): the kernel's pressure counters, to tell rounds
    slowed by other work on the machine. None where the kernel does not keep them."""
    def total(name, kind):
        try:
            with open("/proc/pressure/" + name) as f:
                for line in f:
                    if line.startswith(kind):
                        return int(line.rsplit("total=", 1)[1]) / 1e6
        except OSError:
            return None
        return None
    return total("io", "full"), total("cpu", "some")


def contention(before, after):
    return {"io_stall_s": None if before[0] is None else after[0] - before[0],
            "cpu_wait_s": None if before[1] is None else after[1] - before[1]}


def parse_pairs(text):
    pairs = {}
    for token in text.split():
        if "=" in token:
            key, value = token.split("=", 1)
            pairs[key] = value
    return pairs


def summary(samples):
    samples = sorted(samples)
    return {"median": statistics.median(samples), "min": samples[0], "max": samples[-1], "n": len(samples),
            "samples": samples}


# ---------------------------------------------------------------- the measurements

DELETE_CONTENDERS = ["helper", "baseline", "rd", "rm"]


def run_delete(bench, template, tree_name, reps, results_tree):
    """Every contender on its own fresh copy, the order rotated from one round to the next."""
    contenders = [c for c in DELETE_CONTENDERS if c in bench.args.contenders.split(",")]
    times = {c: [] for c in contenders}
    failures = {c: [] for c in contenders}
    stalls = {c: [] for c in contenders}
    inside = []
    for rep in range(reps):
        order = contenders[rep % len(contenders):] + contenders[:rep % len(contenders)]
        for contender in order:
            target = bench.fresh_copy(template, "%s-%s" % (tree_name, contender))
            before = pressure()
            if contender in ("helper", "baseline"):
                # The baseline is the same program built from another commit (--baseline).
                programs = bench.args.baseline if contender == "baseline" else bench.programs
                seconds, done = bench.wine(os.path.join(programs, "qel_bench.exe"), "delete", bench.win(target),
                                           cwd=programs)
                pairs = parse_pairs(done.stdout)
                if contender == "helper":
                    inside.append(pairs)
                left = remaining_entries(target)
                ok = done.returncode == 0 and left == 0 and os.path.isdir(target)
            elif contender == "rd":
                seconds, done = bench.wine(CMD, "/c", "rd", "/s", "/q", bench.win(target))
                left = remaining_entries(target)
                ok = not os.path.lexists(target)
            else:
                start = time.perf_counter()
                subprocess.run(["rm", "-rf", target], check=True)
                seconds = time.perf_counter() - start
                left = remaining_entries(target)
                ok = not os.path.lexists(target)
            stalls[contender].append(contention(before, pressure()))
            times[contender].append(seconds)
            if not ok:
                failures[contender].append(left)
            if os.path.lexists(target):
                subprocess.run(["rm", "-rf", target], check=True)
    for contender in contenders:
        results_tree[contender] = summary(times[contender])
        results_tree[contender]["failures"] = failures[contender]
        results_tree[contender]["rounds"] = times[contender]  # in the order run, beside their contention
        results_tree[contender]["contention"] = stalls[contender]
    results_tree["helper_inside"] = {
        "in_process_s": summary([float(p.get("in_process_s", "nan")) for p in inside]),
        "rounds": [float(p.get("in_process_s", "nan")) for p in inside],  # in the order run
        "stack_peak_bytes": max(int(p.get("stack_peak_bytes", "0").rstrip("+")) for p in inside),
        "peak_working_set_kb": max(int(p.get("peak_working_set_kb", "0")) for p in inside),
        "peak_private_kb": max(int(p.get("peak_private_kb", "0")) for p in inside),
    }


def run_trace_cost(bench, template, tree_name, reps, results_tree):
    """The helper's delete with a debugger capturing every trace line (the trace capture
    tool qel_trace.exe, its output read through a pipe as a viewer reads it), and with
    the output call left out, against the same delete with nobody listening (the plain runs
    above)."""
    times = []
    inside = []
    lines = None
    for _ in range(reps):
        target = bench.fresh_copy(template, "%s-traced" % tree_name)
        seconds, done = bench.wine(bench.trace_tool, "qel_bench.exe", "delete", bench.win(target))
        # Under Wine the debuggee writes to the same standard output as the tool: its one
        # line of results among the trace lines.
        output = done.stdout.splitlines()
        results = [line for line in output if line.startswith("result=")]
        if done.returncode == 0 and remaining_entries(target) == 0 and len(results) == 1:
            times.append(seconds)
            inside.append(float(parse_pairs(results[0]).get("in_process_s", "nan")))
            lines = len(output) - 1
        subprocess.run(["rm", "-rf", target], check=True)
    # The third case: the lines are formatted but never handed to OutputDebugStringW.
    quiet, quiet_inside = [], []
    for _ in range(reps):
        target = bench.fresh_copy(template, "%s-nooutput" % tree_name)
        seconds, done = bench.wine("qel_bench.exe", "nooutput", bench.win(target))
        if done.returncode == 0 and remaining_entries(target) == 0:
            quiet.append(seconds)
            quiet_inside.append(float(parse_pairs(done.stdout).get("in_process_s", "nan")))
        subprocess.run(["rm", "-rf", target], check=True)
    if quiet:
        results_tree["helper_nooutput"] = summary(quiet)
        results_tree["helper_nooutput_inside"] = summary(quiet_inside)
    if times:
        results_tree["helper_traced"] = summary(times)
        results_tree["helper_traced_inside"] = summary(inside)
        results_tree["trace_lines"] = lines


def run_profile(bench, template, tree_name, results_tree):
    """One delete with every platform call counted and timed: where the time goes."""
    target = bench.fresh_copy(template, "%s-profile" % tree_name)
    _, done = bench.wine("qel_bench.exe", "profile", bench.win(target))
    results_tree["profile"] = parse_pairs(done.stdout)
    subprocess.run(["rm", "-rf", target], check=True)


COPY_CONTENDERS = ["helper", "copy", "xcopy", "cp"]


def run_copy(bench, template, set_name, reps, results_set):
    times = {c: [] for c in COPY_CONTENDERS}
    failures = {c: 0 for c in COPY_CONTENDERS}
    expected = sorted(os.listdir(template))
    for rep in range(reps):
        order = COPY_CONTENDERS[rep % 4:] + COPY_CONTENDERS[:rep % 4]
        for contender in order:
            target = os.path.join(bench.work, "%s-%s" % (set_name, contender))
            if os.path.lexists(target):
                subprocess.run(["rm", "-rf", target], check=True)
            os.mkdir(target)
            os.sync()
            src, dst = bench.win(template), bench.win(target)
            if contender == "helper":
                seconds, done = bench.wine("qel_bench.exe", "copy", src, dst)
            elif contender == "copy":
                seconds, done = bench.wine(CMD, "/c", "copy", "/y", src + "\\*.*", dst + "\\", capture=False)
            elif contender == "xcopy":
                seconds, done = bench.wine(XCOPY, src, dst, "/y", "/q", capture=False)
            else:
                start = time.perf_counter()
                files = [os.path.join(template, name) for name in expected]
                subprocess.run(["cp"] + files + [target + "/"], check=True)
                seconds = time.perf_counter() - start
            times[contender].append(seconds)
            if sorted(os.listdir(target)) != expected:
                failures[contender] += 1
            subprocess.run(["rm", "-rf", target], check=True)
    for contender in COPY_CONTENDERS:
        results_set[contender] = summary(times[contender])
        results_set[contender]["failures"] = failures[contender]


def run_startup(bench, reps):
    empty = [bench.wine("qel_bench.exe", "noop")[0] for _ in range(reps)]
    cmd = [bench.wine(CMD, "/c", "exit", capture=False)[0] for _ in range(reps)]
    return {"empty_program": summary(empty), "cmd_exit": summary(cmd)}


def machine_state():
    def read(command):
        try:
            return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
        except OSError:
            return "?"
    return {
        "load": os.getloadavg(),
        "cpus": os.cpu_count(),
        "cpu_model": read(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"]),
        "memory_gib": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30),
        "kernel": platform.release(),
        "wine": read([WINE, "--version"]),
        "filesystem": read(["findmnt", "-n", "-o", "FSTYPE", "-T", "."]),
        "when": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
    }


def save(results, path):
    """Written after every tree too, so that a long run can be looked at while it goes."""
    with open(path + ".tmp", "w") as f:
        json.dump(results, f, indent=1)
    os.replace(path + ".tmp", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    parser.add_argument("--quick", action="store_true", help="tiny trees, 2 rounds: a smoke test in seconds")
    parser.add_argument("--reps", type=int, default=None)
    parser.add_argument("--results", required=True, help="JSON file for the raw results")
    parser.add_argument("--only", default=None, help="comma-separated tree names (for a partial run)")
    parser.add_argument("--contenders", default="helper,rd,rm", help="which deletes to run (for a partial run)")
    parser.add_argument("--no-trace", action="store_true", help="leave out the traced runs (for a partial run)")
    parser.add_argument("--programs", default=None, help="folder of qel_bench.exe (default: the build's)")
    parser.add_argument("--baseline", default=None,
                        help="folder of a qel_bench.exe built from another commit: the contender 'baseline' "
                             "(add it to --contenders) deletes with that build's code, in the same rounds")
    args = parser.parse_args()

    bench = Bench(args)
    reps = args.reps or (2 if args.quick else 5)
    if args.quick:
        trees = [("files-100", file_tree_spec(100)), ("chain-1", {"kind": "chain", "depth": 1}),
                 ("chain-10", {"kind": "chain", "depth": 10})]
        copies = [("engine-3", 3, 64 * 1024)]
    else:
        trees = [("files-1000", file_tree_spec(1000)), ("files-10000", file_tree_spec(10000)),
                 ("files-100000", file_tree_spec(100000)), ("chain-1", {"kind": "chain", "depth": 1}),
                 ("chain-100", {"kind": "chain", "depth": 100}), ("chain-1000", {"kind": "chain", "depth": 1000})]
        copies = [("engine-3", 3, 4 * 1024 * 1024), ("files-100", 100, 64 * 1024), ("files-1000", 1000, 64 * 1024)]
    if args.only:
        wanted = args.only.split(",")
        trees = [t for t in trees if t[0] in wanted]
        copies = [c for c in copies if "copy-" + c[0] in wanted]

    results = {"machine_before": machine_state(), "reps": reps, "quick": args.quick, "trees": {}, "copies": {}}
    bench.prepare_prefix()
    try:
        log("start-up of an empty Wine program")
        results["startup"] = run_startup(bench, max(reps, 10))
        for name, shape in trees:
            if shape["kind"] == "files":
                template, counts = bench.template(name, build_file_tree, shape["files"], shape["depth"])
            else:
                template, counts = bench.template(name, build_chain, shape["depth"])
            census = bench.census(template)
            tree = {"shape": shape, "counts": counts, "census": census,
                    "entries": counts["files"] + counts["dirs"]}
            results["trees"][name] = tree
            for key in ("files", "dirs", "readonly", "hidden"):
                if int(census.get(key, -1)) != counts[key]:
                    sys.exit("template %s: Wine lists %s=%s, built %d" % (name, key, census.get(key), counts[key]))
            tree_started = time.time()
            log("delete %s (%d entries): %d rounds" % (name, tree["entries"], reps))
            run_delete(bench, template, name, reps, tree)
            if not args.no_trace:
                log("  traced")
                run_trace_cost(bench, template, name, reps, tree)
            log("  profile")
            run_profile(bench, template, name, tree)
            tree["seconds_taken"] = time.time() - tree_started
            save(results, args.results)
        for name, count, size in copies:
            template, counts = bench.template("copy-" + name, build_engine_files, count, size)
            log("copy %s (%d files of %d KiB): %d rounds" % (name, count, size // 1024, reps))
            results["copies"][name] = {"files": count, "size": size}
            run_copy(bench, template, name, reps, results["copies"][name])
            save(results, args.results)
    finally:
        bench.stop()
        subprocess.run(["rm", "-rf", bench.work])
    results["machine_after"] = machine_state()
    results["seconds_taken"] = time.time() - STARTED
    save(results, args.results)
    log("results in %s" % args.results)


if __name__ == "__main__":
    main()
