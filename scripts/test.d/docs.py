#!/usr/bin/env python3
"""Every repository path that the documents and the source comments name must exist.

Read: README.md, docs/*.md, tools/memlog/README.md (all their text), and the comments of every
tracked source and build file. A path counts only when it starts with one of the repository's own
top-level directories and has a '/' in it (src/..., pal/..., tests/..., ...), so that install
layouts (lib/quorkit/...), build trees (build/...) and system paths are not mistaken for it. A
path may be relative to the repository root, an include directory or a directory of the naming
file; a glob must match a tracked file; a module may be named without its extension;
placeholders (<area>) end the path there. Prints each dangling path with where
it is named, and exits 1 if there is any.
"""
import fnmatch
import os
import re
import subprocess
import sys

DOCUMENTS = ("README.md", "tools/memlog/README.md")
C_FAMILY = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".inc", ".js", ".mjs", ".ts")
HASH_FAMILY = (".cmake", ".sh", ".py", ".in", ".txt")
HASH_NAMES = ("CMakeLists.txt", "run")


def tracked_files(root):
    out = subprocess.run(["git", "ls-files", "-z"], cwd=root, check=True, capture_output=True)
    return [name for name in out.stdout.decode().split("\0") if name]


def comments_of(name, text):
    """The comment text of a source file, line numbers kept (other characters blanked)."""
    if name.endswith(C_FAMILY):
        pattern = re.compile(r'"(?:\\.|[^"\\\n])*"|//[^\n]*|/\*.*?\*/', re.S)
    elif name.endswith(HASH_FAMILY) or os.path.basename(name) in HASH_NAMES or \
            text.startswith("#!"):
        pattern = re.compile(r'"(?:\\.|[^"\\\n])*"|(?:^|(?<=\s))#[^\n]*')
    else:
        return ""
    kept = []
    for match in pattern.finditer(text):
        if match.group(0).startswith('"'):
            continue
        kept.append((match.start(), match.group(0)))
    result = list(re.sub(r"[^\n]", " ", text))
    for start, comment in kept:
        result[start:start + len(comment)] = comment
    return "".join(result)


def expand_braces(path):
    match = re.search(r"\{([^{}]*)\}", path)
    if not match:
        return [path]
    head, tail = path[:match.start()], path[match.end():]
    return [p for part in match.group(1).split(",") for p in expand_braces(head + part + tail)]


INCLUDE_DIRECTORIES = ("include", "pal/include", "win32/include")


def bases_for(name):
    """Where a path named in `name` may be relative to: the root, the include directories, and
    the naming file's directory and each above it."""
    bases = ["", *INCLUDE_DIRECTORIES]
    directory = os.path.dirname(name)
    while directory:
        bases.append(directory)
        directory = os.path.dirname(directory)
    return bases


def exists(path, bases, files, directories):
    for base in bases:
        candidate = os.path.normpath(os.path.join(base, path)).rstrip("/")
        if any(c in candidate for c in "*?["):
            regex = fnmatch.translate(candidate.replace("**/", "\0")).replace("\0", "(?:.*/)?")
            if any(re.match(regex, f) for f in files):
                return True
        elif candidate in files or candidate in directories:
            return True
        elif any(f.startswith(candidate + ".") for f in files):  # a module named without extension
            return True
    return False


def main():
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                          capture_output=True, text=True).stdout.strip()
    files = set(tracked_files(root))
    directories = {os.path.dirname(f) for f in files}
    for d in list(directories):
        while d:
            d = os.path.dirname(d)
            directories.add(d)
    tops = sorted({f.split("/")[0] for f in files if "/" in f}, key=len, reverse=True)
    token = re.compile(r"(?<![\w./$-])((?:%s)/[\w./*{},+-]*)" % "|".join(map(re.escape, tops)))

    sources = []
    for name in sorted(files):
        if name.startswith("docs/") and name.endswith(".md") or name in DOCUMENTS:
            sources.append((name, None))
        elif not name.endswith(".md"):
            sources.append((name, "comments"))

    dangling = 0
    for name, kind in sources:
        try:
            with open(os.path.join(root, name), encoding="utf-8") as handle:
                text = handle.read()
        except (UnicodeDecodeError, IsADirectoryError):
            continue
        if kind == "comments":
            text = comments_of(name, text)
        for number, line in enumerate(text.split("\n"), 1):
            for match in token.finditer(line):
                path = match.group(1).rstrip(".,:;")
                if any(not exists(p, bases_for(name), files, directories)
                       for p in expand_braces(path)):
                    print(f"docs: {name}:{number}: no such path in the repository: {path}")
                    dangling += 1
    return 1 if dangling else 0


if __name__ == "__main__":
    sys.exit(main())
