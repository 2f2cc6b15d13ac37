#!/usr/bin/env python3
"""Writes docs/benchmarks.md and its plot from the raw results of bench.py.

  report.py RESULTS.json MARKDOWN PNG [--notes FINDINGS.md]

With --notes, the findings written from a run are put in after the tables.
"""

import argparse
import json
import os
import subprocess
import tempfile

TREE_ORDER = ["files-100", "files-1000", "files-10000", "files-100000", "chain-1", "chain-10", "chain-100",
              "chain-1000"]


def ms(seconds):
    if seconds is None:
        return "-"
    if seconds >= 10:
        return "%.1f s" % seconds
    if seconds >= 1:
        return "%.2f s" % seconds
    return "%.0f ms" % (seconds * 1000) if seconds >= 0.1 else "%.1f ms" % (seconds * 1000)


def spread(s):
    """The median with the range of all rounds."""
    text = "%s (%s to %s)" % (ms(s["median"]), ms(s["min"]), ms(s["max"]))
    if s.get("failures"):
        text += " **failed %d of %d**" % (len(s["failures"]) if isinstance(s["failures"], list) else s["failures"],
                                          s["n"])
    return text


def ratio(a, b):
    if not b or a != a or b != b:  # nothing to divide, or a side without a time (NaN)
        return "-"
    return "%.2f" % (a / b) if a / b < 10 else "%.0f" % (a / b)


def net_ratio(a, b):
    """A ratio of times with the start-up taken off; below 10 ms that is noise."""
    if a != a or b != b or a < 0.010 or b < 0.010:
        return "-"
    return ratio(a, b)


def trees_in_order(results):
    names = [n for n in TREE_ORDER if n in results["trees"]]
    return names + [n for n in results["trees"] if n not in names]


def describe(tree):
    c = tree["census"]
    if tree["shape"]["kind"] == "chain":
        dirs = int(c["dirs"])
        return "%s nested folder%s, 1 file" % (format(dirs, ","), "" if dirs == 1 else "s")
    return "%s files (%s read-only, %s hidden entries) in %s folders, %d levels below the top" % (
        format(int(c["files"]), ","), format(int(c["readonly"]), ","), format(int(c["hidden"]), ","),
        format(int(c["dirs"]), ","), tree["shape"]["depth"])


def machine(state):
    load = ", ".join("%.2f" % x for x in state["load"])
    return "load average %s (1, 5, 15 min)" % load


def duration(seconds):
    return "%d min %02d s" % (seconds // 60, seconds % 60) if seconds >= 60 else "%.0f s" % seconds


def conditions(results):
    before, after = results["machine_before"], results["machine_after"]
    cpu = " (%s, %s GiB)" % (before["cpu_model"], before["memory_gib"]) if before.get("cpu_model") else ""
    taken = " The whole run took %s." % duration(results["seconds_taken"]) if "seconds_taken" in results else ""
    return [
        "- Taken %s on a %d-core virtual machine%s, Linux %s, %s, file system %s. Other developers were building "
        "and running Wine test suites on the same machine at the same time, so every figure is the median of %d "
        "rounds with the range of all rounds beside it.%s" % (
            before["when"], before["cpus"], cpu, before["kernel"], before["wine"], before["filesystem"],
            results["reps"], taken),
        "- Machine load at the start: %s; at the end: %s." % (machine(before), machine(after)),
        "- Every contender works on its own identical copy of the same template tree (`cp -a --preserve=all`, which "
        "keeps the Unix modes and the `user.DOSATTRIB` extended attribute in which Wine keeps DOS attributes), "
        "made and written to disk (`sync`) before the timed run. In each round the contenders take turns in a "
        "rotated order.",
        "- Times are wall times of the whole process, measured from Linux: for the Windows contenders they include "
        "starting a Wine process in the (already running) prefix. One `wineserver` serves the whole run.",
    ]


def deletion_table(results):
    empty = results["startup"]["empty_program"]["median"]
    rows = ["| tree | entries | helper | `rd /s /q` | `rm -rf` | helper / `rd` | helper / `rm` | `rd` / `rm` | "
            "helper / `rd`, start-up taken off |",
            "|---|---:|---|---|---|---:|---:|---:|---:|"]
    cmd = results["startup"]["cmd_exit"]["median"]
    for name in trees_in_order(results):
        t = results["trees"][name]
        # A contender that failed every round has no time for the work: no ratio with it.
        h, r, m = plotted(t["helper"]), plotted(t["rd"]), plotted(t["rm"])
        rows.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            name, format(t["entries"], ","), spread(t["helper"]), spread(t["rd"]), spread(t["rm"]), ratio(h, r),
            ratio(h, m), ratio(r, m), net_ratio(h - empty, r - cmd)))
    return rows


