#!/usr/bin/env python3
"""What the running process costs, side by side with a bare 1 ms loop.

Runs the real process (build-release/app/msdapp, application index 0) on copies of sample-root, as
./run.sh runs it (display, logging, the GPS replay), and beside it a bare loop that sleeps to
absolute deadlines 1 ms apart and does nothing else. Both are measured by the CPU time the kernel
counts for their threads (/proc/<pid>/task/*/schedstat, in ns) over the same window. Three roots
take turns, in an order that rotates from round to round:

  sample   sample-root as it is
  log200   sample-root with cfg/m01.xml logging 200 of the device's own variables at 1 ms
  nolog    sample-root without cfg/m01.xml
  log200f  log200 with --closed-files closed files on meas: (default 10,000): read-only files of
           16 bytes, each with its line "attr <name> 0x21" in meas.drive (dirsize 65535)

Every run starts on a fresh copy of its root; the figures are medians over the rounds. Printed:

  whole program / bare loop     sample: the process's CPU over the bare loop's     goal <= 10
  GPS task, % of a core         sample: "r_gpsTask" while the replay plays         goal <= 2
  200-channel logging, % core   log200 - nolog of the same round                   goal <= 5
                                (and log200 - sample, over the sample's own small m01.xml)
  the same with closed files    log200f - nolog, and its ratio to log200 - nolog   goal <= 1.1
                                (these by the median of the rounds, and by the least run of
                                each root)
  logging threads, % of a core  the logging's own threads (LOGGING_THREADS: the measurement task, the
                                store and its drive writers, write-throughs and drive calls), where
                                every drive call of the logging is made: log200 and log200f, and
                                their ratio (less moved by the rest of the process and the machine)
  idle scheduler / bare loop    from build-bench/bench/bench_rtos, when built      goal <= 1.5

with the load average before and after, as other work on the machine moves every figure.

With --together, each round runs log200 and log200f (and with --baseline-app both under that build
too) at the same time, each with an address and ports of its own, over one window, and prints the
medians of the rounds' ratios: runs that share a window share what the rest of the machine does, so
the ratios move far less than those of runs one after another.

With --baseline-app PATH (another build of the process, e.g. of an older commit) the log200, nolog
and log200f roots also run under that build, in the same rounds (its runs named "<root>@base"), and
the logging's figures of both are printed side by side with their ratio.

Usage: bench/process_cpu.py [--rounds 5] [--settle 5] [--window 10] [--app PATH] [--keep]
                           [--closed-files 10000] [--baseline-app PATH] [--together]
Needs build-release/app/msdapp (./run.sh builds it; so does this script when it is missing) and a C
compiler for the bare loop.
"""

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

BARE_LOOP_C = r"""
#include <signal.h>
#include <time.h>
static volatile sig_atomic_t stop;
static void onTerm(int s) { (void)s; stop = 1; }
int main(void) {
    signal(SIGTERM, onTerm);
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    while (!stop) {
        t.tv_nsec += 1000000;
        if (t.tv_nsec >= 1000000000) { t.tv_nsec -= 1000000000; t.tv_sec++; }
        while (!stop && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, 0) != 0) {}
    }
    return 0;
}
"""

# The roots run on a loopback address and port offset of their own, so that another copy of the
# process on this machine (with the default address and ports) does not take its sockets.
ISOLATION = "ip_address = 127.0.0.131\nport_offset = 3100\nxcp_port = 33100\n"

APP_PID = 0x10  # application index 0
SIGNAL_PAGE = 0x040000


