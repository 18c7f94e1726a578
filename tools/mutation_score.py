#!/usr/bin/env python3
"""Mutation score of a library: the share of planted faults its tests catch.

A mutant is the source with one small fault planted, as a reviewer would
plant it: a relational operator moved to its neighbour (< and <=, > and >=,
== and !=), + and -, * and /, && and || (and / or), a negation dropped or a
condition negated, an integer constant one off, true and false swapped, a
statement or a guard (a one-line `if (...) return/throw`) removed.

For each library the tool enumerates every site where such a fault can be
planted, draws a seeded sample, and for each mutant in turn:
  1. plants it in a private copy of the source tree (build/mutation/tree by
     default; the working tree is never touched) and rebuilds incrementally
     (CMake + Ninja, with the standard library's bounds checks on, so an
     index out of range fails at once; ccache is used when installed);
  2. runs the tests that cover the library: its C++ unit tests, the unit tests
     of the libraries built on it, and the pytest files that exercise it
     through the modules, cheapest first, stopping at the first failure;
  3. restores the file.
A mutant is killed when a test fails or the tests exceed the time limit (a
hang is caught), survives when every test passes, and is excluded when it
does not compile.

    score = killed / (killed + survived)

Survivors that no test can tell apart from the original (equivalent
mutants) are listed in tools/mutation_equivalents.txt with the reason, one
per line as `path | source line | mutation | reason`; the report gives the
score with them counted as survivors and with them left out.

Usage (from anywhere; the machine is shared, so run it niced):

    nice -n 19 python3 tools/mutation_score.py parser --sample 50 --seed 1
    nice -n 19 python3 tools/mutation_score.py python --files cutoffs.py indexed_fasta.py
    python3 tools/mutation_score.py text --list          # the sites, nothing run
    python3 tools/mutation_score.py parser --rerun build/mutation/parser.json  # its survivors again

Libraries: scoring scan text parser engine stats stream regions sequence
variants (C++ under src/),
binding (the vok module), scanner_binding (vokscan._engine) and python (the
vokscan package). --files narrows a library to some of its files (path
suffixes), --functions a Python library to some functions. The interpreter
used for the build and pytest is build/venv/bin/python when it exists (made
by tools/run_tests.sh), else this one. Results go to
build/mutation/<library>.json and a summary to standard output.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from mutation_sites import Mutant, cxx_mutants, python_mutants

ROOT = Path(__file__).resolve().parent.parent

# The tests of each library: C++ test binaries (CMake targets) and pytest
# files, cheapest first. A library's own unit tests come first, then those of
# the libraries built on it, then the Python tests that reach it.
MODULE_TESTS = ["tests/test_binding.py", "tests/test_value_classes.py", "tests/test_readers.py",
                "tests/test_float_text.py", "tests/test_module.py", "tests/test_calculator.py",
                "tests/test_file_loading.py", "tests/test_evaluate.py", "tests/test_real_data.py"]
SCANNER_TESTS = ["tests/scanner/test_package_names.py", "tests/scanner/test_stop_signals.py",
                 "tests/scanner/test_scan_api.py",
                 "tests/scanner/test_engine_exactness.py", "tests/scanner/test_engine_io.py",
                 "tests/scanner/test_engine_lines.py", "tests/scanner/test_pvalues.py",
                 "tests/scanner/test_motif_formats.py", "tests/scanner/test_cli.py",
                 "tests/scanner/test_pvalue_cli.py", "tests/scanner/test_qvalues.py",
                 "tests/scanner/test_subcommand_runs.py", "tests/regions/test_regions.py",
                 "tests/regions/test_count.py", "tests/regions/test_enrichment_stats.py",
                 "tests/regions/test_enrich.py", "tests/regions/test_report.py",
                 "tests/scanner/test_variants.py", "tests/scanner/test_interpreter_exit.py",
                 "tests/scanner/test_version.py", "tests/scanner/test_docstring_examples.py",
                 "tests/scanner/test_dask.py"]


@dataclasses.dataclass(frozen=True)
class Library:
    sources: Tuple[str, ...]          # folders (or files) whose code is mutated
    binaries: Tuple[str, ...] = ()    # C++ test targets, run in order
    pytest: Tuple[str, ...] = ()      # pytest files, run in order
    modules: Tuple[str, ...] = ()     # extension module targets the pytest files load


LIBRARIES: Dict[str, Library] = {
    "scoring": Library(("src/scoring/src", "src/scoring/include"),
                       ("scoring_tests", "scan_tests", "engine_tests", "stats_tests"),
                       ("tests/test_evaluate.py", "tests/test_real_data.py"), ("vok",)),
    "scan": Library(("src/scan/src", "src/scan/include"), ("scan_tests", "engine_tests", "stream_tests"),
                    ("tests/test_evaluate.py", "tests/scanner/test_engine_exactness.py"),
                    ("vok", "_engine")),
    "text": Library(("src/text/src", "src/text/include"), ("text_tests", "engine_tests"),
                    ("tests/test_float_text.py", "tests/test_value_classes.py",
                     "tests/test_file_loading.py", "tests/test_binding.py"), ("vok",)),
    "parser": Library(("src/parser/src", "src/parser/include"), ("parser_tests",),
                      ("tests/test_readers.py", "tests/test_file_loading.py",
                       "tests/test_value_classes.py", "tests/test_real_data.py",
                       "tests/scanner/test_motif_formats.py"), ("vok",)),
    "engine": Library(("src/engine/src", "src/engine/include"), ("engine_tests",),
                      ("tests/test_calculator.py", "tests/test_file_loading.py",
                       "tests/test_evaluate.py", "tests/test_real_data.py"), ("vok",)),
    "stats": Library(("src/stats/src", "src/stats/include"), ("stats_tests", "stream_tests"),
                     ("tests/scanner/test_pvalues.py", "tests/scanner/test_pvalue_cli.py"),
                     ("_engine",)),
    "stream": Library(("src/stream/src", "src/stream/include"), ("stream_tests",),
                      ("tests/scanner/test_engine_io.py", "tests/scanner/test_engine_exactness.py",
                       "tests/scanner/test_scan_api.py", "tests/scanner/test_cli.py",
                       "tests/scanner/test_pvalues.py", "tests/scanner/test_dask.py"), ("_engine",)),
    "regions": Library(("src/regions/src", "src/regions/include"), ("regions_tests",),
                       ("tests/regions/test_regions.py", "tests/regions/test_count.py",
                        "tests/regions/test_enrich.py"), ("_engine",)),
    "sequence": Library(("src/sequence/src", "src/sequence/include"), ("sequence_tests",),
                        ("tests/regions/test_enrich.py",), ("_engine",)),
    "variants": Library(("src/variants/src", "src/variants/include"), ("variants_tests",),
                        ("tests/scanner/test_variants.py",), ("_engine",)),
    "binding": Library(("src/binding",), ("binding_tests",), tuple(MODULE_TESTS), ("vok",)),
    "scanner_binding": Library(("src/scanner_binding",), (), tuple(SCANNER_TESTS), ("_engine",)),
    "python": Library(("python/vokscan",), (), tuple(SCANNER_TESTS), ("vok", "_engine")),
}

CXX_SUFFIXES = (".cpp", ".hpp", ".h", ".cc")
# Extension module targets and the names they are imported by.
MODULE_NAMES = {"vok": "vok", "_engine": "vokscan._engine"}
EQUIVALENTS_FILE = ROOT / "tools" / "mutation_equivalents.txt"


def library_files(library: Library, only: Optional[Sequence[str]]) -> List[str]:
    files: List[str] = []
    for source in library.sources:
        base = ROOT / source
        candidates = [base] if base.is_file() else sorted(p for p in base.rglob("*") if p.is_file())
        for path in candidates:
            relative = path.relative_to(ROOT).as_posix()
            if "/tests/" in relative or relative.endswith(".txt"):
                continue
            if not relative.endswith(CXX_SUFFIXES + (".py",)):
                continue
            if only and not any(relative.endswith(suffix) for suffix in only):
                continue
            files.append(relative)
    return files


def enumerate_mutants(files: Iterable[str], functions: Optional[Sequence[str]]) -> List[Mutant]:
    mutants: List[Mutant] = []
    for relative in files:
        text = (ROOT / relative).read_text(encoding="utf-8")
        if relative.endswith(".py"):
            mutants += python_mutants(relative, text, functions)
        else:
            mutants += cxx_mutants(relative, text)
    return mutants


# --- equivalents -------------------------------------------------------------

def load_equivalents() -> Dict[Tuple[str, str, str], str]:
    """(path, stripped source line, mutation) -> why no test can tell it apart."""
    table: Dict[Tuple[str, str, str], str] = {}
    if not EQUIVALENTS_FILE.exists():
        return table
    for raw in EQUIVALENTS_FILE.read_text(encoding="utf-8").splitlines():
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        parts = [part.strip() for part in raw.split(" | ")]
        if len(parts) >= 4:  # the source line may hold " | " itself
            table[(parts[0], " | ".join(parts[1:-2]), parts[-2])] = parts[-1]
    return table


# --- the build and the tests -----------------------------------------------

class Workspace:
    """A private copy of the source tree, its build and the staged modules."""

    def __init__(self, base: Path, python: str, jobs: int):
        self.base = base
        self.tree = base / "tree"
        # Two levels below the tree, as the usual build folders are, so that
        # ccache sees the same relative paths and reuses their objects.
        self.build = self.tree / "build" / "mutants"
        self.stage = base / "stage"
        self.python = python
        self.jobs = jobs

    def prepare(self, targets: Sequence[str]) -> None:
        self._sync_tree()
        cmake_dir = subprocess.run([self.python, "-m", "pybind11", "--cmakedir"],
                                   capture_output=True, text=True, check=True).stdout.strip()
        # The standard library's bounds checks make an index out of range (an
        # array one too short, a loop one too long) fail at once, as the
        # sanitizer pass of the test suite would.
        command = ["cmake", "-S", str(self.tree), "-B", str(self.build), "-G", "Ninja",
                   "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS",
                   "-DVOK_BUILD_TESTS=ON", "-DVOK_BUILD_MODULE=ON",
                   # No link-time optimisation: a mutated module relinks in seconds.
                   "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF",
                   f"-DPython_EXECUTABLE={self.python}", f"-Dpybind11_DIR={cmake_dir}"]
        if shutil.which("ccache"):
            command.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        if not self.build_targets(targets):
            raise SystemExit(f"the unmutated tree does not build: cmake --build {self.build}")
        self._stage_modules()

    def _sync_tree(self) -> None:
        """Copies the working tree's files (tracked and untracked, not ignored)."""
        listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-co", "--exclude-standard", "-z"],
                                capture_output=True, check=True).stdout.decode().split("\0")
        for relative in filter(None, listed):
            source = ROOT / relative
            target = self.tree / relative
            if not source.is_file():
                continue
            if target.exists() and target.read_bytes() == source.read_bytes():
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target)

    def _stage_modules(self) -> None:
        suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
        self.stage.mkdir(parents=True, exist_ok=True)
        links = {self.stage / f"vok{suffix}": self.build / "src/binding" / f"vok{suffix}",
                 self.tree / "python/vokscan" / f"_engine{suffix}":
                     self.build / "src/scanner_binding" / f"_engine{suffix}"}
        for link, target in links.items():
            if link.is_symlink() or link.exists():
                link.unlink()
            link.symlink_to(target)

    def build_targets(self, targets: Sequence[str], quiet: bool = True) -> bool:
        if not targets:
            return True
        done = subprocess.run(["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target",
                               *targets], stdout=subprocess.DEVNULL if quiet else None,
                              stderr=subprocess.DEVNULL if quiet else None)
        return done.returncode == 0

    def environment(self) -> Dict[str, str]:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(self.tree / "python"), str(self.stage)])
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        return env

    def binary(self, target: str) -> Path:
        found = list(self.build.glob(f"src/*/{target}"))
        if not found:
            raise SystemExit(f"no test binary {target} in {self.build}")
        return found[0]