def contention_table(results):
    """How much of each contender's rounds other work on the machine took: the kernel's
    pressure counters over each timed run."""
    rows = ["| tree | contender | rounds (s) | I/O stall, all tasks (s) | waiting for a processor (s) |",
            "|---|---|---|---|---|"]
    for name in trees_in_order(results):
        t = results["trees"][name]
        for contender in ("helper", "rd", "rm"):
            c = t.get(contender, {})
            if not c.get("contention"):
                continue
            io = [x["io_stall_s"] for x in c["contention"]]
            cpu = [x["cpu_wait_s"] for x in c["contention"]]
            if None in io or None in cpu:
                continue
            rows.append("| %s | %s | %s | %s | %s |" % (
                name, contender, ", ".join("%.2f" % x for x in c["rounds"]), ", ".join("%.2f" % x for x in io),
                ", ".join("%.2f" % x for x in cpu)))
    return rows if len(rows) > 2 else []


def memory_table(results):
    rows = ["| tree | helper in-process time | peak stack of the delete | peak working set | peak private bytes |",
            "|---|---|---:|---:|---:|"]
    for name in trees_in_order(results):
        inside = results["trees"][name]["helper_inside"]
        rows.append("| %s | %s | %s KiB | %s KiB | %s KiB |" % (
            name, spread(inside["in_process_s"]), format(round(inside["stack_peak_bytes"] / 1024, 1), ","),
            format(inside["peak_working_set_kb"], ","), format(inside["peak_private_kb"], ",")))
    return rows


def per_line(with_lines, without, lines):
    """The difference of two in-process medians over the trace lines; "-" where the
    difference is inside the range of the rounds, too small to tell from noise."""
    if not lines or with_lines["median"] - without["median"] <= 0 or with_lines["min"] <= without["max"]:
        return "-"
    return "%.1f µs" % ((with_lines["median"] - without["median"]) / lines * 1e6)


def trace_table(results):
    rows = ["| tree | trace lines | whole process: nobody listening | whole process: debugger capturing | "
            "traced / untraced | delete alone: output call left out | delete alone: nobody listening | "
            "delete alone: debugger capturing | per line: output, nobody listening | per line: debugger capturing |",
            "|---|---:|---|---|---:|---|---|---|---:|---:|"]
    for name in trees_in_order(results):
        t = results["trees"][name]
        if "helper_traced" not in t:
            rows.append("| %s | - | %s | capture failed | - | - | - | - | - | - |" % (name, spread(t["helper"])))
            continue
        plain, traced = t["helper"]["median"], t["helper_traced"]["median"]
        plain_in = t["helper_inside"]["in_process_s"]
        traced_in = t.get("helper_traced_inside")
        quiet_in = t.get("helper_nooutput_inside")
        lines = t["trace_lines"]
        rows.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            name, format(lines, ","), spread(t["helper"]), spread(t["helper_traced"]), ratio(traced, plain),
            spread(quiet_in) if quiet_in else "-", spread(plain_in), spread(traced_in) if traced_in else "-",
            per_line(plain_in, quiet_in, lines) if quiet_in else "-",
            per_line(traced_in, plain_in, lines) if traced_in else "-"))
    return rows


def profile_calls(results):
    """Every platform call that some tree's delete made, the costliest first."""
    totals = {}
    for tree in results["trees"].values():
        for key, value in tree.get("profile", {}).items():
            if key.endswith("_s") and key not in ("in_process_s", "own_code_s"):
                name = key[:-2]
                if int(tree["profile"].get(name + "_calls", 0)):
                    totals[name] = totals.get(name, 0.0) + float(value)
    return sorted(totals, key=lambda name: -totals[name])


