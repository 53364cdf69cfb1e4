import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest
import uuid
import zipfile

from harness import WINE
from package_common import BUILD, CPACK, MSI, tool, without_signing


@unittest.skipUnless(WINE, "the Windows packages are the ones signed")
@unittest.skipUnless(MSI and BUILD and shutil.which("osslsigncode") and shutil.which("openssl"),
                     "needs wixl, msitools, osslsigncode, openssl and TORVINALE_BUILD")
class ReleaseSigningTest(unittest.TestCase):
    """A release signed as the README says, with a throwaway CA's code-signing certificate."""

    def test_signs_the_program_then_the_msi_with_the_certificate_the_environment_names(self):
        work = tempfile.mkdtemp(prefix="torvinale-signing-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        for argv in (["/CN=Throwaway CA", "-keyout", "ca.key", "-out", "ca.pem"],
                     ["/CN=The Torvinale authors", "-keyout", "sign.key", "-out", "sign.pem",
                      "-CA", "ca.pem", "-CAkey", "ca.key", "-addext", "basicConstraints=CA:FALSE",
                      "-addext", "extendedKeyUsage=codeSigning"]):
            tool("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", *argv,
                 cwd=work)
        password = uuid.uuid4().hex
        tool("openssl", "pkcs12", "-export", "-inkey", "sign.key", "-in", "sign.pem", "-out",
             "sign.p12", "-passout", "pass:" + password, cwd=work)
        secret = {"TORVINALE_SIGN_PKCS12": os.path.join(work, "sign.p12"),
                  "TORVINALE_SIGN_PASSWORD": password}

        def cpack(generators, **env):
            out = tempfile.mkdtemp(dir=work)
            r = subprocess.run([CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G",
                                ";".join(generators), "-B", out], capture_output=True, text=True,
                               env=dict(without_signing(os.environ), **env), timeout=300)
            self.assertNotIn(password, r.stdout + r.stderr)
            return r, {os.path.splitext(n)[1]: os.path.join(out, n) for n in os.listdir(out)}
        self.assertEqual(cpack(["ZIP"])[0].stdout.count("-- Not signed: "), 1)
        # A time-stamp server named is asked: one that cannot be reached fails the release.
        r, _ = cpack(["ZIP"], TORVINALE_SIGN_TIMESTAMP="http://127.0.0.1:9/", **secret)
        self.assertNotEqual(r.returncode, 0)
        r, packages = cpack(["ZIP", "External"], **secret)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with zipfile.ZipFile(packages[".zip"]) as z:
            exe = z.extract("torvinale.exe", work)
        for path, part in ((exe, b"Closing program"), (packages[".msi"], b"MSCF")):
            damaged = bytearray(pathlib.Path(path).read_bytes())
            damaged[damaged.index(part) + 4] ^= 1
            pathlib.Path(path + ".damaged").write_bytes(damaged)
            for name, good in ((path, True), (path + ".damaged", False)):
                r = subprocess.run(["osslsigncode", "verify", "-CAfile",
                                    os.path.join(work, "ca.pem"), name], capture_output=True)
                self.assertEqual(r.returncode == 0, good, name)
        # One signed program in both packages; without its signature, the build's own.
        tool("msiextract", "-C", work, packages[".msi"])
        tool("osslsigncode", "remove-signature", "-in", exe, "-out", exe + ".unsigned")
        for one, two in ((exe, os.path.join(work, "Programs", "Torvinale", "torvinale.exe")),
                         (exe + ".unsigned", os.path.join(BUILD, "torvinale.exe"))):
            self.assertTrue(pathlib.Path(one).read_bytes() == pathlib.Path(two).read_bytes(),
                            one + " differs")


if __name__ == "__main__":
    unittest.main()