def run_with_limit(command: Sequence[str], cwd: Path, env: Dict[str, str], limit: float) -> str:
    """'pass', 'fail' or 'timeout'; a timed-out command's whole process group is ended."""
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        return "pass" if process.wait(timeout=limit) == 0 else "fail"
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return "timeout"


class TestPlan:
    """The library's test commands, each with the targets it needs and a time
    limit from its unmutated run. Targets are built just before their tests
    run, so a mutant killed by the first tests costs only their build."""

    def __init__(self, workspace: Workspace, library: Library):
        self.workspace = workspace
        self.commands: List[Tuple[str, List[str], List[str]]] = []
        for target in library.binaries:
            self.commands.append((target, [target], [str(workspace.binary(target)), "--gtest_brief=1"]))
        for test_file in library.pytest:
            self.commands.append((test_file, list(library.modules),
                                  [workspace.python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                                   test_file]))
        self.limits: Dict[str, float] = {}

    def calibrate(self) -> None:
        env = self.workspace.environment()
        # The tests skip themselves when a module does not import (a build cut
        # short leaves an empty one that Ninja takes for up to date): then
        # every mutant would survive them unseen.
        for module in sorted({m for _, targets, _ in self.commands for m in targets if m in MODULE_NAMES}):
            done = subprocess.run([self.workspace.python, "-c", f"import {MODULE_NAMES[module]}"],
                                  cwd=self.workspace.tree, env=env, capture_output=True, text=True)
            if done.returncode != 0:
                last = (done.stderr.strip().splitlines() or ["?"])[-1]
                raise SystemExit(f"{MODULE_NAMES[module]} does not import on the unmutated tree ({last}); "
                                 f"remove it from {self.workspace.build} and run again")
        for name, _, command in self.commands:
            began = time.monotonic()
            outcome = run_with_limit(command, self.workspace.tree, env, 1800)
            if outcome != "pass":
                raise SystemExit(f"{name} fails on the unmutated tree")
            took = time.monotonic() - began
            self.limits[name] = max(60.0, 3 * took)
            print(f"   {name}: {took:.1f} s", flush=True)

    def ordered_for(self, path: str) -> List[Tuple[str, List[str], List[str]]]:
        """The commands, those whose test file names the mutated Python module
        first (a fault in the cluster code is found by the cluster tests, not
        after every other file has passed); the order is otherwise kept."""
        if path.endswith(".py"):
            # The module's name and its package's (cluster/driver.py: "driver", "cluster").
            names = {Path(path).stem, Path(path).parent.name} - {"__init__", "vokscan"}
        else:
            # A binding file: the classes and functions it gives the module.
            source = (self.workspace.tree / path).read_text(encoding="utf-8") if path else ""
            names = set(re.findall(r'(?:module\.def\(|\(module, |add_object\()"(\w+)"', source))
        if not names:
            return self.commands

        def names_it(command) -> bool:
            test_file = self.workspace.tree / command[0]
            if test_file.suffix != ".py":
                return False
            text = test_file.read_text(encoding="utf-8")
            return any(name in text for name in names)

        return sorted(self.commands, key=lambda command: not names_it(command))

    def run(self, compiled: bool, path: str = "") -> Tuple[str, str]:
        """('killed', by what), ('survived', '') or ('excluded', why); `compiled`:
        C++ code is mutated, so each command's targets are built first."""
        env = self.workspace.environment()
        built: set = set()
        for name, targets, command in self.ordered_for(path):
            wanted = [target for target in targets if target not in built]
            if compiled and wanted:
                if not self.workspace.build_targets(wanted):
                    return "excluded", "does not compile"
                built.update(wanted)
            outcome = run_with_limit(command, self.workspace.tree, env, self.limits[name])
            if outcome != "pass":
                return "killed", f"{name}{' (time limit)' if outcome == 'timeout' else ''}"
        return "survived", ""


