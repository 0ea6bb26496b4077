#!/usr/bin/env python3
"""Checks, on Linux, that what a Windows build of Telvar compiles does compile.

The list of files comes from the CMake project itself: a configure with
TELVAR_WINDOWS=ON picks the _win files in place of the _unix ones, and CMake's
file API (codemodel) reports every target's sources with their include paths
and defines; sources made at build time (moc's, rcc's) are made without
building anything else. Each C++ file is then compiled, syntax only and with warnings on,
by the MinGW-w64 cross compiler against Debian's Qt headers, and each resource
script goes through windres. Any message from the compiler fails the check;
-Wpedantic also reports GCC extensions that MSVC, the compiler of the Windows
build, refuses.

Besides compiling, two rules hold: no _unix file is in the Windows build, and
every _win file and resource script of the source tree is in it. And the
hosted workflow (.github/workflows/windows.yml) must run the README's steps.

  python3 scripts/windows-check.py            # the check
  python3 scripts/windows-check.py --prove    # and show that it catches faults

What it cannot see: Qt's headers are configured for Linux (the qconfig of
Debian's build, with Windows code paths of the headers taken by _WIN32), moc
runs as on Linux, and nothing is linked, so a missing Windows library or symbol
only shows on a real Windows build (.github/workflows/windows.yml).
"""

import argparse
import concurrent.futures
import fnmatch
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

CXX = "x86_64-w64-mingw32-g++-posix"
WINDRES = "x86_64-w64-mingw32-windres"
# Debian ships libmosquitto's header platform-neutral; it is offered alone, so
# that no other Linux header reaches the cross compiler.
MOSQUITTO_HEADERS = ["/usr/include/mosquitto.h", "/usr/include/mqtt_protocol.h"]
HOST_INCLUDES = {"/usr/include", "/usr/local/include", "/usr/include/x86_64-linux-gnu"}


class result:
    def __init__(self, name):
        self.name = name
        self.messages = []

    @property
    def ok(self):
        return not self.messages


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def ignored_patterns(source):
    """The top-level .gitignore's patterns, for a tree listed without git."""
    try:
        lines = (source / ".gitignore").read_text().splitlines()
    except OSError:
        return []
    return [line.strip() for line in lines if line.strip() and not line.startswith(("#", "!"))]


def is_ignored(relative, is_dir, patterns):
    for pattern in patterns:
        if pattern.endswith("/"):
            if not is_dir:
                continue
            pattern = pattern[:-1]
        # Anchored ("/build*") matches from the top; otherwise the name anywhere.
        if pattern.startswith("/") or "/" in pattern:
            if fnmatch.fnmatchcase(relative, pattern.lstrip("/")):
                return True
        elif fnmatch.fnmatchcase(Path(relative).name, pattern):
            return True
    return False


def tree_files(source):
    """The project's own files, without build folders: git's list where git
    can give it, else a walk of the tree that skips what .gitignore names."""
    if (source / ".git").exists() and shutil.which("git"):
        out = run(["git", "-C", str(source), "ls-files", "-co", "--exclude-standard"])
        if out.returncode == 0:
            return [Path(p) for p in out.stdout.splitlines() if (source / p).is_file()]
    patterns = ignored_patterns(source)
    files = []
    for root, dirs, names in os.walk(source):
        here = Path(root).relative_to(source)
        dirs[:] = [d for d in dirs if d != ".git"
                   and not (Path(root) / d / "CMakeCache.txt").exists()
                   and not is_ignored(str(here / d), True, patterns)]
        files += [here / n for n in names
                  if n != ".git" and not is_ignored(str(here / n), False, patterns)]
    return files


