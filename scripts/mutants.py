"""Runs a stable sample of mutants of the production sources against the tests.

Started by scripts/mutants, which installs what is missing, builds, and prepares the prefix.
"""
import argparse
import contextlib
import difflib
import os
import json
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

PRODUCTION = ("base", "client", "status", "overlay", "menu", "module", "doctor")
SUFFIXES = (".c", ".cpp", ".h")
REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def production_sources(root):
    listed = subprocess.run(["git", "-C", str(root), "ls-files", *PRODUCTION],
                            capture_output=True, text=True)
    if listed.returncode == 0 and listed.stdout.strip():
        names = listed.stdout.split()
    else:
        names = [str(p.relative_to(root)) for folder in PRODUCTION
                 for p in (root / folder).rglob("*")]
    return sorted(n for n in names if n.endswith(SUFFIXES))


def session_members(session):
    """The live processes of a session; a zombie has nothing left to write."""
    members = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            stat = Path(entry.path, "stat").read_text()
        except OSError:
            continue  # ended meanwhile
        state, _parent, _group, sid = stat[stat.rindex(")") + 2:].split()[:4]
        if int(sid) == session and state != "Z":
            members.append(int(entry.name))
    return members


def size(path):
    return sum(1 for line in path.read_text(errors="replace").splitlines() if line.strip())


def make_mutants(root, source, into):
    into.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, PYTHONPATH=os.environ["ORBETH_MUTATOR_DIR"])
    subprocess.run([sys.executable, "-m", "universalmutator.genmutants", str(root / source),
                    "cpp", "--noCheck", "--mutantDir", str(into)],
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    number = lambda p: int(p.name.split(".mutant.")[1].split(".")[0])
    return sorted(into.glob("*.mutant.*"), key=number)


def allocate(count, sizes, available):
    """Shares count among the files by size (largest remainders first), never more than a file has."""
    share = {f: 0 for f in sizes}
    left = min(count, sum(available.values()))
    while left > 0:
        open_files = [f for f in sizes if share[f] < available[f]]
        total = sum(sizes[f] for f in open_files)
        exact = {f: left * sizes[f] / total for f in open_files}
        given = 0
        for f in open_files:
            take = min(int(exact[f]), available[f] - share[f])
            share[f] += take
            given += take
        for f in sorted(open_files, key=lambda f: (-(exact[f] - int(exact[f])), f)):
            if given == left:
                break
            if share[f] < available[f]:
                share[f] += 1
                given += 1
        left -= given
    return share


def describe(original, mutant):
    """The first changed line, the change, and whether only comments or spacing changed."""
    before, after = original.splitlines(), mutant.splitlines()
    comment = lambda lines: all(l.strip().startswith(("//", "/*//")) or not l.strip() for l in lines)
    if "".join(original.split()) == "".join(mutant.split()):  # spacing, unless inside a text
        comment = lambda lines: not any('"' in l or "'" in l for l in lines)
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, before, after).get_opcodes():
        if tag == "equal":
            continue
        old = " ".join(l.strip() for l in before[i1:i2]) or "(nothing)"
        new = " ".join(l.strip() for l in after[j1:j2]) or "(removed)"
        return i1 + 1, f"{old} -> {new}", comment(before[i1:i2]) and comment(after[j1:j2])
    return 0, "(no change)", True