def profile_table(results):
    calls_made = profile_calls(results)
    header = "| tree | in-process | " + " | ".join("`%s`" % c for c in calls_made) + " | helper's own code |"
    rows = [header, "|---|---:|" + "---:|" * (len(calls_made) + 1)]
    for name in trees_in_order(results):
        p = results["trees"][name].get("profile", {})
        if "in_process_s" not in p:
            continue
        cells = []
        for call in calls_made:
            calls = int(p.get(call + "_calls", 0))
            cells.append("%s × %s" % (format(calls, ","), ms(float(p.get(call + "_s", 0)))) if calls else "-")
        rows.append("| %s | %s | %s | %s |" % (name, ms(float(p["in_process_s"])), " | ".join(cells),
                                               ms(float(p["own_code_s"]))))
    return rows


def copy_table(results):
    rows = ["| files | helper (`CopyFilesToDir`) | `cmd /c copy /y` | `xcopy /y /q` | Linux `cp` | helper / `copy` | "
            "helper / `xcopy` | helper / `cp` |",
            "|---|---|---|---|---|---:|---:|---:|"]
    for name, c in results["copies"].items():
        h = c["helper"]["median"]
        rows.append("| %d × %d KiB | %s | %s | %s | %s | %s | %s | %s |" % (
            c["files"], c["size"] // 1024, spread(c["helper"]), spread(c["copy"]), spread(c["xcopy"]),
            spread(c["cp"]), ratio(h, c["copy"]["median"]), ratio(h, c["xcopy"]["median"]),
            ratio(h, c["cp"]["median"])))
    return rows


def plotted(s):
    """The median, or nothing where every round failed: the time of a failure is no time
    for the work."""
    return float("nan") if len(s.get("failures") or []) == s["n"] else s["median"]