# --- the sweep -------------------------------------------------------------

def survivors(results: List[Dict]) -> List[Dict]:
    return [r for r in results if r["outcome"] in ("survived", "equivalent")]


def find_again(every: List[Mutant], result: Dict) -> Optional[Mutant]:
    """The mutant of an earlier report in the current code: same file, source
    line and mutation, the nearest line (lines move as code is added)."""
    same = [m for m in every if (m.path, m.line_text, m.description) ==
            (result["path"], result["source"], result["mutation"])]
    if not same:
        return None
    text = (ROOT / result["path"]).read_text(encoding="utf-8")

    def column(m: Mutant) -> int:
        return m.start - (text.rfind("\n", 0, m.start) + 1)

    # Reports made before columns were kept match the first such mutant of the line.
    return min(same, key=lambda m: (column(m) != result.get("column", column(m)), abs(m.line - result["line"])))


def reclassify(results: List[Dict]) -> List[Dict]:
    """Survivors listed as equivalent are marked so, with the reason."""
    equivalents = load_equivalents()
    marked = []
    for result in results:
        reason = equivalents.get((result["path"], result["source"], result["mutation"]))
        if result["outcome"] in ("survived", "equivalent"):
            result = dict(result, outcome="equivalent" if reason else "survived", by=reason or "")
        marked.append(result)
    return marked


