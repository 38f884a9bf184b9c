#!/usr/bin/env python3
"""Mutation run: small faults a developer could make, put into the engine,
the MIDI code, the MIDI file reader and the plugins (their controls, the
engine at the host's rate, the LV2 and CLAP plugins and the panel's layout)
one at a time, against the fast tests. A fault the tests pass with is a
survivor: a place where they look away.

Usage: scripts/mutate.py [FILE...]     (default: every file below SOURCES)
  MUTANTS=N   how many faults, drawn from all of them (default 40; 0: all)
  SEED=S      which ones (default 1): the same seed draws the same faults,
              whatever else changed in the files
  MUTATE_BUILD=DIR  the scratch folder (default build-mutate): a copy of the
              sources and its own ccache build, so that the working tree is
              never touched and may change while a run goes on.
Prints each fault's outcome, then the figures per folder and the survivors.
"""
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

# What the fast tests reach: the MIDI devices' code (midi_input, jack_midi_input,
# alsa_port_watch) is for the tests on a JACK server, minutes long, and the
# panel's drawing and X11 calls (plugin_view, the formats' panel glue) for the
# tests on a display; its layout is plain arithmetic.
SOURCES = ["engine/*.cpp", "midi/note_handling.cpp", "midi/short_messages.h",
           "midi_file/*.cpp", "plugins/controls/*.cpp", "plugins/controls/control_ports.h",
           "plugins/host_rate/*.cpp", "plugins/lv2/*.cpp", "plugins/clap/*.cpp",
           "plugins/panel/panel_layout.h"]
LEFT_OUT = ["plugins/lv2/ondrilux_ui.cpp", "plugins/clap/clap_panel.cpp"]
TARGETS = ["engine_tests", "renderer_tests", "plugin_tests", "midi_tests", "clap_tests"]
# Each runs in seconds; the threads' stress loops, the JACK tests and those on
# a display (without DISPLAY they skip) do not.
TESTS = [
    ["tests/midi/midi_tests", "--gtest_filter=ShortMessages.*"],
    ["tests/plugin/plugin_tests", "--gtest_filter=-Jalv.*"],
    ["tests/plugin/clap_tests", "--gtest_filter=-ClapInQtractor.*:ClapPanel.*"],
    ["tests/engine/engine_tests", "--gtest_filter=-Threads.ReleaseWhileArming*:"
     "Threads.CloseWhileNotesArrive*"],
    ["tests/renderer/renderer_tests"],
]
TEST_TIMEOUT = 120  # seconds per test program; a fault that loops for ever is caught

# One fault per match: (name, pattern, replacement or function of the match).
SWAPS = {"<": ">=", "<=": ">", ">": "<=", ">=": "<", "==": "!=", "!=": "==",
         "+": "-", "-": "+", "*": "/", "/": "*", "&": "|", "|": "&", "&&": "||",
         "||": "&&", "<<": ">>", ">>": "<<", "+=": "-=", "-=": "+=",
         "true": "false", "false": "true", "++": "--", "--": "++"}
OPERATORS = [
    ("operator", re.compile(r"(?<= )(<=|>=|==|!=|&&|\|\||<<|>>|\+=|-=|[<>+\-*/&|])(?= )"),
     lambda m: SWAPS[m.group(1)]),
    ("boolean", re.compile(r"\b(true|false)\b"), lambda m: SWAPS[m.group(1)]),
    ("step", re.compile(r"(\+\+|--)(?=[\w.]+;)"), lambda m: SWAPS[m.group(1)]),
    ("literal+1", re.compile(r"(?<![\w.])(\d+\.\d+|0x[0-9A-Fa-f]+|\d+)(?![\w.])"),
     lambda m: bump(m.group(1), 1)),
    ("literal-1", re.compile(r"(?<![\w.])(0x[0-9A-Fa-f]+|[1-9]\d*)(?![\w.])"),
     lambda m: bump(m.group(1), -1)),
]
CALL = re.compile(r"std::(clamp|min|max)\(")
CONDITION = re.compile(r"\b(if|while) \(")
STATEMENT = re.compile(r"^\s*(\+\+|--)?[\w.\->\[\]]+(\s*(=|\+=|-=|\+\+|--)\s*.*|\(.*\))?;$")
DECLARATION = re.compile(r"^\s*(return|const|constexpr|static|auto|using|break|continue)\b"
                         r"|^\s*[\w:<>]+[\s*&]+\w+( = .*)?;$")


def bump(literal, by):
    if literal.startswith("0x"):
        return hex(int(literal, 16) + by)
    if "." in literal:
        return repr(float(literal) + by)
    return str(int(literal) + by)


def closing(text, start):
    """Index just past the parenthesis that closes the one at text[start]."""
    depth = 0
    for i in range(start, len(text)):
        depth += {"(": 1, ")": -1}.get(text[i], 0)
        if depth == 0:
            return i + 1
    return None


def code_part(line):
    """The line with its comment cut off and its strings blanked: what may change."""
    line = re.sub(r'"(\\.|[^"\\])*"', lambda m: '"' + " " * (len(m.group()) - 2) + '"', line)
    line = re.sub(r"'(\\.|[^'\\])'", lambda m: "'" + " " * (len(m.group()) - 2) + "'", line)
    return line.split("//")[0]


