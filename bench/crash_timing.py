"""Times a crash under Wine from the fault to the end of the process, with the lite reporter's
sentry.dll (or others given to compare), and prints a markdown table.

Each crashing program prints "fault=<UTC time in 100 ns ticks since 1601>" just before it
faults; the end is when the Wine process has gone, as its caller sees it. On a machine shared
with other work that time waits for a core; the processor time of the whole Wine process (user
and system, start-up included, from its caller's wait) does not. The cases:
  launcher        tavro-gcodeviewer.exe --sw-renderer crashing in the app-symbols test library
                  (the launcher asks for symbolising on the machine)
  launcher, probed  the same without --sw-renderer, on the X display of the environment (run
                  the script under xvfb-run): the OpenGL probe leaves Mesa's libraries loaded,
                  LLVM's among them, whose symbols Wine's minidump writer reads unless deferred.
                  Every case then runs with that display: Wine's desktop process keeps the
                  display of the run that started it for every later run in the prefix.
  lite, off       lite_crasher.exe timed: the reporter alone, symbolising not asked for
  lite, on        lite_crasher.exe timed-symbolize: the same, symbolising asked for
One round runs every case with every sentry.dll, in an order rotated each round, after a
dropped warm-up round. Each report is read back: a row also counts the runs whose report has
the minidump, and those whose frames name a function (symbolised on the machine).

  python3 bench/crash_timing.py [--build build/windows-mingw] [--rounds 11]
                                [--variant NAME=path/to/sentry.dll ...] [--case NAME ...]
Needs the windows-mingw build (its stage and fixtures) and a Wine prefix (the build's by
default, BENCH_WINEPREFIX to choose another). No test runs it; timings need a quiet machine."""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
import envelope  # noqa: E402 (the end-to-end harness's reader)

TICKS_TO_UNIX = 11644473600  # seconds from 1601 to 1970
CASES = ("launcher", "launcher, probed", "lite, off", "lite, on")


def wine_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def read_report(folder):
    """(has a minidump, has a symbolised frame) of the one report in the folder."""
    found = [p for p in folder.glob("*.envelope") if not p.name.endswith("-session.envelope")]
    if len(found) != 1:
        return False, False
    report = envelope.parse(found[0].read_bytes())
    frames = report.event["exception"]["values"][0]["stacktrace"]["frames"]
    return (any(h["type"] == "attachment" for h, _ in report.items),
            any("function" in f for f in frames))


class Case:
    def __init__(self, name, variant, dll, build, scratch):
        self.name, self.variant = name, variant
        self.folder = scratch / f"{variant}-{CASES.index(name)}"
        fixtures = build / "fixtures"
        if name.startswith("launcher"):
            shutil.copytree(build / "stage", self.folder)
            shutil.copy2(fixtures / "app-symbols" / "orviStudio.dll", self.folder)
            self.reports = self.folder / "dump"
            switch = ["--sw-renderer"] if name == "launcher" else []
            self.command = [str(self.folder / "tavro-gcodeviewer.exe"), *switch, "a.gcode"]
        else:
            self.folder.mkdir(parents=True)
            shutil.copy2(fixtures / "lite-crasher" / "lite_crasher.exe", self.folder)
            self.reports = self.folder / "reports"
            mode = "timed" if name == "lite, off" else "timed-symbolize"
            self.command = [str(self.folder / "lite_crasher.exe"), mode, wine_path(self.reports)]
        shutil.copy2(dll, self.folder / "sentry.dll")
        self.times, self.cpu, self.with_dump, self.named = [], [], 0, 0

    def run(self, env, keep=True):
        shutil.rmtree(self.reports, ignore_errors=True)
        with open(self.folder.parent / "stdout.txt", "wb") as out:
            process = subprocess.Popen(["wine", *self.command], env=env, cwd=self.folder,
                                       stdout=out, stderr=subprocess.DEVNULL)
            _, _, usage = os.wait4(process.pid, 0)
            ended = time.time()
            process.returncode = 0  # reaped above
        text = (self.folder.parent / "stdout.txt").read_text(errors="replace")
        faults = [line.split("=", 1)[1] for line in text.splitlines() if line.startswith("fault=")]
        if len(faults) != 1:
            sys.exit(f"{self.name} with {self.variant}: no fault time in its output:\n{text}")
        fault = int(faults[0]) / 1e7 - TICKS_TO_UNIX
        if not keep:
            return
        self.times.append(ended - fault)
        self.cpu.append(usage.ru_utime + usage.ru_stime)
        with_dump, named = read_report(self.reports)
        self.with_dump += with_dump
        self.named += named


def row(case):
    times = sorted(case.times)
    q = statistics.quantiles(times, n=4) if len(times) >= 4 else (times[0], 0, times[-1])
    tenth = statistics.quantiles(times, n=10)[0] if len(times) >= 10 else times[0]
    return (f"| {case.variant} | {case.name} | {statistics.median(times):.2f} s | "
            f"{q[0]:.2f} to {q[2]:.2f} s | {tenth:.2f} s | {statistics.median(case.cpu):.2f} s | "
            f"{case.with_dump} | {case.named} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", type=Path, default=SOURCE / "build" / "windows-mingw")
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--variant", action="append", default=[],
                        help="NAME=path of a sentry.dll to time (default: the build's)")
    parser.add_argument("--case", action="append", choices=CASES, default=[],
                        help="a case to run (default: all; the probed launcher only with an X "
                             "display)")
    args = parser.parse_args()
    build = args.build.resolve()
    variants = [v.split("=", 1) for v in args.variant] or [["this build",
                                                             str(build / "stage" / "sentry.dll")]]
    env = {**os.environ, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=",
           "WINEPREFIX": os.environ.get("BENCH_WINEPREFIX", str(build / "wineprefix"))}
    env.pop("WAYLAND_DISPLAY", None)
    names = args.case or [c for c in CASES if c != "launcher, probed" or "DISPLAY" in env]
    scratch = Path(tempfile.mkdtemp(prefix="crash-timing-"))
    try:
        cases = [Case(name, variant, dll, build, scratch) for variant, dll in variants
                 for name in names]
        # A Wine server kept for the whole run keeps its start-up out of every crash.
        subprocess.run(["wineserver", "-p"], env=env, check=False)
        for case in cases:
            case.run(env, keep=False)
        for round_ in range(args.rounds):
            shift = round_ % len(cases)
            for case in cases[shift:] + cases[:shift]:
                case.run(env)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, check=False)
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"Crash under Wine, fault to the end of the process: {args.rounds} rounds after a "
          "dropped warm-up round.\n")
    print("| sentry.dll | case | fault to end: median | quartiles | 10th percentile "
          "| processor time of the process (median) | reports with the minidump "
          "| reports naming a function |")
    print("|---|---|---|---|---|---|---|---|")
    for case in cases:
        print(row(case))


if __name__ == "__main__":
    main()