class Runner:
    def __init__(self, args):
        self.build = Path(args.build)
        self.root = Path(args.root)
        self.timeout = args.timeout
        self.prefix = Path(os.environ["WINEPREFIX"])
        self.snapshot = self.build / "mutants" / "registry"
        self.child = None  # the build or test step last started
        self.stopped_by = None  # the signal that cut the run short
        # The tests listen on fixed loopback ports: in a network of their own, another run of the
        # tests on this machine cannot take them away and pass for a kill. Wine's sockets belong to
        # its server, so the server starts in that network too.
        # (It would hold the output pipe open for as long as it runs.)
        start = 'wineserver -p </dev/null >/dev/null 2>&1 && exec "$@"'
        isolated = ["unshare", "--net", "sh", "-c", "ip link set lo up && " + start, "sh"]
        plain = ["sh", "-c", start, "sh"]
        # A server still running for the prefix (the build's own, say) would make the probe fail.
        self.stop_server()
        self.isolated = isolated if subprocess.run(isolated + ["true"], stdout=subprocess.DEVNULL,
                                                   stderr=subprocess.DEVNULL).returncode == 0 else plain
        if self.isolated is plain:
            print("mutants: no network of their own for the tests (unshare --net failed): run nothing else "
                  "that listens on the tests' ports meanwhile", file=sys.stderr, flush=True)
        self.stop_server()
        self.snapshot.mkdir(parents=True, exist_ok=True)
        for name in REGISTRY_FILES:
            shutil.copy2(self.prefix / name, self.snapshot / name)
        # Only the test programs and what they depend on: the demo and the benchmarks need no relinking.
        listed = json.loads(subprocess.run(["ctest", "--test-dir", str(self.build), "--show-only=json-v1"],
                                           capture_output=True, text=True, check=True).stdout)
        self.targets = sorted({Path(word).stem for test in listed["tests"] for word in test.get("command", [])
                               if word.endswith(".exe")}) or ["all"]
        # A source's own compile command, to turn most non-compiling mutants away in a second or
        # two without touching the build.
        compdb = subprocess.run(["ninja", "-C", str(self.build), "-t", "compdb"],
                                capture_output=True, text=True, check=True).stdout
        self.commands = {}
        for entry in json.loads(compdb):
            file = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
            words = shlex.split(entry["command"])
            if not file.endswith((".c", ".cpp")) or "-c" not in words:
                continue  # links, resources and custom steps
            kept = []
            skip = False
            for word in words:
                if skip:
                    skip = False
                elif word in ("-MT", "-MF", "-o"):
                    skip = True
                elif word not in ("-MD", "-c"):
                    kept.append(word)
            self.commands.setdefault(file, (entry["directory"], kept + ["-fsyntax-only"]))

    def run(self, command, **options):
        """A build or test step in a session of its own, which a signal ends as a whole."""
        if self.stopped_by:
            raise SystemExit(128 + self.stopped_by)
        self.child = subprocess.Popen(command, start_new_session=True, **options)
        if self.stopped_by:  # the signal came while it was starting
            self.end_child()
        out, err = self.child.communicate()
        if self.stopped_by:
            raise SystemExit(128 + self.stopped_by)
        return subprocess.CompletedProcess(command, self.child.returncode, out, err)

    def end_child(self):
        """Ends the running step and everything it started, and returns once none of it is left.

        The session, not the process group: ninja gives each compiler a group of its own. What
        leaves the session is Wine's (its server and the programs its services start), which
        writes nothing of the build and ends with the server."""
        child = self.child
        if child is None or child.returncode is not None:
            return  # once reaped, its pid may name another session
        # Ninja then stops its compilers and removes what they half wrote; what is left after
        # ten seconds is killed.
        sent, deadline = signal.SIGTERM, time.monotonic() + 10
        while members := session_members(child.pid):
            for pid in members if sent else []:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, sent)
            sent = signal.SIGKILL if time.monotonic() > deadline else None
            time.sleep(0.05)
        # Not reaped here: a signal may have come while the step's own wait held the lock that
        # waiting takes, and that wait reaps it once this returns.

    def stop_server(self, restore=False):
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL)
        # A mutant may leave registrations or services behind; every run starts from the same registry.
        if restore:
            for name in REGISTRY_FILES:
                shutil.copy2(self.snapshot / name, self.prefix / name)

    def compiles(self, source):
        source = os.path.realpath(source)
        known = self.commands.get(source) or self.commands.get(self.includer(source))
        if not known:
            return True  # only the build can tell
        directory, command = known
        return self.run(command, cwd=directory, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL).returncode == 0

    def includer(self, header):
        """A source that includes the header, its own .cpp first: a header is checked through it."""
        own = os.path.splitext(header)[0] + ".cpp"
        if own in self.commands:
            return own
        name = "/".join(header.split("/")[-2:])
        for source in sorted(self.commands):
            if source.startswith(str(self.root)) and f'#include "{name}"' in Path(source).read_text(errors="replace"):
                return source
        return None

    def builds(self):
        return self.run(["cmake", "--build", str(self.build), "--target", *self.targets],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0

    def failing_tests(self):
        """The test programs that failed for the mutant in place, or an empty list."""
        self.stop_server(restore=True)
        # Not the format check: a mutant's text is seldom laid out as the formatter would, so it
        # would "kill" nearly every one for its spacing alone.
        ctest = ["ctest", "--test-dir", str(self.build), "--timeout", str(self.timeout), "--stop-on-failure",
                 "-j", str(os.cpu_count() or 1), "-E", "^format_is_clang_format$"]
        run = self.run(self.isolated + ctest, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                       errors="replace")
        if run.returncode == 0:
            return []
        failed = re.findall(r"^\s*\d+ - (\S+) \(", run.stdout, re.MULTILINE)
        return failed or ["ctest"]


def main():
    parser = argparse.ArgumentParser()
    for name in ("root", "build"):
        parser.add_argument("--" + name, required=True)
    for name in ("count", "draw", "timeout"):
        parser.add_argument("--" + name, type=int, required=True)
    args = parser.parse_args()
    root = Path(args.root)
    work = Path(args.build) / "mutants"
    shutil.rmtree(work / "made", ignore_errors=True)

    sources = production_sources(root)
    made = {s: make_mutants(root, s, work / "made" / s.replace("/", "__")) for s in sources}
    share = allocate(args.count, {s: size(root / s) for s in sources},
                     {s: len(m) for s, m in made.items()})
    sample = []
    for s in sources:
        # Each file draws with its own generator, so one file's mutants do not move another's.
        picked = random.Random(f"{args.draw}:{s}").sample(made[s], share[s])
        sample += [(s, m) for m in sorted(picked, key=made[s].index)]
    print(f"mutants: {len(sample)} sampled from {sum(map(len, made.values()))} "
          f"of {len(sources)} files (draw {args.draw})", flush=True)

    runner = Runner(args)
    current = {}  # source: (its text, its times, or None once a build has seen the mutant)
    def restore():
        # The fine clock, read once the build has ended: the kernel stamps files with a coarse clock
        # that is never ahead of it, so a file put back now is newer than anything the build wrote.
        now = time.time_ns()
        for s, (text, times) in current.items():
            (root / s).write_bytes(text)
            # The times it had when the build never saw the mutant; else later than anything
            # built from the mutant, so that the next build compiles from the file again.
            os.utime(root / s, ns=times or (now, now))
        current.clear()

    # The step running is ended before anything is restored: a compiler still at work would
    # otherwise write a mutant's object after the file was put back.
    def stop(signum, _frame):
        runner.stopped_by = runner.stopped_by or signum
        runner.end_child()
    for s in STOP_SIGNALS:
        signal.signal(s, stop)

    killed, survivors, not_built, in_comments = 0, [], 0, 0
    try:
        if runner.failing_tests():
            print("mutants: the tests fail on the unchanged sources", file=sys.stderr)
            return 1
        # A long run cut short goes on from where it stopped: ORBETH_MUTANTS_FROM=N starts at the Nth.
        # ORBETH_MUTANTS_ONLY=N,M,... runs only those, to check survivors again once tests were added.
        start = int(os.environ.get("ORBETH_MUTANTS_FROM", "1"))
        only = {int(n) for n in os.environ.get("ORBETH_MUTANTS_ONLY", "").split(",") if n.strip()}
        for n, (source, mutant) in enumerate(sample, 1):
            if n < start or (only and n not in only):
                continue
            original = (root / source).read_bytes()
            line, change, only_comments = describe(original.decode(errors="replace"),
                                                   mutant.read_text(errors="replace"))
            where = f"{source}:{line}: {change}"
            if only_comments:
                # The tool also rewrites comments and spacing; such a mutant is the program itself.
                in_comments += 1
                print(f"[{n}/{len(sample)}] changes only a comment or spacing: {where}", flush=True)
                continue
            stat = (root / source).stat()
            current[source] = (original, (stat.st_atime_ns, stat.st_mtime_ns))
            shutil.copyfile(mutant, root / source)
            try:
                compiles = runner.compiles(root / source)
                if compiles:
                    current[source] = (original, None)
                if not compiles or not runner.builds():
                    not_built += 1
                    verdict = "does not compile"
                elif not (failed := runner.failing_tests()):
                    survivors.append(where)
                    verdict = "SURVIVED"
                else:
                    killed += 1
                    verdict = f"killed ({', '.join(failed)})"
            finally:
                restore()
            print(f"[{n}/{len(sample)}] {verdict}: {where}", flush=True)
    finally:
        restore()
        if runner.stopped_by:
            print(f"mutants: stopped by {signal.Signals(runner.stopped_by).name}; the sources are restored",
                  file=sys.stderr, flush=True)
        else:
            runner.builds()
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)

    viable = killed + len(survivors)
    percent = 100.0 * killed / viable if viable else 0.0
    print(f"\nmutation score: {killed} of {viable} killed ({percent:.1f}%)")
    print(f"did not compile: {not_built}")
    print(f"changed only a comment or spacing: {in_comments}")
    print(f"survivors: {len(survivors)}")
    for where in survivors:
        print(f"  {where}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
