"""The debian/*.install lists against what `cmake --install` produces: every installed file goes into
exactly one package, and every list entry names something the install produces."""

import fnmatch
from pathlib import Path

from sandbox import SOURCE, default_prefix

DEBIAN = SOURCE / "debian"


def install_lists():
    """(package, pattern) for every entry, with the pattern relative to the install prefix /usr."""
    entries = []
    for lst in sorted(DEBIAN.glob("*.install")):
        for line in lst.read_text().splitlines():
            line = line.split("#", 1)[0].strip()
            if line:
                src = line.split()[0]
                assert src.startswith("usr/"), f"{lst.name}: {src} is not under the install prefix"
                entries.append((lst.stem, src[len("usr/"):]))
    return entries


def installed_files(prefix):
    return sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*") if not p.is_dir())


def test_install_lists_cover_the_install_tree_once():
    prefix = default_prefix()
    files = installed_files(prefix)
    assert files, f"nothing installed under {prefix}"
    entries = install_lists()
    owners = {f: [pkg for pkg, pat in entries if fnmatch.fnmatchcase(f, pat)] for f in files}
    assert {f: o for f, o in owners.items() if len(o) != 1} == {}
    unused = [(pkg, pat) for pkg, pat in entries if not any(fnmatch.fnmatchcase(f, pat) for f in files)]
    assert unused == []


def test_every_package_has_an_install_list():
    control = (DEBIAN / "control").read_text()
    packages = {line.split(":", 1)[1].strip() for line in control.splitlines() if line.startswith("Package:")}
    assert packages == {lst.stem for lst in DEBIAN.glob("*.install")}