def sweep(name: str, library: Library, mutants: List[Mutant], workspace: Workspace,
          report_path: Path, earlier: List[Dict], replace: bool = True) -> List[Dict]:
    """Runs every mutant; with an earlier report, updates its survivors' entries
    in place (`replace`) or adds the new mutants' entries to it."""
    targets = list(library.binaries) + list(library.modules)
    plan = TestPlan(workspace, library)
    print(f"== {name}: calibrating {len(plan.commands)} test commands", flush=True)
    plan.calibrate()
    results = [dict(r) for r in earlier]
    redo = survivors(results) if replace else []
    for number, mutant in enumerate(mutants, 1):
        file_path = workspace.tree / mutant.path
        original = file_path.read_text(encoding="utf-8")
        try:
            file_path.write_text(mutant.apply(original), encoding="utf-8")
            outcome, by = plan.run(compiled=not mutant.path.endswith(".py"), path=mutant.path)
        finally:
            file_path.write_text(original, encoding="utf-8")
        # The column tells apart mutants of one line with the same description.
        column = mutant.start - (original.rfind("\n", 0, mutant.start) + 1)
        entry = {"path": mutant.path, "line": mutant.line, "column": column, "mutation": mutant.description,
                 "source": mutant.line_text, "outcome": outcome, "by": by}
        same = [r for r in redo if (r["path"], r["source"], r["mutation"]) ==
                (mutant.path, mutant.line_text, mutant.description)]
        if same:
            old = min(same, key=lambda r: (r.get("column", column) != column, abs(r["line"] - mutant.line)))
            redo.remove(old)
            results[results.index(old)] = entry
        else:
            results.append(entry)
        print(f"[{number}/{len(mutants)}] {outcome:10} {mutant.path}:{mutant.line} "
              f"{mutant.description}  {by}", flush=True)
        report_path.write_text(json.dumps({"library": name, "results": results}, indent=1))
    workspace.build_targets(targets)  # leave the build matching the tree
    return reclassify(results)