def signal_page_variables():
    """The signal page's variables in layout order: (name, size, count, offset), natural alignment
    as modules/measdata/seram_layout.h lays them out from seram_vars.def."""
    layout = open(os.path.join(REPO, "modules/measdata/seram_layout.h")).read()
    consts = {m.group(1): int(m.group(2)) for m in re.finditer(r"constexpr size_t (\w+) = (\d+);", layout)}
    sizes = {"char": 1, "int8_t": 1, "uint8_t": 1, "int16_t": 2, "uint16_t": 2, "int32_t": 4, "uint32_t": 4,
             "float": 4, "double": 8}
    out, offset = [], 0
    for line in open(os.path.join(REPO, "modules/measdata/seram_vars.def")):
        m = re.match(r"MSD_SIG\((\w+),\s*(\w+),\s*(\w+),", line)
        if not m:
            continue
        name, ctype, count = m.group(1), m.group(2), m.group(3)
        size = sizes[ctype]
        n = int(count) if count.isdigit() else consts[count]
        offset = (offset + size - 1) // size * size
        out.append((name, size, n, offset))
        offset += size * n
    return out


def m01_with(count):
    """cfg:/m01.xml logging `count` scalar variables of the signal page at 1 ms, in blocks of at
    most 50 (a gateway list holds up to 480 bytes), each block's copy sequences by size."""
    chosen = [v for v in signal_page_variables() if v[2] == 1][:count]
    if len(chosen) < count:
        sys.exit("only %d scalar signal-page variables" % len(chosen))
    blocks = [chosen[i:i + 50] for i in range(0, count, 50)]
    xml = ['<?xml version="1.0" encoding="UTF-8"?>',
           "<!-- Main logging (m01) of application 0: %d of its own signal-page values at 1 ms. -->" % count,
           "<MeasConfig>",
           '  <AcqInfo ident="%d channels" num_blocks="%d" num_conditions="0" version="3" protocol="0">'
           % (count, len(blocks)),
           '    <AsapName name="msdapp.a2l"/>', '    <PstName name="sample.pst"/>',
           '    <UserInfo name="process benchmark"/>']
    for b, block in enumerate(blocks):
        seqs = [[v for v in block if v[1] == size] for size in (4, 2, 1)]
        seqs = [s for s in seqs if s]
        xml.append('    <Block name="Own%d" idx="%d" num_seqs="%d" true_div="1" false_div="1" Raster="R1ms">'
                   % (b, b, len(seqs)))
        for s, seq in enumerate(seqs):
            size = seq[0][1]
            xml.append('      <CopySeq align="%d" size="%d" num="%d" idx="%d">' % (size, size, len(seq), s))
            for i, (_, _, _, offset) in enumerate(seq):
                adr = (APP_PID << 24) | (SIGNAL_PAGE + offset)
                xml.append('        <adr adr="0x%08X" idx="%d"/>' % (adr, i))
            xml.append("      </CopySeq>")
        xml.append("    </Block>")
    xml += ["  </AcqInfo>", "</MeasConfig>", ""]
    return "\n".join(xml)


def add_closed_files(root, count):
    """`count` closed files on meas: of the root, read-only, each with its attribute line."""
    meas = os.path.join(root, "meas")
    os.makedirs(meas, exist_ok=True)
    lines = []
    for i in range(count):
        name = "X%07d.000" % i
        path = os.path.join(meas, name)
        with open(path, "wb") as f:
            f.write(b"closed file %04d" % (i % 10000))
        os.chmod(path, 0o444)
        lines.append("attr %s 0x21\n" % name)
    state = os.path.join(root, "meas.drive")
    kept = []
    if os.path.exists(state):
        kept = [l for l in open(state) if not l.startswith("dirsize")]
    with open(state, "w") as f:
        f.write("dirsize 65535\n" + "".join(kept) + "".join(lines))


# The logging's own threads (names as the process gives them), which make all its drive calls.
LOGGING_THREADS = ("r_rMeas", "r_BFSWriter", "r_USBWriter", "r_BFSSync", "r_MeasBackend", "r_MeasPretrig",
                   "r_DrvCall", "r_sblk_task", "r_evLog")


