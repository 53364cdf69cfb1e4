import io
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

from harness import EXE, QEMU, WINE
from package_common import BUILD, CPACK, tool, without_signing


def members(package):
    """{name: (metadata, bytes)} of every entry of a package, control files included."""
    def from_tar(data, prefix=""):
        found = {}
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            for m in tar.getmembers():
                content = tar.extractfile(m).read() if m.isfile() else b""
                found[prefix + m.name] = ((m.mode, m.uid, m.gid, m.uname, m.gname, m.mtime,
                                           m.linkname), content)
        return found
    if package.endswith(".deb"):
        found = {}
        for part, option in (("control:", "--ctrl-tarfile"), ("", "--fsys-tarfile")):
            data = subprocess.run(["dpkg-deb", option, package], check=True,
                                  capture_output=True).stdout
            found.update(from_tar(data, part))
        return found
    if package.endswith(".zip"):
        with zipfile.ZipFile(package) as z:
            return {i.filename: ((i.date_time, i.external_attr), z.read(i)) for i in z.infolist()}
    with open(package, "rb") as f:
        data = f.read()
    if package.endswith(".tar.gz"):
        return from_tar(data)
    return {os.path.basename(package): ((), data)}  # a program or an MSI, whole


def cache_entries(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return dict(re.findall(r"(?m)^(\w+):\w+=(.*)$", f.read()))


class ReproducibleBuildTest(unittest.TestCase):
    """The commit cloned into two folders and built there as this build was configured:
    the program and every package must be the same, byte for byte, and hold neither
    folder's name."""

    def setUp(self):
        if not BUILD:
            self.skipTest("TORVINALE_BUILD is not set")
        self.cache = cache_entries(BUILD)
        self.source = self.cache["CMAKE_HOME_DIRECTORY"]
        if subprocess.run(["git", "-C", self.source, "rev-parse", "HEAD"],
                          capture_output=True).returncode != 0:
            self.skipTest("needs git and the history of the source")
        self.work = tempfile.mkdtemp(prefix="torvinale-repro-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def configure(self, folder, env=None):
        """Clones the commit into folder/src and configures it; returns the build folder."""
        source = os.path.join(folder, "src")
        tool("git", "clone", "--quiet", self.source, source)
        binary = os.path.join(source, "build")
        options = ["-DCMAKE_BUILD_TYPE=" + self.cache["CMAKE_BUILD_TYPE"], "-DTORVINALE_TESTS=OFF"]
        toolchain = self.cache.get("CMAKE_TOOLCHAIN_FILE")
        if toolchain:
            options.append("-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(
                source, os.path.relpath(toolchain, self.source)))
        tool("cmake", "-S", source, "-B", binary, *options, env=env)
        return binary

    def test_two_builds_of_the_commit_give_the_same_packages(self):
        packages = []
        for folder in ("one", "the-second-build"):
            binary = self.configure(os.path.join(self.work, folder))
            tool("cmake", "--build", binary, "-j2")
            out = os.path.join(self.work, folder, "packages")
            tool(CPACK, "--config", os.path.join(binary, "CPackConfig.cmake"), "-B", out,
                 env=without_signing(os.environ))  # unsigned, as these packages are
            found = {name: os.path.join(out, name) for name in os.listdir(out)
                     if name.endswith((".deb", ".tar.gz", ".zip", ".msi"))}
            found["torvinale" + EXE] = os.path.join(binary, "torvinale" + EXE)
            packages.append(found)
        self.assertTrue(packages[0])
        self.assertEqual(set(packages[0]), set(packages[1]))
        for name, first in packages[0].items():
            with self.subTest(package=name):
                one, two = members(first), members(packages[1][name])
                self.assertEqual(set(one), set(two))
                self.assertEqual([m for m in one if one[m] != two[m]], [])
                with open(first, "rb") as a, open(packages[1][name], "rb") as b:
                    self.assertTrue(a.read() == b.read(), "the entries match, the files differ")
                for member, (_, content) in one.items():
                    self.assertNotIn(self.work.encode(), content, member)

    @unittest.skipIf(QEMU or WINE or not shutil.which("dpkg-buildflags"),
                     "needs native dpkg-buildflags")
    def test_flags_from_the_environment_reach_compiler_and_linker(self):
        folder = os.path.join(self.work, "packager")
        os.makedirs(folder)
        flags = {name: tool("dpkg-buildflags", "--get", name, cwd=folder).strip()
                 for name in ("CPPFLAGS", "CXXFLAGS", "LDFLAGS")}
        binary = self.configure(folder, env=dict(os.environ, **flags))
        with open(os.path.join(binary, "CMakeFiles", "torvinale.dir", "flags.make")) as f:
            compile_flags = f.read()
        with open(os.path.join(binary, "CMakeFiles", "torvinale.dir", "link.txt")) as f:
            link_line = f.read()
        for flag in (flags["CPPFLAGS"] + " " + flags["CXXFLAGS"]).split():
            self.assertIn(" " + flag + " ", compile_flags)
        for flag in flags["LDFLAGS"].split():
            self.assertIn(" " + flag + " ", link_line)
        # The packager's _FORTIFY_SOURCE level is the one that counts.
        self.assertNotIn("-U_FORTIFY_SOURCE", compile_flags)


if __name__ == "__main__":
    unittest.main()
