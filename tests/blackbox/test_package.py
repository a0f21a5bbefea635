"""The agent installed like any Debian tool: the package `make deb` builds from
this build tree, its service units, the manual page and the shell completion,
each in step with the options --help lists."""
import os
import re
import subprocess

import pytest
from conftest import AGENT, SANITIZED, SOURCE, run

BUILD = os.path.dirname(os.path.dirname(AGENT))
MODULE = "usr/lib/%s/vivoe-mib-server/libvivoe-stream.so" % run("dpkg-architecture", "-qDEB_HOST_MULTIARCH").stdout.strip()
FILES = {"usr/bin/vivoe-mib-server", MODULE,
         "usr/share/snmp/mibs/VIVOE-CAMERA-SIM-MIB.txt", "usr/share/man/man8/vivoe-mib-server.8.gz",
         "usr/share/bash-completion/completions/vivoe-mib-server", "usr/share/doc/vivoe-mib-server/copyright",
         "usr/share/doc/vivoe-mib-server/changelog.gz", "lib/systemd/system/vivoe-mib-server.service",
         "lib/systemd/system/vivoe-mib-server@.service", "lib/systemd/system/vivoe-mib-server-fleet@.service"}
UNITS = sorted(name for name in FILES if name.endswith(".service"))


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    """(the .deb, the tree it unpacks to)."""
    if SANITIZED:
        pytest.skip("a sanitized build is no package")
    out = tmp_path_factory.mktemp("package")
    made = run("cpack", "-G", "DEB", "--config", BUILD + "/CPackConfig.cmake", "-B", str(out), timeout=300)
    assert made.returncode == 0, made.stdout + made.stderr
    deb = str(next(out.glob("vivoe-mib-server_1.0.0_*.deb")))
    assert run("dpkg-deb", "-x", deb, str(out / "root")).returncode == 0
    return deb, str(out / "root")


def help_options():
    return set(re.findall(r"(?m)^  (?:-\w, )?(--[\w-]+)", run(AGENT, "--quiet", "--help").stdout))


def test_package_holds_the_agent_below_usr(package):
    deb, root = package
    listed = {line.split()[-1][2:] for line in run("dpkg-deb", "-c", deb).stdout.splitlines() if line[0] != "d"}
    assert listed == FILES
    for binary in ("usr/bin/vivoe-mib-server", MODULE):
        assert run("file", os.path.join(root, binary)).stdout.strip().endswith(", stripped")
    fields = dict(re.findall(r"(?m)^(\w[\w-]*): (.*)$", run("dpkg-deb", "-f", deb).stdout))
    assert (fields["Package"], fields["Version"], fields["Section"]) == ("vivoe-mib-server", "1.0.0", "net")
    depends = {item.split()[0] for item in fields["Depends"].split(", ")}
    assert {"libsnmp40", "libqt6core6", "libqt6network6", "libgstreamer1.0-0"} <= depends
    assert not [name for name in depends if name.endswith("-dev")]  # nothing for building
    # No maintainer script: apt remove leaves not even a record of the package.
    assert not re.search(r"\b(pre|post)(inst|rm)\b", run("dpkg-deb", "-I", deb).stdout)
    lint = run("lintian", "--no-tag-display-limit", deb, timeout=300)
    assert [line for line in lint.stdout.splitlines() if line.startswith("E:")] == [], lint.stdout


@pytest.mark.parametrize("unit", UNITS)
def test_units_run_unprivileged_and_verify(package, unit, tmp_path):
    _, root = package
    text = open(os.path.join(root, unit)).read()
    assert "ExecStart=/usr/bin/vivoe-mib-server " in text and "DynamicUser=yes" in text
    # verify wants the binary where ExecStart names it.
    local = tmp_path / os.path.basename(unit)
    local.write_text(text.replace("/usr/bin/vivoe-mib-server", root + "/usr/bin/vivoe-mib-server"))
    verify = run("systemd-analyze", "verify", "--man=no", str(local))
    assert verify.returncode == 0 and verify.stderr == "", verify.stderr
    security = run("systemd-analyze", "security", "--offline=true", "--root=" + root, os.path.basename(unit))
    exposure = float(re.search(r"Overall exposure level for \S+: ([\d.]+)", security.stdout).group(1))
    assert exposure < 1.9


def test_manual_renders_and_lists_every_option():
    page = subprocess.run(["man", "--warnings", "-l", SOURCE + "/packaging/vivoe-mib-server.8"], capture_output=True,
                          text=True, env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING=""), timeout=60)
    assert page.returncode == 0 and page.stderr == "", page.stderr
    options = page.stdout.split("\nOPTIONS\n")[1].split("\nFILES\n")[0]
    assert set(re.findall(r"(?m)^ {7}(?:-\w, )?(--[\w-]+)", options)) == help_options()


# Completes the last word of a command line as bash would, in directory $2.
COMPLETE = ("source /usr/share/bash-completion/bash_completion; source %s/packaging/vivoe-mib-server.bash-completion;"
            ' cd "$2"; COMP_WORDS=("$1" $3 "$4"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1));'
            ' COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE};'
            ' _vivoe_mib_server "$1" "$4" "${COMP_WORDS[-2]}"; echo "${COMPREPLY[@]}"' % SOURCE)


@pytest.mark.parametrize("before, word, offered", [
    ("", "--", None),  # None: what --help lists
    ("--profile", "", {"cam.json", "sub"}),
    ("--profile-from-walk", "", {"cam.json", "cam.snmprec", "sub"}),
    ("--address", "127.0.0.", {"127.0.0.1"}),
    ("--port", "", set()),
])
def test_completion_offers_options_and_their_files(tmp_path, before, word, offered):
    (tmp_path / "sub").mkdir()
    (tmp_path / "cam.json").touch()
    (tmp_path / "cam.snmprec").touch()
    result = run("bash", "-c", COMPLETE, "bash", AGENT, str(tmp_path), before, word)
    assert set(result.stdout.split()) == (help_options() if offered is None else offered), result.stderr
