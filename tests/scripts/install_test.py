#!/usr/bin/env python3
"""cmake --install of this build tree into a DESTDIR under the build tree:
every program, library, header, package file, the registry file, the desktop
entry and the udev rule with its probe are there; no installed ELF file keeps
a path of the build tree; the installed linkhub, devsim and devshell work
together with nothing of the build tree on the library path; and a small
application configured with find_package(VeltranoTools) against the install
builds and lists the device through Veltrano::devmgr."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

BUILD = os.environ.get("INSTALL_BUILD_DIR", "")
SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PREFIX = os.environ.get("INSTALL_PREFIX", "/usr/local")
LIBDIR = os.environ.get("INSTALL_LIBDIR", "lib")  # relative to the prefix
SYSCONFDIR = os.environ.get("INSTALL_SYSCONFDIR", "/usr/local/etc")  # absolute
JAVA = os.environ.get("INSTALL_JAVA", "1") == "1"
CMAKE = os.environ.get("INSTALL_CMAKE", "cmake")
HWID = "00112233445566778899AABBCCDDEEFF"
LIMIT = 60  # generous: only a hang may fail on it

PROGRAMS = ["linkhub", "devshell", "devsim", "datatool", "calfit", "protoprobe", "fwflash"]
CLIENTS = ["devmgr", "fsproto", "statproto", "pardbproto", "scopeproto"]
CODECS = ["parcodec", "calcodec", "logcodec", "scopecodec", "odcodec"]
BINDINGS = ["devmgrjni", "fsjni", "statjni", "pardbjni", "scopejni",
            "parjni", "logjni", "scopecodecjni", "odjni"]


def elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def runpaths(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    found = []
    for line in out.splitlines():
        if "(RUNPATH)" in line or "(RPATH)" in line:
            found.append(line.split("[", 1)[1].rsplit("]", 1)[0])
    return found


def clean_environment(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD", "DISPLAY", "WAYLAND_DISPLAY",
                        "LINKHUB_RUNTIME_DIR", "LINKHUB_REGISTRY", "USBLINK_VBUS",
                        "VLN_TRACE", "QT_QPA_PLATFORM")}
    env.update(extra)
    return env


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.destdir = os.path.join(BUILD, "install-test", "root")
        shutil.rmtree(os.path.join(BUILD, "install-test"), ignore_errors=True)
        env = dict(os.environ, DESTDIR=cls.destdir)
        subprocess.run([CMAKE, "--install", BUILD], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        cls.root = cls.destdir + PREFIX
        cls.lib = os.path.join(cls.root, LIBDIR, "veltrano")

    def installed(self, *parts):
        return os.path.join(self.root, *parts)

    def test_every_file_is_installed(self):
        wanted = [self.installed("bin", p) for p in PROGRAMS]
        wanted += [os.path.join(self.lib, f"lib{n}.so") for n in CLIENTS + CODECS + ["usblink"]]
        wanted += [self.installed("include", "veltrano", n, f"{n}.h") for n in CLIENTS + CODECS]
        cmake_dir = self.installed(LIBDIR, "cmake", "VeltranoTools")
        wanted += [os.path.join(cmake_dir, f) for f in
                   ("VeltranoToolsConfig.cmake", "VeltranoToolsConfigVersion.cmake",
                    "VeltranoToolsTargets.cmake")]
        wanted += [self.destdir + SYSCONFDIR + "/veltrano/registry.reg",
                   self.installed("share", "applications", "linkhub.desktop"),
                   self.installed("lib", "udev", "rules.d", "70-usblink.rules"),
                   self.installed("lib", "udev", "usblink-probe")]
        if JAVA:
            wanted += [os.path.join(self.lib, f"lib{n}.so") for n in BINDINGS]
            wanted.append(self.installed("share", "java", "zamo-provider.jar"))
        missing = [w for w in wanted if not os.path.isfile(w)]
        self.assertEqual([], missing)
        for p in PROGRAMS + ["lib/udev/usblink-probe"]:
            path = self.installed(p if "/" in p else os.path.join("bin", p))
            self.assertTrue(os.access(path, os.X_OK), path)
        # Nothing else: no test library, no copy.
        expected = {f"lib{n}.so" for n in CLIENTS + CODECS + ["usblink"] + (BINDINGS if JAVA else [])}
        self.assertEqual(sorted(expected), sorted(os.listdir(self.lib)))
        self.assertEqual(sorted(PROGRAMS), sorted(os.listdir(self.installed("bin"))))

    def test_installed_files_name_installed_paths(self):
        with open(self.destdir + SYSCONFDIR + "/veltrano/registry.reg") as f:
            registry = f.read()
        self.assertIn(f'"usblink"="{PREFIX}/{LIBDIR}/veltrano/libusblink.so"', registry)
        self.assertIn(f'"Updater"="{PREFIX}/bin/fwflash"', registry)
        with open(self.installed("lib", "udev", "rules.d", "70-usblink.rules")) as f:
            rules = f.read()
        grants = [l for l in rules.splitlines() if "uaccess" in l and not l.startswith("#")]
        self.assertEqual(1, len(grants), rules)
        self.assertIn(f'PROGRAM="{PREFIX}/lib/udev/usblink-probe $attr{{busnum}} $attr{{devnum}}"',
                      grants[0])
        self.assertNotIn("plugdev", "\n".join(l for l in rules.splitlines()
                                              if not l.startswith("#") and l not in grants))
        with open(self.installed("share", "applications", "linkhub.desktop")) as f:
            desktop = f.read()
        self.assertIn(f"Exec={PREFIX}/bin/linkhub\n", desktop)
        self.assertTrue(desktop.startswith("[Desktop Entry]\n"))
        self.assertFalse(os.path.exists(self.destdir + "/etc/xdg/autostart"))

    def test_no_installed_elf_file_points_into_the_build_tree(self):
        checked = 0
        for top, _, files in os.walk(self.destdir):
            for name in files:
                path = os.path.join(top, name)
                if os.path.islink(path) or not elf(path):
                    continue
                checked += 1
                for entry in runpaths(path):
                    self.assertNotIn(BUILD, entry, path)
                    self.assertNotIn(SOURCE, entry, path)
                    for part in entry.split(":"):
                        self.assertTrue(part.startswith("$ORIGIN"), f"{path}: {entry}")
        self.assertGreaterEqual(checked, len(PROGRAMS) + len(CLIENTS) + len(CODECS) + 2)

    def test_programs_resolve_their_libraries_in_the_install(self):
        for program in ("devshell", "protoprobe", "datatool", "calfit", "fwflash"):
            path = self.installed("bin", program)
            out = subprocess.run(["ldd", path], capture_output=True, text=True,
                                 env=clean_environment()).stdout
            self.assertNotIn("not found", out, f"{program}:\n{out}")
            ours = [l for l in out.splitlines()
                    if any(f"lib{n}.so " in l for n in CLIENTS + CODECS)]
            self.assertTrue(ours, f"{program} links none of the libraries:\n{out}")
            for line in ours:
                found = os.path.realpath(line.split("=>", 1)[1].split("(")[0].strip())
                self.assertEqual(self.lib, os.path.dirname(found), f"{program}: {line}")

    def test_installed_programs_serve_a_device_and_an_application_lists_it(self):
        work = tempfile.mkdtemp(prefix="install-test-", dir=os.path.join(BUILD, "install-test"))
        runtime = os.path.join(work, "rt")
        vbus = os.path.join(work, "vbus")
        os.mkdir(runtime, 0o700)
        os.mkdir(vbus, 0o700)
        # The installed registry file with the DESTDIR before its paths.
        with open(self.destdir + SYSCONFDIR + "/veltrano/registry.reg") as f:
            text = f.read().replace(f'="{PREFIX}/', f'="{self.destdir}{PREFIX}/')
        registry = os.path.join(runtime, "registry.reg")
        with open(registry, "w") as f:
            f.write(text)
        env = clean_environment(LINKHUB_RUNTIME_DIR=runtime, LINKHUB_REGISTRY=registry,
                                USBLINK_VBUS=vbus)
        # Started from elsewhere, so no relative path can reach the build tree.
        hub_log = open(os.path.join(work, "linkhub.log"), "w")
        sim_log = os.path.join(work, "devsim.log")
        sim_out = open(sim_log, "w")
        hub = subprocess.Popen([self.installed("bin", "linkhub")], env=env, cwd=work,
                               stdout=hub_log, stderr=subprocess.STDOUT)
        sim = subprocess.Popen([self.installed("bin", "devsim"), "--vbus", vbus, "--id", "inst1",
                                "--hwid", HWID, "--friendly-name", "installed bench"],
                               env=env, cwd=work, stdout=sim_out,
                               stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + LIMIT
            up = False
            while time.monotonic() < deadline and not up:
                with open(sim_log) as f:
                    up = "devsim: inst1: link up" in f.read()
                self.assertIsNone(hub.poll(), "linkhub ended")
                self.assertIsNone(sim.poll(), "devsim ended")
                time.sleep(0.1)
            self.assertTrue(up, "the device did not come up")
            with open(f"/proc/{hub.pid}/maps") as f:
                maps = f.read()
            self.assertIn(os.path.join(self.lib, "libusblink.so"), maps)

            shell = self.installed("bin", "devshell")
            listed = subprocess.run([shell, "-L"], env=env, cwd=work, capture_output=True,
                                    text=True, timeout=LIMIT)
            self.assertEqual(0, listed.returncode, listed.stderr)
            self.assertIn(HWID, listed.stdout.upper())
            named = subprocess.run([shell, "-D", HWID], input="getname\n", env=env, cwd=work,
                                   capture_output=True, text=True, timeout=LIMIT)
            self.assertEqual(0, named.returncode, named.stderr)
            self.assertIn("installed bench", named.stdout)

            # An application built against the install.
            app_build = os.path.join(work, "consumer")
            configure = subprocess.run(
                [CMAKE, "-S", os.path.join(SOURCE, "tests", "install", "consumer"), "-B", app_build,
                 f"-DCMAKE_PREFIX_PATH={self.root}", "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF"],
                env=clean_environment(), capture_output=True, text=True, timeout=LIMIT * 5)
            self.assertEqual(0, configure.returncode, configure.stdout + configure.stderr)
            built = subprocess.run([CMAKE, "--build", app_build], env=clean_environment(),
                                   capture_output=True, text=True, timeout=LIMIT * 5)
            self.assertEqual(0, built.returncode, built.stdout + built.stderr)
            app = os.path.join(app_build, "listdevices")
            ran = subprocess.run([app], env=env, cwd=work, capture_output=True, text=True,
                                 timeout=LIMIT)
            self.assertEqual(0, ran.returncode, ran.stderr)
            self.assertEqual([HWID], ran.stdout.split())
            out = subprocess.run(["ldd", app], capture_output=True, text=True, env=env).stdout
            self.assertIn(os.path.join(self.lib, "libdevmgr.so"), out)
        finally:
            for p in (sim, hub):
                p.terminate()
                try:
                    p.wait(timeout=LIMIT)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
            hub_log.close()
            sim_out.close()


if __name__ == "__main__":
    if not BUILD:
        raise SystemExit("INSTALL_BUILD_DIR must name the build tree")
    unittest.main(verbosity=2)