def configure(source, build):
    cache = build / "CMakeCache.txt"
    if cache.exists() and "CMAKE_GENERATOR:INTERNAL=Ninja" not in cache.read_text():
        shutil.rmtree(build)
    query = build / ".cmake/api/v1/query"
    query.mkdir(parents=True, exist_ok=True)
    (query / "codemodel-v2").touch()
    out = run(["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja", "-DTELVAR_WINDOWS=ON",
               "-DBUILD_TESTING=ON", "-DCMAKE_BUILD_TYPE=Release"])
    if out.returncode != 0:
        return None, out.stdout
    reply = build / ".cmake/api/v1/reply"
    index = json.loads(max(reply.glob("index-*.json")).read_text())
    model = json.loads((reply / index["reply"]["codemodel-v2"]["jsonFile"]).read_text())
    targets = []
    for t in model["configurations"][0]["targets"]:
        targets.append(json.loads((reply / t["jsonFile"]).read_text()))
    return targets, ""


def cross_flags(group, extra_include):
    flags = ["-std=c++" + group.get("languageStandard", {}).get("standard", "17")]
    for inc in group.get("includes", []):
        path = inc["path"]
        if path in HOST_INCLUDES:
            continue
        path = re.sub(r"/mkspecs/linux-[^/]+$", "/mkspecs/win32-g++", path)
        flags += ["-isystem" if inc.get("isSystem") else "-I", path]
    flags += ["-isystem", str(extra_include)]
    flags += ["-D" + d["define"] for d in group.get("defines", [])]
    # What Qt's CMake adds to every Windows target.
    flags += ["-DUNICODE", "-D_UNICODE"]
    return flags