def summarise(name: str, results: List[Dict]) -> Dict:
    count = {outcome: sum(r["outcome"] == outcome for r in results)
             for outcome in ("killed", "survived", "equivalent", "excluded")}
    judged = count["killed"] + count["survived"] + count["equivalent"]
    with_equivalents = count["killed"] / judged if judged else 1.0
    without = count["killed"] / (judged - count["equivalent"]) if judged - count["equivalent"] else 1.0
    print(f"\n{name}: {len(results)} mutants: {count['killed']} killed, {count['survived']} survived, "
          f"{count['equivalent']} equivalent, {count['excluded']} excluded (do not compile)")
    print(f"score {100 * with_equivalents:.1f} % (equivalents counted as survivors), "
          f"{100 * without:.1f} % without the equivalents")
    for result in results:
        if result["outcome"] in ("survived", "equivalent"):
            note = f"  [equivalent: {result['by']}]" if result["outcome"] == "equivalent" else ""
            print(f"  {result['outcome']}: {result['path']}:{result['line']}: {result['mutation']}"
                  f"   {result['source']}{note}")
    return count


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("library", choices=sorted(LIBRARIES))
    parser.add_argument("--sample", type=int, default=50, help="mutants drawn (default 50; 0: all)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    parser.add_argument("--files", nargs="+", help="only these files (path suffixes)")
    parser.add_argument("--functions", nargs="+",
                        help="Python: only these functions, in the files that define them")
    parser.add_argument("--tests", nargs="+", help="these pytest files instead of the library's")
    parser.add_argument("--list", action="store_true", help="list the drawn mutants and stop")
    parser.add_argument("--rerun", type=Path,
                        help="run the survivors of this earlier report again and update it")
    parser.add_argument("--resume", type=Path,
                        help="go on with this unfinished sweep: run the drawn mutants it lacks")
    parser.add_argument("--summary", type=Path, help="summarise this report and stop")
    parser.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    parser.add_argument("--workdir", type=Path, default=ROOT / "build" / "mutation",
                        help="copy of the tree, its build, the reports (default build/mutation)")
    args = parser.parse_args(argv)
    args.workdir = args.workdir.resolve()  # the tests run from inside the copy

    library = LIBRARIES[args.library]
    if args.tests:
        library = dataclasses.replace(library, pytest=tuple(args.tests))
    files = library_files(library, args.files)
    every = enumerate_mutants(files, args.functions)
    if args.summary:
        summarise(args.library, reclassify(json.loads(args.summary.read_text())["results"]))
        return 0
    earlier: List[Dict] = []
    if args.rerun:
        earlier = json.loads(args.rerun.read_text())["results"]
        drawn = [m for m in map(lambda r: find_again(every, r), survivors(earlier)) if m]
    elif args.sample and args.sample < len(every):
        drawn = sorted(random.Random(args.seed).sample(every, args.sample),
                       key=lambda m: (m.path, m.start))
    else:
        drawn = every
    if args.resume:
        earlier = json.loads(args.resume.read_text())["results"]
        done = [m for m in map(lambda r: find_again(drawn, r), earlier) if m]
        drawn = [m for m in drawn if m not in done]
    print(f"{args.library}: {len(files)} files, {len(every)} mutation sites, {len(drawn)} drawn "
          f"(seed {args.seed})", flush=True)
    if args.list:
        for mutant in drawn:
            print(f"  {mutant.path}:{mutant.line}: {mutant.description}   {mutant.line_text}")
        return 0

    venv_python = ROOT / "build" / "venv" / "bin" / "python"
    python = str(venv_python) if venv_python.exists() else sys.executable
    workspace = Workspace(args.workdir, python, args.jobs)
    args.workdir.mkdir(parents=True, exist_ok=True)
    workspace.prepare(list(library.binaries) + list(library.modules))
    # A termination request restores the mutated file through the finally clause.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    report = args.rerun or args.resume or args.workdir / f"{args.library}.json"
    results = sweep(args.library, library, drawn, workspace, report, earlier, replace=not args.resume)
    summarise(args.library, results)
    print(f"report: {report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
