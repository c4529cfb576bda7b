"""Runs the start-up benchmark in a staged launcher folder and prints the result as markdown.

Every measured program writes its values to a record file (bench_record.h). One round runs,
one after the other: the reference launcher; tavro-gcodeviewer.exe --sw-renderer (no probe);
tavro-gcodeviewer.exe with the probe; the bare GL context program; the order is reversed every
other round so a drift of the machine weighs on all alike. A warm-up round is run first and
dropped. Single launches spread widely on a busy machine, so the launcher is compared with the
reference of the same round (the median of the per-round ratios), not median with median."""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EXE = "tavro-gcodeviewer.exe"


def wine_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Runner:
    def __init__(self, folder, env):
        self.folder, self.env = Path(folder).resolve(), env
        self.scratch = Path(tempfile.mkdtemp(prefix="bench-record-"))
        self.count = 0

    def run(self, program, *args, label="run", extra=None):
        """Runs one program of the folder and returns what it recorded: {key: [values]}.

        A run that records nothing is tried once more with Wine's error channels on: a start
        that never reached the hand-off is no measurement, and one lost to the machine (seen
        once on a fresh CI machine, exit code 1 from Wine) should not end the benchmark. A
        second one ends it, with what Wine said."""
        values, failure = self._run_once(program, args, label, extra or {})
        if values:
            return values
        print(f"bench: {failure}; trying once more", file=sys.stderr)
        values, failure = self._run_once(program, args, label,
                                         {**(extra or {}), "WINEDEBUG": "err+all"})
        if not values:
            sys.exit(failure)
        return values

    def _run_once(self, program, args, label, extra):
        self.count += 1
        record = self.scratch / f"{self.count}.txt"
        env = {**self.env, "BENCH_RECORD": wine_path(record), "BENCH_LABEL": label, **extra}
        # Standard output to a file, as a caller that redirects it gets it. Not /dev/null: a
        # character device makes the runtime write its lines unbuffered, one system call per
        # character, which no real caller sees (a GUI start has no standard output at all).
        errors = self.scratch / "stderr.txt"
        with open(self.scratch / "stdout.txt", "wb") as out, open(errors, "wb") as err:
            done = subprocess.run(["wine", str(self.folder / program), *args], env=env,
                                  cwd=self.folder, stdout=out, stderr=err,
                                  timeout=120, check=False)
        values = {}
        if record.exists():
            for line in record.read_text().splitlines():
                key, value = line.rsplit(" ", 1)
                values.setdefault(key, []).append(float(value))
            record.unlink()
        if values:
            return values, None
        said = errors.read_text(errors="replace").strip()[-4000:]
        return None, (f"{program} {' '.join(args)} recorded nothing (exit code "
                      f"{done.returncode})" + (f"; Wine said:\n{said}" if said else ""))


def quartiles(values):
    if len(values) < 4:
        return min(values), max(values)
    q = statistics.quantiles(values, n=4)
    return q[0], q[2]


def fastest_tenth(values):
    """The 10th percentile: on a busy machine the runs that were least disturbed."""
    return statistics.quantiles(values, n=10)[0] if len(values) >= 10 else min(values)


def ms(value):
    return f"{value / 1000:.1f} ms"


