"""The error report on standard error and the exit code, for every way a run can fail."""

import array
import fcntl
import os
import re
import resource
import subprocess
import termios
import time
import unittest

from harness import (CLOSING, FAULT_PROGRAM, HEADER, QEMU, SANITIZED, WINE, LauncherCase, command,
                     host_path, ini, screen)


def pending_bytes(fd):
    size = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, size)
    return size[0]


class SettingsErrorTest(LauncherCase):
    def test_countdown_of_letters_ends_before_any_output_or_launch(self):
        entry = self.marker("never")
        config = ini("abc", 0, [entry])
        self.write_config(config)
        r = self.run_launcher()
        self.assertEqual(r.rc, 1)
        self.assertEqual(r.out, b"")
        self.assertReport(r.err, "EConvertError", "'abc' is not a valid integer value.")
        self.assertEqual(self.read_config(), config)
        self.assertEqual(self.markers(1, timeout=0.5), [])

    def test_empty_or_missing_countdown_quotes_the_empty_text(self):
        for config in (ini("", 0), b"[Torvinale]\r\nPause=0\r\n", b"", b"[Other]\r\nCountdown=1\r\n"):
            with self.subTest(config=config):
                folder = self.scenario()
                self.write_config(config, folder)
                r = self.run_launcher(folder=folder)
                self.assertEqual((r.rc, r.out), (1, b""))
                self.assertReport(r.err, "EConvertError", "'' is not a valid integer value.")
                self.assertEqual(self.read_config(folder), config)

    def test_config_ini_that_cannot_be_read_is_reported_and_left_alone(self):
        # A link to itself is there but never readable: it must not be taken for missing.
        os.symlink("config.ini", self.path("config.ini"))
        r = self.run_launcher()
        self.assertEqual((r.rc, r.out), (1, b""))
        self.assertReport(r.err, "EConvertError", "'' is not a valid integer value.")
        self.assertEqual(os.readlink(self.path("config.ini")), "config.ini")

    def test_bad_pause_after_a_good_countdown(self):
        self.write_config(ini(0, "1.5"))
        r = self.run_launcher()
        self.assertEqual((r.rc, r.out), (1, b""))
        self.assertReport(r.err, "EConvertError", "'1.5' is not a valid integer value.")

    def test_report_is_in_the_console_code_page(self):
        self.write_config(ini("\xe9", 0))  # "é" in the ANSI code page, 1252 here
        r = self.run_launcher()
        self.assertEqual((r.rc, r.out), (1, b""))
        # Windows' console shows the OEM code page (437 here); POSIX has none of its own.
        self.assertReport(r.err, "EConvertError",
                          "'%s' is not a valid integer value." % ("\x82" if WINE else "\xe9"))

    def test_thousand_character_countdown_is_cut_to_1023_characters(self):
        self.write_config(ini("7" * 1000, 0))
        r = self.run_launcher()
        self.assertEqual(r.rc, 1)
        self.assertEqual(len(r.err), 1023 + 2)
        self.assertTrue(r.err.endswith(b"7777\r\n"), r.err[-20:])
        self.assertRegex(r.err, HEADER + rb"'7{900}")

    def test_directory_named_config_ini_cannot_be_written(self):
        os.mkdir(self.path("config.ini"))
        r = self.run_launcher()
        self.assertEqual((r.rc, r.out), (1, b""))
        sep = "\\" if WINE else "/"
        self.assertReport(r.err, "EIniFileException",
                          "Unable to write to " + host_path(self.dir) + sep + "config.ini.")
        self.assertTrue(os.path.isdir(self.path("config.ini")))


class OutputErrorTest(LauncherCase):
    def test_closed_standard_output(self):
        entry = self.marker("never")
        self.write_config(ini(0, 0, [entry]))
        r = self.run_launcher(stdout=None, preexec=lambda: os.close(1))
        self.assertEqual(r.rc, 1)
        # Wine hands out a standard output whose writes fail instead.
        self.assertReport(r.err, "EInOutError", "I/O error 6." if WINE else "I/O error 105.")
        self.assertEqual(self.markers(1, timeout=0.5), [])

    def test_pipe_whose_reader_has_gone_gives_one_report(self):
        self.write_config(ini(0, 0))
        read_end, write_end = os.pipe()
        os.close(read_end)
        r = self.run_launcher(stdout=write_end, timeout=60)
        os.close(write_end)
        self.assertEqual(r.rc, 1)  # not a death by signal
        self.assertEqual(r.err.count(b"Exception "), 1)
        self.assertReport(r.err, "EInOutError", "I/O error 233." if WINE else "I/O error 32.")

    def test_reader_gone_before_the_last_part_of_the_screen(self):
        self.write_config(ini(0, 0))
        expected = screen(0) + CLOSING
        before_last = len(expected) - len(expected) % 128
        # Filled but for what comes before the last part: that part can only fail.
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ
        os.write(write_end, b"x" * (4096 - before_last))
        proc = self.start(stdout=write_end, stderr="file")
        os.close(write_end)
        while pending_bytes(read_end) < 4096:
            self.assertIsNone(proc.poll())
            time.sleep(0.05)
        os.close(read_end)
        self.assertEqual(proc.wait(timeout=60), 1)
        with open(self.path("stderr.bin"), "rb") as f:
            self.assertReport(f.read(), "EInOutError", "I/O error 233." if WINE else "I/O error 32.")

    def test_full_device(self):
        self.write_config(ini(0, 0))
        r = self.run_launcher(stdout="/dev/full")
        self.assertEqual(r.rc, 1)
        self.assertReport(r.err, "EInOutError", "I/O error 112." if WINE else "I/O error 28.")

    def test_redirected_run_hands_over_its_last_part_only_at_the_end(self):
        self.write_config(ini(0, 0))
        out_path = self.path("stdout.bin")
        samples = []
        proc = self.start(stdout=out_path)
        while proc.poll() is None:
            samples.append((time.time(), os.path.getsize(out_path)))
            time.sleep(0.05)
        ended = time.time()
        with open(out_path, "rb") as f:
            data = f.read()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(data, screen(0) + CLOSING)
        self.assertNotEqual(len(data) % 128, 0)
        # The last hand-over may show in the moment before the process is gone (longer
        # under the sanitizers); the closing wait puts it 2 s after the others.
        sizes = [size for at, size in samples if ended - at > 0.5]
        self.assertTrue(sizes)
        self.assertTrue(all(size % 128 == 0 and size < len(data) for size in sizes), samples)