def check(source, build, only=None, jobs=2, verbose=False):
    """Runs the check on the tree at source; returns the results in order."""
    source, build = Path(source).resolve(), Path(build).resolve()
    listed, rules, compiled, resources = (result(n) for n in (
        "a configure for Windows lists the build",
        "no _unix file in the Windows build; every _win file and resource script in it",
        "every C++ file compiles for Windows",
        "every resource script compiles for Windows"))
    results = [listed, rules, compiled, resources]

    targets, error = configure(source, build)
    if targets is None:
        listed.messages.append(error.strip())
        for r in results[1:]:
            r.messages.append("not run: the configure failed")
        return results

    def rel(path):
        p = Path(path)
        p = p if p.is_absolute() else source / p
        try:
            return str(p.resolve().relative_to(source))
        except ValueError:
            return str(p)

    def shown(path):
        # Configured files are named after their source in the tree.
        return configured_from.get(path, path)

    units, autogen, rc_files, owners, generated = {}, [], set(), set(), set()
    configured_from = {}
    tree = tree_files(source)
    # A resource script configured into the build folder is named after the
    # .rc.in in the same folder of the tree (app/telvar.rc.in may become
    # build/app/telvar.rc and build/app/telvar-v1.1.rc).
    templates = {}
    for f in tree:
        if f.name.endswith(".rc.in"):
            templates.setdefault(str(f.parent), []).append(str(f))
    for t_rc in build.rglob("*.rc"):
        folder = str(t_rc.parent.relative_to(build))
        if len(templates.get(folder, [])) == 1:
            configured_from[rel(t_rc)] = templates[folder][0]
    for t in targets:
        if t["type"] == "UTILITY":
            if t["name"].endswith("_autogen"):
                autogen.append((t["name"], t["paths"]["build"]))
            continue
        groups = t.get("compileGroups", [])
        for s in t.get("sources", []):
            path = rel(s["path"])
            if path.endswith(".rc"):
                rc_files.add(path)
            if only and path in only:
                owners.add(t["name"] + "_autogen")
            group = groups[s["compileGroupIndex"]] if "compileGroupIndex" in s else None
            if group is None or group["language"] != "CXX":
                continue
            if s.get("isGenerated") and "_autogen/" not in path:
                generated.add(Path(s["path"]) if Path(s["path"]).is_absolute()
                              else source / s["path"])
            units.setdefault((path, json.dumps(group, sort_keys=True)), (t["name"], group))

    in_build = {p for p, _ in units} | rc_files
    for p in sorted(in_build):
        if re.search(r"_unix\.[^/]*$", p):
            rules.messages.append(f"{p}: a POSIX-only file is in the Windows build")
    for f in sorted(tree):
        name = str(f)
        if name.endswith("_win.cpp") and name not in in_build:
            rules.messages.append(f"{name}: a Windows file that the Windows build leaves out")
        if name.endswith(".rc") and name not in in_build:
            rules.messages.append(f"{name}: a resource script that no target builds")
        if name.endswith(".rc.in") and name not in {shown(r) for r in rc_files}:
            rules.messages.append(f"{name}: a resource script that no target builds")
    if not rc_files:
        rules.messages.append("no resource script: the windows would have no icon or version block")

    # Sources made at build time other than moc's (rcc's, for one): Ninja
    # makes each alone.
    if generated:
        out = run(["ninja", "-C", str(build), *(str(g.relative_to(build)) for g in sorted(generated))])
        if out.returncode != 0:
            compiled.messages.append("generating sources failed:\n" + out.stdout.strip())
            return results

    # moc's output, for the files that include it and for mocs_compilation.cpp.
    # The _autogen targets would first build every library they link, so
    # their step is run alone, as their build rule runs it.
    if only:
        autogen = [a for a in autogen if a[0] in owners]

    def moc(item):
        name, folder = item
        info = build / folder / "CMakeFiles" / f"{name}.dir" / "AutogenInfo.json"
        out = run(["cmake", "-E", "cmake_autogen", str(info), "Release"], cwd=build / folder)
        return name, out.returncode, out.stdout.strip()

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for name, code, text in pool.map(moc, autogen):
            if code != 0:
                compiled.messages.append(f"moc for {name} failed:\n{text}")
    if not compiled.ok:
        return results

    tmp = Path(tempfile.mkdtemp(prefix="telvar-wincheck-"))
    try:
        mosq = tmp / "mosquitto"
        mosq.mkdir()
        for h in MOSQUITTO_HEADERS:
            if Path(h).exists():
                (mosq / Path(h).name).symlink_to(h)

        work = [(path, name, group) for (path, _), (name, group) in sorted(units.items())
                if not only or path in only]

        def compile_one(item):
            path, target, group = item
            cmd = [CXX, "-fsyntax-only", "-Wall", "-Wextra", "-Wpedantic", *cross_flags(group, mosq),
                   str(source / path)]
            out = run(cmd, cwd=build)
            return path, target, out.returncode, out.stdout.strip()

        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            for path, target, code, text in pool.map(compile_one, work):
                if verbose:
                    print(f"     {'ok  ' if code == 0 and not text else 'FAIL'} {path} ({target})")
                if code != 0 or text:
                    compiled.messages.append(f"{path} (in {target}):\n{text}")
        compiled.count = len(work)

        rc_work = [p for p in sorted(rc_files) if not only or shown(p) in only]
        for p in rc_work:
            rc = source / p
            includes = {rc.parent, source / Path(shown(p)).parent, source}
            cmd = [WINDRES, "-O", "coff", "-o", str(tmp / "out.res")]
            for d in includes:
                cmd += ["-I", str(d)]
            out = run(cmd + [str(rc)], cwd=rc.parent)
            if out.returncode != 0 or out.stdout.strip():
                resources.messages.append(f"{shown(p)}:\n{out.stdout.strip()}")
        resources.count = len(rc_work)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return results


def workflow_follows_readme(source):
    """The hosted workflow's build steps are the README's, word for word."""
    r = result("the Windows workflow runs the README's steps")
    flow = (source / ".github/workflows/windows.yml").read_text()
    runs = []
    for m in re.finditer(r"^( *)run: \|\n((?:\1  .*\n|\s*\n)+)", flow, re.M):
        runs.append(textwrap.dedent(m.group(2)).strip())
    readme = (source / "README.md").read_text()
    section = readme[readme.find("\n## Windows"):]
    section = section[:section.find("\n## ", 1)]
    blocks = [textwrap.dedent(b).strip() for b in re.findall(r"```powershell\n(.*?)```", section, re.S)]
    # The workflow's first step only says where the runner keeps vcpkg.
    for run_block in runs[1:]:
        if run_block not in blocks:
            r.messages.append("not in the README:\n" + run_block)
    for block in blocks:
        if block not in runs:
            r.messages.append("not in the workflow:\n" + block)
    return r