def machine():
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return f"{model}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}, {wine}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--rounds", type=int, default=101)
    parser.add_argument("--step-runs", type=int, default=21)
    parser.add_argument("--queue-folder")
    parser.add_argument("--sdk-folder")
    options = parser.parse_args()

    env = {k: v for k, v in os.environ.items() if not k.startswith("BENCH_")}
    # opengl32 native first, as on Windows: a load of mesa\opengl32.dll by path must fail when
    # the file is not there, not give Wine's builtin library. The probe's load by name still
    # finds the system one.
    env.update({"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=;opengl32=n,b"})
    runner = Runner(options.folder, env)

    programs = [
        ("reference", lambda: runner.run("reference_launcher.exe", "a.gcode",
                                         label="reference")["entry_us reference"][0]),
        ("software", lambda: runner.run(EXE, "--sw-renderer", "a.gcode",
                                        label="software")["entry_us software"][0]),
        ("probe", lambda: runner.run(EXE, "a.gcode", label="probe")["entry_us probe"][0]),
        ("bare", lambda: runner.run("bare_context.exe")["context_us"][0]),
    ]
    peaks = {"reference": [], "software": []}

    def round_(order):
        times = {}
        for name, run in order:
            times[name] = run()
        return times

    round_(programs)  # warm-up, dropped
    rounds = []
    for i in range(options.rounds):
        rounds.append(round_(programs if i % 2 == 0 else programs[::-1]))
    # Peak working set at the hand-off: the same in every run, so a few runs do.
    for _ in range(min(options.rounds, 5)):
        peaks["reference"] += runner.run("reference_launcher.exe", "a.gcode",
                                         label="reference")["peak_kib reference"]
        peaks["software"] += runner.run(EXE, "--sw-renderer", "a.gcode",
                                        label="software")["peak_kib software"]

    steps = {}
    for detail in (False, True):
        for _ in range(options.step_runs):
            extra = {"BENCH_DETAIL": "1"} if detail else {}
            values = runner.run("launch_steps.exe", "--sw-renderer", "a.gcode", label="steps",
                                extra=extra)
            for key, found in values.items():
                if key.startswith("step_us ") and (not detail or "(alone)" in key):
                    steps.setdefault(key[len("step_us "):], []).extend(found)
            if not detail and "entry_us steps" in values:
                entry = values["entry_us steps"][0]
                marked = sum(v[0] for k, v in values.items() if k.startswith("step_us "))
                steps.setdefault("loading orviStudio.dll, hand-off", []).append(entry - marked)
                steps.setdefault("total to the entry of layrix_main", []).append(entry)

    column = {name: [r[name] for r in rounds] for name, _ in programs}
    ratio = [r["software"] / r["reference"] for r in rounds]
    probe = [(r["probe"] - r["software"]) / r["bare"] for r in rounds]

    rounds_text = f"{options.rounds} round" + ("s" if options.rounds != 1 else "")
    print(f"Start-up benchmark: {rounds_text} after a dropped warm-up round.  ")
    print(f"Machine: {machine()}.")
    print()
    print("| measure | median | quartiles | 10th percentile |")
    print("|---|---|---|---|")
    labels = {
        "reference": "reference launcher: process creation to `layrix_main`",
        "software": f"`{EXE} --sw-renderer`: process creation to `layrix_main`",
        "probe": f"`{EXE}` with the probe (Xvfb): process creation to `layrix_main`",
        "bare": "bare GL context (Xvfb): class, hidden window, context, GL_VERSION, gone",
    }
    for name, _ in programs:
        low, high = quartiles(column[name])
        print(f"| {labels[name]} | {ms(statistics.median(column[name]))} | "
              f"{ms(low)} to {ms(high)} | {ms(fastest_tenth(column[name]))} |")
    low, high = quartiles(ratio)
    fast = fastest_tenth(column["software"]) / fastest_tenth(column["reference"])
    print(f"| **launcher / reference** (median of per-round ratios; last column: ratio of the "
          f"10th percentiles) | **{statistics.median(ratio):.3f}** | {low:.3f} to {high:.3f} | "
          f"{fast:.3f} |")
    low, high = quartiles(probe)
    fast = ((fastest_tenth(column["probe"]) - fastest_tenth(column["software"])) /
            fastest_tenth(column["bare"]))
    print(f"| **probe cost / bare context** (median of per-round (probe - no probe) / bare) | "
          f"**{statistics.median(probe):.3f}** | {low:.3f} to {high:.3f} | {fast:.3f} |")
    print(f"| peak working set at the hand-off: launcher / reference | "
          f"{statistics.median(peaks['software']):.0f} KiB / "
          f"{statistics.median(peaks['reference']):.0f} KiB | | |")
    print()
    print(f"Launcher's time per step (`launch_steps.exe --sw-renderer`, the launcher's sequence "
          f"with a timestamp after each step; median of {options.step_runs} runs; "
          f"\"(alone)\" rows are timed cold in separate runs, before the crash set-up that "
          f"includes them):")
    print()
    print("| step | median | quartiles | 10th percentile |")
    print("|---|---|---|---|")
    total = steps.pop("total to the entry of layrix_main", None)
    for name, values in steps.items():
        low, high = quartiles(values)
        print(f"| {name} | {statistics.median(values) / 1000:.2f} ms | "
              f"{low / 1000:.2f} to {high / 1000:.2f} ms | {fastest_tenth(values) / 1000:.2f} ms |")
    if total:
        print(f"| total to the entry of `layrix_main` | {ms(statistics.median(total))} | | |")
    if options.queue_folder:
        queue_rows(options.queue_folder, env, max(options.step_runs, 1))
    if options.sdk_folder:
        sdk_rows(options.queue_folder, options.sdk_folder, env, max(options.step_runs, 1))


# A DSN whose server cannot be reached: nothing listens on the discard port of the loopback.
UNREACHABLE_DSN = "http://pubkey@127.0.0.1:9/42"
PENDING = 20
ENVELOPE = (b'{"event_id":"' + b"0" * 32 + b'"}\n{"type":"event","length":1000}\n' +
            b"x" * 1000 + b"\n")


def stamp(seconds_ago):
    """A report name's UTC stamp (YYYYMMDDTHHMMSSmmmZ) of a moment before now: recent, so the
    queue's age limit keeps the file."""
    return time.strftime("%Y%m%dT%H%M%S000Z", time.gmtime(time.time() - seconds_ago))