@unittest.skipUnless(FAULT_PROGRAM, "TORVINALE_FAULT is not set")
class FaultTest(LauncherCase):
    def run_fault(self, mode, preexec=None, env=None, log=None):
        """log: one file for both streams, as "> log 2>&1" gives."""
        streams = dict(stdout=log, stderr=subprocess.STDOUT) if log else dict(stdout="pipe",
                                                                               stderr="pipe")
        return self.run_launcher(cmd=command()[:-1] + [FAULT_PROGRAM, mode], timeout=60,
                                 preexec=preexec, env=env, **streams)

    def test_access_violation_runs_the_clean_ups_then_reports(self):
        p = self.run_fault("fault")
        self.assertEqual(p.rc, 1)
        self.assertEqual(p.out, b"before the error\r\nclean-up ran\r\n")
        self.assertReport(p.err, "EAccessViolation",
                          "Access violation at address 0000000000000000.",
                          module=r"torvinale_fault(\.exe)?")

    def test_report_follows_the_buffered_screen_on_one_destination(self):
        with open(self.path("log"), "wb") as log:
            self.assertEqual(self.run_fault("fault", log=log).rc, 1)
        with open(self.path("log"), "rb") as f:
            data = f.read()
        screen_text = b"before the error\r\nclean-up ran\r\n"
        self.assertEqual(data[:len(screen_text)], screen_text, data)
        self.assertReport(data[len(screen_text):], "EAccessViolation",
                          "Access violation at address 0000000000000000.",
                          module=r"torvinale_fault(\.exe)?")

    @unittest.skipIf(WINE, "Wine 8 ends the process itself: too little stack is left after "
                           "an overflow to hand it to any handler")
    def test_stack_overflow_is_reported_not_a_silent_death(self):
        stack = 8 * 1024 * 1024  # unlimited, it would take all memory first
        p = self.run_fault("stack", preexec=lambda: resource.setrlimit(
            resource.RLIMIT_STACK, (stack, stack)))
        self.assertEqual((p.rc, p.out), (1, b"before the error\r\nclean-up ran\r\n"),
                         p.err)
        self.assertRegex(p.err, rb"^Exception EAccessViolation in module torvinale_fault"
                                   rb"(\.exe)? at [0-9A-F]{8}\.\r\nAccess violation at address "
                                   rb"[0-9A-F]{16}\.\r\n\r\n$")

    def test_error_object_of_a_foreign_class_has_an_empty_message(self):
        p = self.run_fault("foreign")
        self.assertEqual(p.rc, 1)
        self.assertRegex(p.err, rb"^Exception int in module torvinale_fault(\.exe)? at "
                                   rb"[0-9A-F]{8}\.\r\n\r\n\r\n$")

    @unittest.skipIf(WINE, "an address-space limit cannot be set for a program under Wine")
    def test_memory_exhaustion(self):
        limit = 512 * 1024 * 1024
        # Under the sanitizers their allocator refuses the large requests instead.
        p = self.run_fault("memory", preexec=None if SANITIZED else lambda: resource.setrlimit(
            resource.RLIMIT_AS, (limit, limit)))
        self.assertEqual(p.rc, 1)
        # The sanitizer's allocator notes each refusal.
        err = re.sub(rb"==\d+==WARNING: AddressSanitizer failed to allocate \w+ bytes\n", b"",
                     p.err) if SANITIZED else p.err
        self.assertReport(err, "EOutOfMemory", "Out of memory.", module=r"torvinale_fault(\.exe)?")

    @unittest.skipIf(WINE, "an address-space limit cannot be set for a program under Wine")
    def test_memory_exhausted_for_good_ends_with_code_one_and_no_report(self):
        limit = 512 * 1024 * 1024
        env, preexec = None, lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        if SANITIZED:
            # The sanitizers' allocator refuses every request once resident memory passes
            # a limit, which it notes.
            env, preexec = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                                ":soft_rss_limit_mb=64"), None
        elif QEMU:
            # qemu-user would share the limit and abort when its own requests fail: the
            # program gets an address space of its own, that size.
            env, preexec = dict(os.environ, QEMU_RESERVED_VA=str(limit)), None
        p = self.run_fault("memory held", env=env, preexec=preexec)
        self.assertEqual((p.rc, p.out), (1, b"before the error\r\nclean-up ran\r\n"))
        self.assertEqual(re.sub(rb"==\d+==AddressSanitizer: soft rss limit exhausted .*\n", b"",
                                p.err), b"")


if __name__ == "__main__":
    unittest.main()