def report(results, indent=""):
    for r in results:
        extra = f" ({r.count} files)" if hasattr(r, "count") else ""
        print(f"{indent}{'ok  ' if r.ok else 'FAIL'} {r.name}{extra}")
        for m in r.messages:
            print("\n".join(indent + "     " + line for line in m.splitlines()))


# Faults the check must report: (what, file to change, how, what the report names).
def put_unix_in_place_of_win(src):
    shutil.copy(src / "serial/pty_pair_unix.cpp", src / "serial/pty_pair_win.cpp")


def cmake_picks_unix_file(src):
    f = src / "relay/CMakeLists.txt"
    f.write_text(f.read_text().replace("tick_priority_win.cpp", "tick_priority_unix.cpp"))


def posix_call_in_shared_file(src):
    with open(src / "serial/port_mapping_common.cpp", "a") as f:
        f.write("\n#include <termios.h>\nint telvar_drain(int fd) { return tcdrain(fd); }\n")


def warning_in_windows_file(src):
    with open(src / "relay/tick_priority_win.cpp", "a") as f:
        f.write("\nint telvar_unused(int x) { int y; return 0; }\n")


def broken_resource_script(src):
    with open(src / "app/telvar.rc.in", "r+") as f:
        f.seek(0, os.SEEK_END)
        f.write("\nthis line is no resource statement\n")


FAULTS = [
    ("a _unix file in place of its _win counterpart", put_unix_in_place_of_win,
     ["serial/pty_pair_win.cpp"], "serial/pty_pair_win.cpp"),
    ("CMake picks the _unix file for Windows", cmake_picks_unix_file,
     ["relay/tick_priority_unix.cpp"], "relay/tick_priority_unix.cpp"),
    ("a POSIX call in a shared file", posix_call_in_shared_file,
     ["serial/port_mapping_common.cpp"], "serial/port_mapping_common.cpp"),
    ("a warning in a Windows file", warning_in_windows_file,
     ["relay/tick_priority_win.cpp"], "unused"),
    ("a resource script that does not compile", broken_resource_script,
     ["app/telvar.rc.in"], "app/telvar.rc.in"),
]


def prove(source, jobs):
    """Puts each fault into a scratch copy of the tree and expects a report of it."""
    outcomes = []
    files = tree_files(source)
    for what, apply, only, named in FAULTS:
        with tempfile.TemporaryDirectory(prefix="telvar-wincheck-prove-") as tmp:
            src, build = Path(tmp, "src"), Path(tmp, "build")
            for f in files:
                (src / f).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(source / f, src / f)
            try:
                apply(src)
            except OSError as e:
                print(f"FAIL reports {what}: the fault cannot be made ({e})")
                outcomes.append(False)
                continue
            results = check(src, build, only=set(only), jobs=jobs)
            said = [m for r in results if not r.ok for m in r.messages if named in m]
            caught = bool(said)
            print(f"{'ok  ' if caught else 'FAIL'} reports {what}")
            if caught:
                print("\n".join("     " + line for line in said[0].splitlines()[:2]))
            else:
                print(f"     expected a failure naming {named}; the check said:")
                report(results, indent="     ")
            outcomes.append(caught)
    return outcomes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-windows-check",
                        help="folder for the listing configure (default: %(default)s)")
    parser.add_argument("--prove", action="store_true",
                        help="also put faults into scratch copies and expect each reported")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    parser.add_argument("-v", "--verbose", action="store_true", help="name every file compiled")
    args = parser.parse_args()
    source = Path(__file__).resolve().parent.parent
    for tool in (CXX, WINDRES, "ninja"):
        if not shutil.which(tool):
            print(f"windows-check: {tool} is missing; install it with "
                  "TELVAR_WITH_PACKAGING=1 bash scripts/install-deps.sh", file=sys.stderr)
            return 2

    results = check(source, source / args.build, jobs=args.jobs, verbose=args.verbose)
    results.append(workflow_follows_readme(source))
    report(results)
    outcomes = [r.ok for r in results]
    if args.prove:
        outcomes += prove(source, args.jobs)
    failed = outcomes.count(False)
    print(f"{len(outcomes) - failed} tests passed, {failed} tests failed out of {len(outcomes)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