def fresh_database(folder, pending=0, last_crash=False):
    """The launcher folder's "dump" emptied, then `pending` crash envelopes of earlier runs put
    in it, each already tried once on a start whose network failed (the backlog), and, with
    `last_crash`, the report of a crash of the last run that no start has tried yet."""
    database = Path(folder) / "dump"
    shutil.rmtree(database, ignore_errors=True)
    database.mkdir()
    for i in range(pending):
        (database / f"{stamp(86400 + i)}-{i}~1.envelope").write_bytes(ENVELOPE)
    if last_crash:
        (database / f"{stamp(60)}-last.envelope").write_bytes(ENVELOPE)


def print_row(label, values):
    low, high = quartiles(values)
    print(f"| {label} | {ms(statistics.median(values))} | {ms(low)} to {ms(high)} | "
          f"{ms(fastest_tenth(values))} |")


def compare(title, first, second, runs):
    """Alternating pairs of runs of two set-ups, each (label, run) where run() gives
    microseconds; prints their rows and the median of the per-pair ratios second / first."""
    first[1]()  # warm-up, dropped
    second[1]()
    pairs = []
    for i in range(runs):
        if i % 2 == 0:
            a = first[1]()
            b = second[1]()
        else:
            b = second[1]()
            a = first[1]()
        pairs.append((a, b))
    print()
    print(title)
    print()
    print("| measure | median | quartiles | 10th percentile |")
    print("|---|---|---|---|")
    print_row(first[0], [a for a, _ in pairs])
    print_row(second[0], [b for _, b in pairs])
    ratio = [b / a for a, b in pairs]
    low, high = quartiles(ratio)
    print(f"| **{second[0].split(':')[0]} / {first[0].split(':')[0]}** (median of per-pair "
          f"ratios) | **{statistics.median(ratio):.3f}** | {low:.3f} to {high:.3f} | |")


def queue_rows(folder, env, runs):
    """Time to the hand-off with PENDING envelopes waiting and an unreachable server, against
    none waiting: what the upload queue costs a start."""
    runner = Runner(folder, {**env, "TAVRO_TEST_PLUGIN_DSN": UNREACHABLE_DSN})

    def hand_off(pending, last_crash=False):
        def run():
            fresh_database(folder, pending, last_crash)
            return runner.run(EXE, "--sw-renderer", "a.gcode", label="queue")["entry_us queue"][0]
        return run

    compare(f"Crash reporter's upload queue (`{EXE} --sw-renderer` with a plugin giving the DSN "
            f"{UNREACHABLE_DSN}, nothing listening; {runs} alternating pairs of runs):",
            ("none pending: process creation to `layrix_main`", hand_off(0)),
            (f"{PENDING} pending: process creation to `layrix_main`", hand_off(PENDING)), runs)
    # The last run's crash is sent at once, not after the delay that keeps the rest of the
    # sending off the hand-off: what that costs the hand-off.
    compare(f"A crash of the last run waiting at the start (the same set-up; {runs} alternating "
            f"pairs of runs):",
            ("none pending: process creation to `layrix_main`", hand_off(0)),
            ("crash waiting: process creation to `layrix_main`", hand_off(0, True)), runs)
    fresh_database(folder)


def sdk_rows(lite_folder, sdk_folder, env, runs):
    """The launcher with the lite sentry.dll against the same folder with the SDK's, both
    given the unreachable DSN and nothing pending: to the hand-off, and the whole run (the
    shutdown included, which sends or gives up on the run's session)."""
    env = {**env, "TAVRO_TEST_PLUGIN_DSN": UNREACHABLE_DSN}
    runners = {lite_folder: Runner(lite_folder, env), sdk_folder: Runner(sdk_folder, env)}
    whole = {lite_folder: [], sdk_folder: []}

    def hand_off(folder):
        def run():
            fresh_database(folder)
            started = time.monotonic()
            values = runners[folder].run(EXE, "--sw-renderer", "a.gcode", label="sdk")
            whole[folder].append((time.monotonic() - started) * 1e6)
            return values["entry_us sdk"][0]
        return run

    compare(f"The lite reporter against the SDK's `sentry.dll` (the same launcher folder, "
            f"`{EXE} --sw-renderer`, the DSN {UNREACHABLE_DSN}, nothing pending; {runs} "
            f"alternating pairs of runs):",
            ("lite: process creation to `layrix_main`", hand_off(lite_folder)),
            ("SDK: process creation to `layrix_main`", hand_off(sdk_folder)), runs)
    for label, folder in (("lite", lite_folder), ("SDK", sdk_folder)):
        # past the warm-up
        print_row(f"{label}: the whole run, as its caller waits for it", whole[folder][1:])
    for folder in (lite_folder, sdk_folder):
        fresh_database(folder)

if __name__ == "__main__":
    main()