def cpu_ns(pid, only=None):
    """CPU time of the process's threads (or of the thread named `only`, or of the threads whose
    names begin with one of the tuple `only`), in ns."""
    total = 0
    task_dir = "/proc/%d/task" % pid
    for tid in os.listdir(task_dir):
        try:
            if only is not None:
                with open("%s/%s/comm" % (task_dir, tid)) as f:
                    name = f.read().strip()
                if name != only if isinstance(only, str) else not name.startswith(only):
                    continue
            with open("%s/%s/schedstat" % (task_dir, tid)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return total


def load():
    return "%.2f %.2f %.2f" % os.getloadavg()


def finish(app, log, run_dir, keep):
    """Waits for a run asked to end (killed after 20 s), closes its log and removes its root."""
    try:
        app.wait(timeout=20)
    except subprocess.TimeoutExpired:
        app.kill()
        app.wait()
    log.close()
    if not keep:
        shutil.rmtree(run_dir, ignore_errors=True)


def run_once(root, args, tmp, bare, app_path):
    """One run on a fresh copy of `root`: CPU of the process, of its GPS task and of the bare loop
    over the window, each in % of a core."""
    run_dir = tempfile.mkdtemp(prefix="run-", dir=tmp)
    shutil.rmtree(run_dir)
    shutil.copytree(root, run_dir)
    env = dict(os.environ, DEVICE_ROOT=run_dir)
    log = open(os.path.join(run_dir, "stderr.log"), "w")
    app = subprocess.Popen([app_path, "0"], env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        time.sleep(args.settle)
        if app.poll() is not None:
            sys.exit("msdapp ended at start-up (exit %s); see %s/stderr.log" % (app.returncode, run_dir))
        loop = subprocess.Popen([bare])
        time.sleep(0.2)  # the loop's start is not measured
        t0 = time.monotonic()
        p0, g0, b0 = cpu_ns(app.pid), cpu_ns(app.pid, "r_gpsTask"), cpu_ns(loop.pid)
        l0 = cpu_ns(app.pid, LOGGING_THREADS)
        time.sleep(args.window)
        p1, g1, b1 = cpu_ns(app.pid), cpu_ns(app.pid, "r_gpsTask"), cpu_ns(loop.pid)
        l1 = cpu_ns(app.pid, LOGGING_THREADS)
        wall = (time.monotonic() - t0) * 1e9
        loop.terminate()
        loop.wait()
    finally:
        app.send_signal(signal.SIGINT)  # the ordered shutdown
        finish(app, log, run_dir, args.keep)
    pct = lambda ns: 100.0 * ns / wall
    return pct(p1 - p0), pct(g1 - g0), pct(b1 - b0), pct(l1 - l0)


def run_together(group, args, roots, tmp):
    """The runs of `group` ((label, root, app) each) at the same time, each on a fresh copy of its
    root with an address and ports of its own, over one window: {label: (CPU of the process, CPU of
    its logging threads)} in % of a core. Runs that share the window share what the machine does
    meanwhile."""
    started = []
    try:
        for slot, (label, root, app_path) in enumerate(group):
            root = roots[root]
            run_dir = tempfile.mkdtemp(prefix="run-", dir=tmp)
            shutil.rmtree(run_dir)
            shutil.copytree(root, run_dir)
            conf = os.path.join(run_dir, "appparam-0.conf")
            lines = [l for l in open(conf) if l.split("=")[0].strip() not in ("ip_address", "port_offset", "xcp_port")]
            lines.append("ip_address = 127.0.0.%d\nport_offset = %d\nxcp_port = %d\n"
                         % (141 + slot, 3300 + 200 * slot, 33300 + 200 * slot))
            open(conf, "w").write("".join(lines))
            log = open(os.path.join(run_dir, "stderr.log"), "w")
            app = subprocess.Popen([app_path, "0"], env=dict(os.environ, DEVICE_ROOT=run_dir),
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            started.append((label, app, run_dir, log))
        time.sleep(args.settle)
        for label, app, run_dir, _ in started:
            if app.poll() is not None:
                sys.exit("msdapp ended at start-up (exit %s); see %s/stderr.log" % (app.returncode, run_dir))
        t0 = time.monotonic()
        before = [(cpu_ns(app.pid), cpu_ns(app.pid, LOGGING_THREADS)) for _, app, _, _ in started]
        time.sleep(args.window)
        after = [(cpu_ns(app.pid), cpu_ns(app.pid, LOGGING_THREADS)) for _, app, _, _ in started]
        wall = (time.monotonic() - t0) * 1e9
    finally:
        for _, app, _, _ in started:
            app.send_signal(signal.SIGINT)  # the ordered shutdown
        for _, app, run_dir, log in started:
            finish(app, log, run_dir, args.keep)
    pct = lambda ns: 100.0 * ns / wall
    return {label: (pct(a[0] - b[0]), pct(a[1] - b[1])) for (label, _, _, _), b, a in zip(started, before, after)}


def together(args, roots, tmp):
    """--together: log200 and log200f (and with --baseline-app the same under that build) at the
    same time in each round; the ratios of each round, then their medians."""
    group = [("log200", "log200", args.app), ("log200f", "log200f", args.app)]
    if args.baseline_app:
        group += [("log200@base", "log200", args.baseline_app), ("log200f@base", "log200f", args.baseline_app)]
    print("%-6s %-13s %9s %8s   %s" % ("round", "run", "process%", "log%", "load"))
    rounds = []
    for r in range(args.rounds):
        k = r % len(group)
        res = run_together(group[k:] + group[:k], args, roots, tmp)
        rounds.append(res)
        for label, _, _ in group:
            print("%-6d %-13s %9.2f %8.2f   %s" % (r + 1, label, res[label][0], res[label][1], load()), flush=True)
    med = statistics.median
    ratio = lambda a, b: a / b if b > 0 else 0
    print()
    print("%-52s %8s %8s" % ("median of the rounds' ratios (same window)", "ratio", "goal"))
    for suffix, which in (("", "this build"), ("@base", "baseline")):
        if "log200" + suffix not in rounds[0]:
            continue
        print("%-52s %8.2f %8s" % ("%s: logging threads, %d closed files / none" % (which, args.closed_files),
                                   med([ratio(x["log200f" + suffix][1], x["log200" + suffix][1]) for x in rounds]),
                                   "<= 1.1"))
        print("%-52s %8.2f" % ("%s: whole process, %d closed files / none" % (which, args.closed_files),
                               med([ratio(x["log200f" + suffix][0], x["log200" + suffix][0]) for x in rounds])))
    if args.baseline_app:
        print("%-52s %8.2f %8s" % ("this build / baseline: logging threads, closed files",
                                   med([ratio(x["log200f"][1], x["log200f@base"][1]) for x in rounds]), "<= 1"))
        print("%-52s %8.2f %8s" % ("this build / baseline: whole process, closed files",
                                   med([ratio(x["log200f"][0], x["log200f@base"][0]) for x in rounds]), "<= 1"))
        print("%-52s %8.2f" % ("this build / baseline: logging threads, no closed files",
                               med([ratio(x["log200"][1], x["log200@base"][1]) for x in rounds])))


def idle_scheduler():
    """The idle scheduler against the bare loop, from the rtos benchmark when it is built."""
    bench = os.path.join(REPO, "build-bench/bench/bench_rtos")
    if not os.access(bench, os.X_OK):
        return None
    out = subprocess.run([bench, "--benchmark_filter=BM_SchedulerIdleCpuShare", "--benchmark_format=json"],
                         capture_output=True, text=True)
    try:
        runs = json.loads(out.stdout)["benchmarks"]
    except (ValueError, KeyError):
        return None
    ratios = [r["ratio"] for r in runs if r.get("run_type") == "iteration" and "ratio" in r]
    return statistics.median(ratios) if ratios else None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--settle", type=float, default=5.0, help="seconds from start to the window")
    ap.add_argument("--window", type=float, default=10.0, help="seconds measured per run")
    ap.add_argument("--app", default=os.path.join(REPO, "build-release/app/msdapp"))
    ap.add_argument("--keep", action="store_true", help="keep the device roots of the runs")
    ap.add_argument("--no-idle", action="store_true", help="leave out the idle scheduler benchmark")
    ap.add_argument("--closed-files", type=int, default=10000,
                    help="closed files on meas: of the log200f root (0: no such root)")
    ap.add_argument("--baseline-app", help="another build to run the logging's roots with, side by side")
    ap.add_argument("--together", action="store_true",
                    help="only the closed files' figures, log200 and log200f (and the baseline's) at the same time")
    args = ap.parse_args()

    if not os.access(args.app, os.X_OK):
        subprocess.run(["cmake", "-S", REPO, "-B", os.path.join(REPO, "build-release"), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DMSD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["ninja", "-C", os.path.join(REPO, "build-release"), "msdapp"], check=True)

    tmp = tempfile.mkdtemp(prefix="msd-process-cpu-")
    if args.keep:
        print("device roots of the runs under %s" % tmp)
    try:
        bare = os.path.join(tmp, "bare_loop")
        with open(bare + ".c", "w") as f:
            f.write(BARE_LOOP_C)
        subprocess.run([os.environ.get("CC", "cc"), "-O2", "-o", bare, bare + ".c"], check=True)

        roots = {}
        order = ["sample", "log200", "nolog"] + (["log200f"] if args.closed_files > 0 else [])
        for name in order:
            root = os.path.join(tmp, name)
            shutil.copytree(os.path.join(REPO, "sample-root"), root)
            with open(os.path.join(root, "appparam-0.conf"), "a") as f:
                f.write(ISOLATION)
            roots[name] = root
        with open(os.path.join(roots["log200"], "cfg/m01.xml"), "w") as f:
            f.write(m01_with(200))
        os.remove(os.path.join(roots["nolog"], "cfg/m01.xml"))
        if "log200f" in roots:
            with open(os.path.join(roots["log200f"], "cfg/m01.xml"), "w") as f:
                f.write(m01_with(200))
            add_closed_files(roots["log200f"], args.closed_files)

        print("load average before: %s" % load())
        if args.together:
            together(args, roots, tmp)
            print("load average after:  %s" % load())
            return
        print("%-6s %-12s %9s %9s %9s %8s %8s   %s"
              % ("round", "root", "process%", "bare%", "ratio", "gps%", "log%", "load"))
        runs = [(name, name, args.app) for name in order]
        if args.baseline_app:
            runs += [(name + "@base", name, args.baseline_app) for name in order if name != "sample"]
        results = {label: [] for label, _, _ in runs}
        for r in range(args.rounds):
            for k in range(len(runs)):
                name, root, app_path = runs[(r + k) % len(runs)]
                proc, gps, bare_pct, log_pct = run_once(roots[root], args, tmp, bare, app_path)
                results[name].append((proc, gps, bare_pct, log_pct))
                print("%-6d %-12s %9.2f %9.2f %9.1f %8.2f %8.2f   %s"
                      % (r + 1, name, proc, bare_pct, proc / bare_pct if bare_pct > 0 else 0, gps, log_pct,
                         load()), flush=True)

        med = statistics.median
        whole = med([p / b for p, _, b, _ in results["sample"] if b > 0])
        gps = med([g for _, g, _, _ in results["sample"]])
        logging = med([a[0] - b[0] for a, b in zip(results["log200"], results["nolog"])])
        over_sample = med([a[0] - b[0] for a, b in zip(results["log200"], results["sample"])])
        print()
        print("%-46s %8s %8s" % ("median of %d rounds" % args.rounds, "ratio", "goal"))
        print("%-46s %8.1f %8s" % ("whole program / bare loop (sample root)", whole, "<= 10"))
        print("%-46s %8.2f %8s" % ("GPS task, % of a core (replay playing)", gps, "<= 2"))
        print("%-46s %8.2f %8s" % ("200-channel logging at 1 kHz, % of a core", logging, "<= 5"))
        print("%-46s %8.2f" % ("  the same over the sample root's own m01.xml", over_sample))
        # The closed files' figures by the median and by the least of the rounds: other work on the
        # machine only adds to a run's CPU time, so on a busy machine the least shows the program's
        # own cost best.
        ratio = lambda a, b: a / b if b > 0 else 0
        figures = {}
        for suffix in ("", "@base") if args.baseline_app else ("",):
            if "log200f" + suffix not in results:
                continue
            f = {}
            proc = lambda root, of: of([a[0] for a in results[root + suffix]])
            f["median"] = {
                "logging": med([a[0] - b[0] for a, b in zip(results["log200" + suffix], results["nolog" + suffix])]),
                "files": med([a[0] - b[0] for a, b in zip(results["log200f" + suffix], results["nolog" + suffix])]),
            }
            # The least of each root's runs, then their difference.
            f["least"] = {"logging": proc("log200", min) - proc("nolog", min),
                          "files": proc("log200f", min) - proc("nolog", min)}
            for stat, of in (("median", med), ("least", min)):
                f[stat]["threads"] = of([a[3] for a in results["log200" + suffix]])
                f[stat]["threads_files"] = of([a[3] for a in results["log200f" + suffix]])
            figures[suffix] = f
            which = " (--baseline-app)" if suffix else ""
            m, l = f["median"], f["least"]
            print()
            print("%-46s %8s %8s %8s" % ("closed files" + which, "median", "least", "goal"))
            print("%-46s %8.2f %8.2f" % ("200-channel logging, % of a core", m["logging"], l["logging"]))
            print("%-46s %8.2f %8.2f" % ("  with %d closed files on meas:" % args.closed_files, m["files"],
                                         l["files"]))
            print("%-46s %8.2f %8.2f %8s" % ("  with closed files / without", ratio(m["files"], m["logging"]),
                                             ratio(l["files"], l["logging"]), "<= 1.1"))
            print("%-46s %8.2f %8.2f" % ("logging threads, % of a core (log200)", m["threads"], l["threads"]))
            print("%-46s %8.2f %8.2f" % ("  with %d closed files on meas: (log200f)" % args.closed_files,
                                         m["threads_files"], l["threads_files"]))
            print("%-46s %8.2f %8.2f %8s" % ("  with closed files / without",
                                             ratio(m["threads_files"], m["threads"]),
                                             ratio(l["threads_files"], l["threads"]), "<= 1.1"))
        if "" in figures and "@base" in figures:
            print()
            print("%-46s %8s %8s %8s" % ("this build / baseline", "median", "least", "goal"))
            for label, key, goal in (("logging, closed files", "files", "<= 1"),
                                     ("logging threads, closed files", "threads_files", "<= 1"),
                                     ("logging threads, no closed files", "threads", "")):
                print("%-46s %8.2f %8.2f %8s" % (
                    "  " + label, ratio(figures[""]["median"][key], figures["@base"]["median"][key]),
                    ratio(figures[""]["least"][key], figures["@base"]["least"][key]), goal))
        if not args.no_idle:
            idle = idle_scheduler()
            if idle is None:
                print("%-46s %8s %8s" % ("idle scheduler / bare loop", "n/a", "<= 1.5"))
            else:
                print("%-46s %8.2f %8s" % ("idle scheduler / bare loop (bench_rtos)", idle, "<= 1.5"))
        print("load average after:  %s" % load())
    finally:
        if not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
