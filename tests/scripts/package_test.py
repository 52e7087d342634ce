#!/usr/bin/env python3
"""The Debian package built by the preset "package" (./test.sh builds it and
runs this on it): its file list holds the programs, the plug-in, the jar, the
udev rule and probe, and the registry file in /etc; its control data names
the dependencies dpkg-shlibdeps found, the registry file as a conffile, and
a postinst that reloads the udev rules.

Usage: package_test.py PACKAGE.deb"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

DEB = ""


def files_of(deb):
    out = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    return [line.split()[-1].lstrip(".") if " -> " not in line else line.split()[-3].lstrip(".")
            for line in out.splitlines()]


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True,
                          check=True).stdout.strip()


class PackageTest(unittest.TestCase):
    def test_file_list(self):
        files = files_of(DEB)
        multiarch = [f for f in files if f.endswith("/veltrano/libusblink.so")]
        self.assertEqual(1, len(multiarch), files)
        lib = os.path.dirname(multiarch[0])
        self.assertRegex(lib, r"^/usr/lib(/[a-z0-9_]+-linux-gnu[a-z0-9_]*)?/veltrano$")
        wanted = [f"/usr/bin/{p}" for p in
                  ("linkhub", "devshell", "devsim", "datatool", "calfit", "protoprobe", "fwflash")]
        wanted += [f"{lib}/lib{n}.so" for n in ("devmgr", "fsproto", "statproto", "pardbproto",
                                                "scopeproto", "parcodec", "calcodec", "logcodec",
                                                "scopecodec", "odcodec", "devmgrjni")]
        wanted += ["/usr/share/java/zamo-provider.jar", "/usr/lib/udev/rules.d/70-usblink.rules",
                   "/usr/lib/udev/usblink-probe", "/etc/veltrano/registry.reg",
                   "/usr/share/applications/linkhub.desktop", "/usr/include/veltrano/devmgr/devmgr.h"]
        self.assertEqual([], [w for w in wanted if w not in files])
        self.assertEqual([], [f for f in files if f.startswith("/usr/local")])

    def test_control_data(self):
        self.assertEqual("veltrano-tools", field(DEB, "Package"))
        self.assertRegex(field(DEB, "Version"), r"^\d+\.\d+\.\d+")
        self.assertTrue(field(DEB, "Maintainer"))
        description = field(DEB, "Description")
        self.assertIn("linkhub", description)
        self.assertNotIn(";", description)  # one text, not a CMake list
        depends = field(DEB, "Depends")
        # From dpkg-shlibdeps: the system's libraries the programs link.
        for lib in ("libc6", "libusb-1.0-0", "libstdc++6", "libqt6widgets6"):
            self.assertRegex(depends, rf"(^|, ){re.escape(lib)}( \(|,|$)", depends)
        info = subprocess.run(["dpkg-deb", "-I", DEB], capture_output=True, text=True,
                              check=True).stdout
        self.assertIn("conffiles", info)
        self.assertIn("postinst", info)
        with tempfile.TemporaryDirectory() as control:
            subprocess.run(["dpkg-deb", "-e", DEB, control], check=True)
            with open(os.path.join(control, "conffiles")) as f:
                self.assertEqual(["/etc/veltrano/registry.reg"], f.read().split())
            postinst = os.path.join(control, "postinst")
            self.assertTrue(os.access(postinst, os.X_OK))
            with open(postinst) as f:
                self.assertIn("udevadm control --reload-rules", f.read())

    def test_installed_paths_are_the_packages(self):
        with tempfile.TemporaryDirectory() as root:
            subprocess.run(["dpkg-deb", "-x", DEB, root], check=True)
            with open(os.path.join(root, "etc/veltrano/registry.reg")) as f:
                registry = f.read()
            lib = [d for d, _, fs in os.walk(root) if "libusblink.so" in fs][0][len(root):]
            self.assertIn(f'"usblink"="{lib}/libusblink.so"', registry)
            self.assertIn('"Updater"="/usr/bin/fwflash"', registry)
            with open(os.path.join(root, "usr/lib/udev/rules.d/70-usblink.rules")) as f:
                self.assertIn('PROGRAM="/usr/lib/udev/usblink-probe ', f.read())
            # The programs read the package's registry file first.
            with open(os.path.join(root, "usr/bin/linkhub"), "rb") as f:
                self.assertIn(b"/etc/veltrano/registry.reg", f.read())
            with open(os.path.join(root, "usr/bin/linkhub"), "rb") as f:
                self.assertNotIn(b"/usr/local/etc/veltrano", f.read())


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    DEB = sys.argv.pop(1)
    unittest.main(verbosity=2)