def plot(results, png):
    """Time against entries on log scales: the file trees and the folder chains."""
    with tempfile.TemporaryDirectory() as tmp:
        series = {}
        for kind in ("files", "chain"):
            path = os.path.join(tmp, kind + ".dat")
            with open(path, "w") as f:
                f.write("# entries helper rd rm traced\n")
                for name in trees_in_order(results):
                    t = results["trees"][name]
                    if t["shape"]["kind"] != kind:
                        continue
                    traced = t.get("helper_traced", {}).get("median", float("nan"))
                    f.write("%d %g %g %g %g\n" % (t["entries"], plotted(t["helper"]), plotted(t["rd"]),
                                                  plotted(t["rm"]), traced))
            series[kind] = path
        empty = results["startup"]["empty_program"]["median"]
        script = """
set terminal pngcairo size 1200,520 font ",10"
set output '%(png)s'
set multiplot layout 1,2
set logscale xy
set grid
set key top left
set xlabel 'entries (files + folders)'
set ylabel 'wall time of the whole process (s)'
set title 'Deleting a tree of files (10 %% read-only)'
set arrow 1 from graph 0, first %(empty)g to graph 1, first %(empty)g nohead dt 3 lc rgb '#888888'
set label 1 'start of an empty Wine program' at graph 0.98, first %(empty)g right offset 0,-0.7 tc rgb '#888888'
plot '%(files)s' using 1:2 with linespoints lw 2 pt 7 title 'helper (DeleteFilesAndFoldersRecursiv)', \\
     '' using 1:5 with linespoints lw 1 pt 6 dt 2 title 'helper, trace captured by a debugger', \\
     '' using 1:3 with linespoints lw 2 pt 5 title 'cmd /c rd /s /q (Wine)', \\
     '' using 1:4 with linespoints lw 2 pt 9 title 'rm -rf (Linux)'
set title 'Deleting a chain of nested folders'
set xlabel 'nested folders + 1 file'
plot '%(chain)s' using 1:2 with linespoints lw 2 pt 7 title 'helper', \\
     '' using 1:5 with linespoints lw 1 pt 6 dt 2 title 'helper, traced', \\
     '' using 1:3 with linespoints lw 2 pt 5 title 'rd /s /q (no point where every round failed)', \\
     '' using 1:4 with linespoints lw 2 pt 9 title 'rm -rf'
unset multiplot
""" % {"png": png, "files": series["files"], "chain": series["chain"], "empty": empty}
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results")
    parser.add_argument("markdown")
    parser.add_argument("png")
    parser.add_argument("--notes", default=None, help="Markdown file with findings, put in as it is")
    args = parser.parse_args()
    with open(args.results) as f:
        results = json.load(f)
    plot(results, args.png)

    s = results["startup"]
    out = ["# Benchmarks: clean and copy against the platform's own tools", "",
           "Generated by `bench/run.sh`%s. It measures and reports; no number fails anything, and none of this runs "
           "in the test suite or CI." % (" --quick (smoke run, tiny trees)" if results.get("quick") else ""), "",
           "## Conditions", ""] + conditions(results) + [
           "", "## Starting a program", "",
           "| what | median (range) |", "|---|---|",
           "| an empty Windows program (`qel_bench.exe noop`) under Wine | %s |" % spread(s["empty_program"]),
           "| `cmd /c exit` under Wine | %s |" % spread(s["cmd_exit"]), "",
           "Subtract these from the Windows contenders' times below to compare the work alone.", "",
           "## Deleting a tree", "",
           "The helper's recursive delete (`DeleteFilesAndFoldersRecursiv`, what \"clean\" runs after Yes) in "
           "`qel_bench.exe delete`, against Wine's `cmd /c rd /s /q` and Linux `rm -rf` on the same tree. "
           "The helper empties the folder and keeps it, the other two remove it as well. After each run the "
           "benchmark checks that nothing is left.", "",
           "Trees (as Wine lists them):", ""]
    for name in trees_in_order(results):
        tree = results["trees"][name]
        took = " (all its rounds took %s)" % duration(tree["seconds_taken"]) if "seconds_taken" in tree else ""
        out.append("- %s: %s%s" % (name, describe(tree), took))
    out += [""] + deletion_table(results) + [
        "", "The last column takes the start of an empty program off the helper and that of `cmd /c exit` off `rd` "
        "(\"-\" where what is left is under 10 ms, too little to compare). A contender that failed every round "
        "has no ratio.",
        "", "![time against entries](benchmarks.png)", "",
        "## Memory and depth", "",
        "Measured inside `qel_bench.exe` around the delete: the stack below the caller's frame is filled with a "
        "pattern before and scanned after (the high-water mark); working set and private bytes are the process "
        "peaks from `GetProcessMemoryInfo` (under Wine, the Linux process's peaks, Wine's own libraries included).",
        ""] + memory_table(results) + [
        "", "## Trace cost", "",
        "The same delete in three ways: with `OutputDebugStringW` left out (`qel_bench.exe nooutput`: every line "
        "is still formatted, then dropped), as it runs in an installation with nobody listening (the plain runs "
        "above), and while the project's trace capture tool `qel_trace.exe` runs it as a debuggee and writes every "
        "debugger-output line to its standard output, read by the benchmark through a pipe (as a trace viewer "
        "does during an installation). The whole process includes starting the debugger "
        "as well; the delete alone is timed inside `qel_bench.exe`. The cost per line is the difference of two "
        "in-process medians over the lines; \"-\" where the two ranges overlap.", ""] + trace_table(results) + [
        "", "## Where the time goes", "",
        "One delete per tree with every platform call counted and timed through the platform seam "
        "(`qel_bench.exe profile`; the wrappers add a little time of their own, counted as the helper's own code). "
        "Each cell is calls × total time.", ""] + profile_table(results) + [
        "", "## Other work on the machine during the rounds", "",
        "Each delete round with what the kernel's pressure counters (`/proc/pressure`) counted while it ran: "
        "the time in which every task of the machine was stalled on I/O, and the time in which some task waited "
        "for a processor. A round much slower than its siblings usually shows one of them.", ""] + (
        contention_table(results) or ["(not recorded)"]) + [
        "", "## Copying the engine files", "",
        "`CopyFilesToDir` (the engine installation's copy of every file in the engine folder, without the version "
        "check) in `qel_bench.exe copy`, against `cmd /c copy /y` and `xcopy /y /q` of the same folder into an "
        "empty destination, and Linux `cp` as the floor.", ""] + copy_table(results)
    if args.notes and os.path.exists(args.notes):
        with open(args.notes) as f:
            out += ["", f.read().rstrip()]
    with open(args.markdown, "w") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