def mutants_of_line(line, previous):
    code = code_part(line)
    stripped = code.strip()
    # Rows of a data table (presets, names) are facts to copy, not logic to get wrong.
    if not stripped or stripped.startswith(("#", "static_assert", "case ", "namespace", '{"')):
        return
    for name, pattern, change in OPERATORS:
        for m in pattern.finditer(code):
            yield name, line[:m.start()] + change(m) + line[m.end():]
    for m in CALL.finditer(code):  # a bound or a clamp left out: keep the first argument
        end = closing(code, m.end() - 1)
        if end:
            args = code[m.end():end - 1].split(",")[0]
            yield "no " + m.group(1), line[:m.start()] + args.strip() + line[end:]
    for m in CONDITION.finditer(code):
        end = closing(code, m.end() - 1)
        if end:
            yield "negated", line[:m.end()] + "!(" + line[m.end():end - 1] + ")" + line[end - 1:]
    # A whole statement left out (an assignment, a reset, a call), where it
    # stands on its own line and is no body of a braceless if.
    before = code_part(previous).rstrip()
    if (STATEMENT.match(code) and not DECLARATION.match(code)
            and (not before or before.endswith((";", "{", "}")))):
        yield "deleted", re.match(r"\s*", line).group() + "// (left out)\n"


def all_mutants(files):
    mutants = []
    for path in files:
        lines = Path(path).read_text().splitlines(keepends=True)
        previous = ""
        in_comment = False
        for number, line in enumerate(lines, 1):
            if "/*" in line:
                in_comment = True
            if not in_comment:
                for name, changed in mutants_of_line(line, previous):
                    if changed != line:
                        mutants.append((path, number, name, line, changed))
                if line.strip():
                    previous = line
            if "*/" in line:
                in_comment = False
    return mutants


def draw(mutant, seed=os.environ.get("SEED", "1")):
    """The seed's order of a fault, from its file and text alone: a change
    elsewhere (lines added above it) leaves the same faults drawn."""
    path, _, name, original, changed = mutant
    text = "\0".join([seed, path, name, original.strip(), changed.strip()])
    return hashlib.sha256(text.encode()).digest()


def copy_sources(root, scratch):
    """Copies the tracked and new files that changed into the scratch folder,
    stamped now: the build there stays incremental and sees every change."""
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"],
                           cwd=root, capture_output=True, text=True, check=True).stdout.split()
    for name in files:
        source, target = root / name, scratch / name
        if source.is_file() and (not target.exists() or target.read_bytes() != source.read_bytes()):
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, target)


def build(root, scratch):
    # The build sits in the copy as it does in the tree: ccache finds the tree's objects.
    env = dict(os.environ, CCACHE_BASEDIR=str(root), CCACHE_NOHASHDIR="1")
    return subprocess.run(["cmake", "--build", scratch / "build", "-j2", "--target", *TARGETS],
                          env=env, capture_output=True, timeout=1800).returncode == 0


def tests_pass(scratch):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.pop("DISPLAY", None)
    for command in TESTS:
        try:
            if subprocess.run([scratch / "build" / command[0], *command[1:]], env=env,
                              capture_output=True, timeout=TEST_TIMEOUT).returncode != 0:
                return False
        except subprocess.TimeoutExpired:
            return False
    return True


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))  # the fault is taken out first
    root = Path(__file__).resolve().parent.parent
    os.chdir(root)
    files = sys.argv[1:] or sorted(str(p) for g in SOURCES for p in root.glob(g)
                                   if str(p.relative_to(root)) not in LEFT_OUT)
    files = [str(Path(f).resolve().relative_to(root)) for f in files]
    scratch = (root / os.environ.get("MUTATE_BUILD", "build-mutate")).resolve() / "src"
    count = int(os.environ.get("MUTANTS", "40"))
    mutants = all_mutants(files)
    chosen = mutants if count <= 0 else sorted(mutants, key=draw)[:count]
    chosen.sort(key=lambda m: (m[0], m[1]))  # one file's faults together: fewer rebuilds
    print(f"{len(chosen)} of {len(mutants)} faults in {len(files)} files", flush=True)

    copy_sources(root, scratch)
    if not (scratch / "build" / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", scratch, "-B", scratch / "build",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DONDRILUX_WERROR=ON",
                        "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"], check=True,
                       stdout=subprocess.DEVNULL)
    if not build(root, scratch) or not tests_pass(scratch):
        sys.exit("the fast tests fail without any fault: mend that first")

    outcomes = {}
    for i, (path, number, name, original, changed) in enumerate(chosen, 1):
        source = scratch / path
        text = source.read_text()
        lines = text.splitlines(keepends=True)
        lines[number - 1] = changed
        started = time.monotonic()
        try:
            source.write_text("".join(lines))
            if not build(root, scratch):
                outcome = "no build"
            else:
                outcome = "survived" if tests_pass(scratch) else "killed"
        finally:
            source.write_text(text)
        shown = (original if name == "deleted" else changed).strip()
        outcomes[(path, number, name, shown)] = outcome
        print(f"[{i}/{len(chosen)}] {outcome:8} {path}:{number} {name}: {shown}"
              f"  ({time.monotonic() - started:.0f} s)", flush=True)

    print("\nkilled / faults that build, per folder:")
    # The plugins' rooms each on a line of their own.
    def folder_of(path):
        parts = path.split("/")
        return "/".join(parts[:2 if parts[0] == "plugins" else 1])
    folders = sorted({folder_of(key[0]) for key in outcomes})
    for folder in folders + ["all"]:
        mine = [o for k, o in outcomes.items() if folder in ("all", folder_of(k[0]))]
        built = [o for o in mine if o != "no build"]
        killed = built.count("killed")
        share = f"{100 * killed / len(built):.0f} %" if built else "-"
        print(f"  {folder:18} {killed}/{len(built)}  {share}  ({len(mine) - len(built)} did not build)")
    print("\nsurvivors:")
    for (path, number, name, shown), outcome in outcomes.items():
        if outcome == "survived":
            print(f"  {path}:{number} {name}: {shown}")


if __name__ == "__main__":
    main()
