#!/usr/bin/env python3
"""Builds the Debian package from this build tree and checks it the way an installer would.

cpack makes the .deb; dpkg-deb -I and -c show its control fields and files; lintian must report no
error; dpkg installs it into a throw-away root (maintainer scripts included, run against that
root) where every file of the package must be, the service user must exist, the unit must pass
systemd-analyze verify and the manual page must render. Then the installed program runs the
unit's command line as an unprivileged user, with the service manager's environment, and must
say it is ready, ping its watchdog, serve /pos.xml and its installed web root, keep its
database in the state folder and leave the settings it may not write untouched. Purging the
package must leave none of its files behind.

Usage: check_package.py <build dir> <source dir> <version>. Exits 77 (skipped) when a tool is
missing.
"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

SKIP = 77
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def run(args, **kwargs):
    """Runs a command with a time limit and returns the completed process (output as text)."""
    kwargs.setdefault("timeout", 180)
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def step(name):
    print("--- " + name, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def package_files(deb):
    """The paths dpkg-deb -c lists, without the leading "./", directories with a trailing "/"."""
    listing = run(["dpkg-deb", "-c", str(deb)])
    check(listing.returncode == 0, "dpkg-deb -c failed: " + listing.stderr)
    files = {}
    for line in listing.stdout.splitlines():
        fields = line.split(None, 5)
        if len(fields) == 6:
            name = fields[5].split(" -> ")[0]
            files[name[2:] if name.startswith("./") else name] = (fields[0], fields[1])
    return files


def check_control(deb, version):
    step("dpkg-deb -I")
    info = run(["dpkg-deb", "-I", str(deb)])
    check(info.returncode == 0, "dpkg-deb -I failed: " + info.stderr)
    fields = run(["dpkg-deb", "-f", str(deb)]).stdout
    control = dict(re.findall(r"^([A-Za-z-]+): (.*)$", fields, re.M))
    check(control.get("Package") == "geomuxer", "package name: " + control.get("Package", ""))
    check(control.get("Version") == version + "-1", "version %s, wanted %s-1" % (control.get("Version"), version))
    check(re.match(r"^[^<>]+ <[^@<>]+@[^<>]+>$", control.get("Maintainer", "")) is not None, "maintainer address")
    depends = control.get("Depends", "")
    # From dpkg-shlibdeps: the program's libraries and, through liblocapi, gpsd's client library.
    for library in ("libc6", "libqt6core6", "libqt6serialport6", "libsqlite3-0", "libsodium23", "libusb-1.0-0",
                    "libsystemd0", "libgps"):
        check(library in depends, "Depends lacks %s: %s" % (library, depends))
    for script in ("postinst", "prerm", "postrm"):
        check(re.search(r"\b%s\b" % script, info.stdout) is not None, "no %s in the control archive" % script)


def expected_files(source):
    """What the package must hold: the program, its library, every data file, the integration."""
    wanted = {
        "usr/bin/geomuxer",
        "usr/lib/geomuxer/liblocapi.so",
        "usr/share/applications/geomuxer.desktop",
        "usr/share/icons/hicolor/scalable/apps/geomuxer.svg",
        "usr/share/man/man1/geomuxer.1.gz",
        "usr/share/doc/geomuxer/copyright",
        "usr/share/doc/geomuxer/changelog.Debian.gz",
        "usr/lib/systemd/system/geomuxer.service",
        "usr/lib/sysusers.d/geomuxer.conf",
        "usr/lib/udev/rules.d/60-geomuxer-garmin.rules",
    }
    for folder in ("http", "dbshema", "help"):
        for path in (source / "data" / folder).rglob("*"):
            if path.is_file() and "node_modules" not in path.parts:
                wanted.add("usr/share/geomuxer/" + path.relative_to(source / "data").as_posix())
    return wanted


def check_contents(files, source):
    step("dpkg-deb -c")
    for name in sorted(expected_files(source)):
        check(name in files, "the package lacks " + name)
    check(files.get("usr/bin/geomuxer", ("",))[0] == "-rwxr-xr-x", "usr/bin/geomuxer is not 0755")
    for name, (mode, owner) in files.items():
        check(owner == "root/root", "%s belongs to %s" % (name, owner))
        check(not name.startswith("usr/local/"), "%s is under usr/local" % name)


def check_lintian(deb):
    step("lintian")
    result = run(["lintian", "--fail-on", "error", "--tag-display-limit", "0", str(deb)], timeout=240)
    print(result.stdout, end="")
    errors = [line for line in result.stdout.splitlines() if line.startswith("E: ")]
    check(result.returncode == 0 and not errors, "lintian reports errors: %s%s" % (errors, result.stderr))


def dpkg(root, *args):
    return run(["dpkg", "--root=" + str(root), "--force-script-chrootless", "--force-depends", *args])


def install(root, deb, files):
    step("dpkg --root install")
    # What any system has before a package arrives: the dpkg database and /etc.
    for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "etc"):
        (root / folder).mkdir(parents=True, exist_ok=True)
    (root / "var/lib/dpkg/status").touch()
    result = dpkg(root, "-i", str(deb))
    if not check(result.returncode == 0, "dpkg -i failed:\n" + result.stdout + result.stderr):
        return False
    status = run(["dpkg", "--root=" + str(root), "-s", "geomuxer"]).stdout
    check("Status: install ok installed" in status, "not installed:\n" + status)
    for name in files:
        check(os.path.lexists(root / name), "installed root lacks " + name)
    # The postinst created the service's user from the sysusers file, its home the state folder.
    passwd = (root / "etc/passwd").read_text() if (root / "etc/passwd").exists() else ""
    user = next((line.split(":") for line in passwd.splitlines() if line.startswith("geomuxer:")), None)
    if check(user is not None, "no geomuxer user in the root's /etc/passwd:\n" + passwd):
        check(user[5] == "/var/lib/geomuxer", "the user's home is " + user[5])
        check(int(user[2]) < 1000, "the user is not a system user: uid " + user[2])
    return True


def check_unit(root):
    step("systemd-analyze verify")
    # The unit orders itself after targets of systemd's own, which the root would get from systemd.
    targets = root / "etc/systemd/system"
    targets.mkdir(parents=True, exist_ok=True)
    for target in Path("/usr/lib/systemd/system").glob("*.target"):
        shutil.copy(target, targets)
    # MANPATH: Documentation=man:geomuxer(1) must find the package's page.
    env = dict(os.environ, MANPATH=str(root / "usr/share/man"))
    result = run(["systemd-analyze", "verify", "--root=" + str(root), "geomuxer.service"], env=env)
    # verify exits 0 on keys it ignores; any message is a fault.
    check(result.returncode == 0 and not (result.stdout + result.stderr).strip(),
          "systemd-analyze verify: %d\n%s%s" % (result.returncode, result.stdout, result.stderr))
    result = run(["systemd-analyze", "security", "--offline=yes", "--root=" + str(root), "geomuxer.service"])
    level = re.search(r"Overall exposure level for geomuxer.service: ([0-9.]+)", result.stdout)
    if check(level is not None, "systemd-analyze security: " + result.stdout[-500:] + result.stderr):
        print("exposure level " + level.group(1))
        # 10 is unprotected; the sandboxing keeps it well below the "exposed" band.
        check(float(level.group(1)) < 5.0, "the unit's exposure level rose to " + level.group(1))


def check_manual(root):
    step("man -l")
    page = root / "usr/share/man/man1/geomuxer.1.gz"
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    result = run(["man", "--warnings", "-l", str(page)], env=env)
    text = re.sub(r".\x08", "", result.stdout)
    check(result.returncode == 0 and not result.stderr.strip(), "man -l: %d %s" % (result.returncode, result.stderr))
    for section in ("NAME", "SYNOPSIS", "OPTIONS", "SERVICE", "FILES"):
        check(re.search(r"^%s$" % section, text, re.M) is not None, "the manual page lacks " + section)
    # Every switch that --help names is described in the page.
    helptext = run([str(root / "usr/bin/geomuxer"), "--help"], timeout=30).stdout
    switches = set(re.findall(r"^\s+(-{1,2}[a-z][a-z-]*)", helptext, re.M))
    check(len(switches) >= 8, "--help lists only %s" % sorted(switches))
    for switch in sorted(switches):
        check(re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(switch), text) is not None,
              "the manual page does not describe " + switch)


def unit_command(root):
    """The unit's ExecStart, with the installed root's paths put in."""
    unit = (root / "usr/lib/systemd/system/geomuxer.service").read_text()
    line = re.search(r"^ExecStart=(.*)$", unit, re.M).group(1)
    args = line.replace("%E", str(root / "etc")).split()
    args[0] = str(root) + args[0]
    return args


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            return answer.status, answer.read()
    except OSError as error:
        return None, str(error).encode()


def run_as_service(root, source, tmp):
    step("the unit's command line as an unprivileged user")
    if shutil.which("setpriv") is None:
        print("SKIP: needs setpriv to run the program as another user")
        return
    http_port, nmea_port = free_port(), free_port()
    config = root / "etc/geomuxer/geomuxer.sml"
    config.parent.mkdir(parents=True, exist_ok=True)
    settings = ('<?xml version="1.0" encoding="UTF-8"?>\n<settings version="1.0">\n'
                "<tcpiplog><port>%d</port></tcpiplog><http><port>%d</port></http>"
                "<gpxlog><active>false</active></gpxlog>\n</settings>\n" % (nmea_port, http_port))
    config.write_text(settings)
    state = root / "var/lib/geomuxer"
    state.mkdir(parents=True, exist_ok=True)
    os.chown(state, 65534, 65534)
    for folder in (tmp, root):
        os.chmod(folder, 0o755)

    notify_path = tmp / "notify"
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(notify_path))
    os.chmod(notify_path, 0o777)
    notify.settimeout(0.2)
    env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(NOTIFY_SOCKET=str(notify_path), WATCHDOG_USEC="1000000", STATE_DIRECTORY=str(state),
               HOME=str(state))
    for key in ("WATCHDOG_PID", "JOURNAL_STREAM"):
        env.pop(key, None)
    command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"] + unit_command(root)
    command += ["-t", "Simulator", "-a", "yes"]
    program = subprocess.Popen(command, cwd=state, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
    messages = []
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and program.poll() is None:
            try:
                messages.append(notify.recv(4096).decode())
            except socket.timeout:
                pass
            joined = "\n".join(messages)
            if "READY=1" in joined and "WATCHDOG=1" in joined:
                break
        joined = "\n".join(messages)
        check("READY=1" in joined, "no READY=1 from the program: %r" % messages)
        check("WATCHDOG=1" in joined, "no watchdog ping from the program: %r" % messages)

        position = b""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and b"<position" not in position:
            status, position = fetch("http://127.0.0.1:%d/pos.xml" % http_port)
            time.sleep(0.5)
        check(b"<position" in position, "/pos.xml: %r" % position[:300])
        status, page = fetch("http://127.0.0.1:%d/" % http_port)
        check(status == 200 and page == (source / "data/http/index.html").read_bytes(),
              "/ is not the installed web root's index.html: %s %r" % (status, page[:200]))
        check((state / "geomuxer.db").exists(), "no database in the state folder")
    finally:
        program.terminate()
        try:
            output = program.communicate(timeout=30)[0]
        except subprocess.TimeoutExpired:
            program.kill()
            output = program.communicate()[0]
        try:
            while True:
                messages.append(notify.recv(4096).decode())
        except (socket.timeout, BlockingIOError):
            pass
        notify.close()
    print(output[-3000:], end="")
    check(program.returncode == 0, "the program ended with %s" % program.returncode)
    check("STOPPING=1" in "\n".join(messages), "no STOPPING=1 at the end")
    check(config.read_text() == settings, "the program rewrote the service's settings")
    check(not list(config.parent.glob("*.db")), "a database beside the service's settings")


def purge(root, files):
    step("dpkg --purge")
    result = dpkg(root, "--purge", "geomuxer")
    check(result.returncode == 0, "dpkg --purge failed:\n" + result.stdout + result.stderr)
    left = [name for name, (mode, _) in files.items() if not mode.startswith("d") and os.path.lexists(root / name)]
    check(not left, "purging left %s" % left)
    check(not (root / "var/lib/geomuxer").exists(), "purging left /var/lib/geomuxer")


def main():
    build, source, version = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3]
    tools = ["cpack", "dpkg", "dpkg-deb", "dpkg-shlibdeps", "lintian", "systemd-analyze", "systemd-sysusers", "man"]
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        print("SKIP: missing " + " ".join(missing))
        return SKIP
    with tempfile.TemporaryDirectory(prefix="geomuxer-package-") as scratch:
        tmp = Path(scratch)
        step("cpack -G DEB")
        started = time.monotonic()
        # gzip: quicker than the release's xz, and the checks do not depend on it.
        result = run(["cpack", "--config", str(build / "CPackConfig.cmake"), "-B", str(tmp / "out"),
                      "-D", "CPACK_DEBIAN_COMPRESSION_TYPE=gzip"], timeout=300)
        print(result.stdout[-2000:], result.stderr[-2000:], sep="", end="")
        debs = list((tmp / "out").glob("geomuxer_*.deb"))
        if not check(result.returncode == 0 and len(debs) == 1, "cpack made no package"):
            return 1
        print("cpack took %.0f s" % (time.monotonic() - started))
        deb = debs[0]
        check_control(deb, version)
        files = package_files(deb)
        check_contents(files, source)
        check_lintian(deb)
        root = tmp / "root"
        if os.geteuid() != 0:
            # dpkg installs as root only; unpacked, the files still serve the unit and page checks.
            print("SKIP: dpkg --root needs root; unpacking with dpkg-deb -x instead, without the maintainer scripts")
            result = run(["dpkg-deb", "-x", str(deb), str(root)])
            check(result.returncode == 0, "dpkg-deb -x failed: " + result.stderr)
            check_unit(root)
            check_manual(root)
        elif install(root, deb, files):
            check_unit(root)
            check_manual(root)
            run_as_service(root, source, tmp)
            purge(root, files)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
