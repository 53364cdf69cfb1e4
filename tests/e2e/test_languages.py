"""The .exe under Wine as users of other languages meet it: Wine takes the ANSI code page from
the Unix locale it starts in, and each locale gets a fresh prefix whose profile folder has the
user's own name (Wine names it from USER)."""

import concurrent.futures
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (BINARY, CLOSING, MARKER, RUNNER, WINE, WINESERVER, LauncherCase,
                     confirmation, screen)

# Locale, its ANSI code page, a user's name and a program's. In 936 and 949 the user's name
# is valid UTF-8 too (郑伟 as ֣ΰ, 창호 as âȣ); in UTF-8 the program's name holds byte pairs
# that the double-byte code pages drop.
LOCALES = [
    ("ja_JP", "cp932", "\u4f50\u85e4", "\u8d77\u52d5"),
    ("zh_CN", "cp936", "\u90d1\u4f1f", "\u542f\u52a8\u5668"),
    ("ko_KR", "cp949", "\ucc3d\ud638", "\uc2e4\ud589"),
    ("ru_RU", "cp1251", "\u0414\u043c\u0438\u0442\u0440\u0438\u0439",
     "\u041f\u0443\u0441\u043a"),
]

SAVED_AS = {
    "ansi": lambda text, code_page: text.encode(code_page),
    "utf8": lambda text, code_page: text.encode(),
    "utf8-bom": lambda text, code_page: b"\xef\xbb\xbf" + text.encode(),
    "utf16": lambda text, code_page: b"\xff\xfe" + text.encode("utf-16-le"),
}


def compiled_locale(name):
    """A folder for LOCPATH that holds the UTF-8 locale of name, made with localedef (no change
    to the system) and kept beside the binary under test: each takes seconds to make."""
    libc = os.confstr("CS_GNU_LIBC_VERSION").split()[-1]
    cache = os.path.join(os.path.dirname(os.path.abspath(BINARY)), "locales-" + libc)
    target = os.path.join(cache, name + ".UTF-8")
    if os.path.exists(os.path.join(target, "LC_CTYPE")):
        return cache
    os.makedirs(cache, exist_ok=True)
    work = tempfile.mkdtemp(dir=cache)
    try:
        made = os.path.join(work, name + ".UTF-8")
        subprocess.run(["localedef", "-i", name, "-f", "UTF-8", made], check=True,
                       stdin=subprocess.DEVNULL, capture_output=True)
        try:
            os.rename(made, target)  # whole or not at all: runs may share the cache
        except OSError:
            pass  # another run's is there
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return cache


@unittest.skipUnless(WINE, "code pages are Windows'")
class SystemLanguagesTest(LauncherCase):
    """An entry opens the program its user wrote, saved in any form Notepad offers, on
    Windows in Japanese, Chinese, Korean and a single-byte language."""

    def prefix(self, locale, user):
        """A fresh prefix for one locale, with a server of its own for the cases that share it;
        the environment that runs programs there."""
        path = os.path.join(self.dir, locale)
        os.mkdir(path)
        env = dict(os.environ, LANG=locale + ".UTF-8", LC_ALL=locale + ".UTF-8",
                   LOCPATH=compiled_locale(locale),
                   USER=user, WINEPREFIX=path, WINEDEBUG="-all",
                   # Nothing of the prefix's reaches the desktop's menus.
                   WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml=")
        quiet = dict(env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, check=False)
        subprocess.run([WINESERVER, "-p60"], **quiet)
        self.addCleanup(subprocess.run, [WINESERVER, "-k"], **quiet)
        subprocess.run([RUNNER, "cmd", "/c", "exit"], **quiet)
        home = os.path.join(path, "drive_c", "users", user)
        self.assertTrue(os.path.isdir(home), f"Wine did not load {locale}: no {home}")
        return env

    def test_entries_in_local_folders_open_in_every_saved_form(self):
        if not shutil.which("localedef") or not os.path.isdir("/usr/share/i18n/locales"):
            self.fail("localedef and the locale sources are missing: scripts/setup installs them")
        with concurrent.futures.ThreadPoolExecutor(len(LOCALES)) as pool:
            envs = list(pool.map(lambda row: self.prefix(row[0], row[2]), LOCALES))

        runs = []
        for (locale, code_page, user, program), env in zip(LOCALES, envs):
            users = os.path.join(env["WINEPREFIX"], "drive_c", "users")
            for form, encode in SAVED_AS.items():
                folder = os.path.join(users, user, form)
                os.mkdir(folder)
                names = ["run.exe", program + ".exe"]
                for name in names:
                    shutil.copy(MARKER, os.path.join(folder, name))
                entries = [f"C:\\users\\{user}\\{form}\\{name}" for name in names]
                saved = ("[Torvinale]\r\nCountdown=0\r\nPause=0\r\n" +
                         "".join(f"Program{n}={e}\r\n" for n, e in enumerate(entries, 1)))
                with open(os.path.join(folder, "config.ini"), "wb") as f:
                    f.write(encode(saved, code_page))
                # The program at the path that the ANSI bytes name in UTF-8, where they do.
                other = None
                try:
                    other_user = user.encode(code_page).decode()
                except UnicodeDecodeError:
                    other_user = None
                if form != "utf8" and other_user:
                    other = os.path.join(users, other_user, form)
                    os.makedirs(other)
                    shutil.copy(MARKER, os.path.join(other, "run.exe"))
                runs.append((locale, code_page, form, folder, names, entries, other, env))

        with concurrent.futures.ThreadPoolExecutor(len(runs)) as pool:
            results = list(pool.map(
                lambda run: self.run_launcher(env=run[7], folder=run[3]), runs))

        for (locale, code_page, form, folder, names, entries, other, _), r in zip(runs, results):
            with self.subTest(locale, saved_as=form):
                self.assertEqual((r.rc, r.err), (0, b""))
                tail = confirmation(1) + confirmation(2) + CLOSING
                if form == "utf8":  # shown as the code page reads the bytes
                    self.assertTrue(r.out.endswith(tail), r.out[-200:])
                else:  # shown in the code page
                    shown = [e.encode(code_page).decode("latin-1") for e in entries]
                    self.assertEqual(r.out, screen(0, shown) + tail)
                ran = self.markers(2, os.path.join(folder, "markers.log"))
                self.assertEqual(sorted(name for name, _ in ran), sorted(names))
                if other:
                    self.assertEqual(os.listdir(other), ["run.exe"])


if __name__ == "__main__":
    unittest.main()
