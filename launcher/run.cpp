#include "launcher/run.h"

#include <algorithm>

#include "launcher/UTypes.h"

namespace torvinale {
namespace {

constexpr int kTickMs = 1000;
constexpr int kBeforeLaunchMs = 100;
constexpr int kClosingMs = 2000;
constexpr std::size_t kMinLaunchLength = 3;
constexpr std::size_t kConfirmationLength = 61;

const std::string kSeparatorRow(68, '=');
const std::string kBanner =
    "Torvinale version: 1.0.0" + std::string(23, ' ') + "torvinale.example.org 2012";

void Line(TextOutput& out, std::string_view text) {
  out.WriteLine(text);
  OutputCheck();
}

void DrawScreen(Services& s, const Settings& settings) {
  MoveCursor(s.console, 0, 0);
  Line(s.out, kSeparatorRow);
  MoveCursor(s.console, 1, 0);
  Line(s.out, Banner());
  MoveCursor(s.console, 2, 0);
  Line(s.out, CountRow(settings.counter));
  MoveCursor(s.console, 2, 15);
  Line(s.out, "ms");
  MoveCursor(s.console, 3, 0);
  Line(s.out, kSeparatorRow);
  PumpMessages(s.console);
  for (int n = 1; n <= kEntryCount; ++n) Line(s.out, EntryLabel(n) + settings.entries[n - 1]);
}

}  // namespace

const std::string& Banner() { return kBanner; }

std::string EntryLabel(int number) { return "Program " + std::to_string(number) + ": "; }

std::string ConfirmationLine(int number, bool launched) {
  std::string head = "Program" + std::to_string(number);
  std::string tail = launched ? "EXECUTED" : "FAILED";
  return head + std::string(kConfirmationLength - head.size() - tail.size(), '.') + tail;
}

// The trailing blank wipes the last digit of a longer previous count.
std::string CountRow(std::int64_t counter) { return "Countdown: " + std::to_string(counter) + " "; }

void RunLauncher(Services& s) {
  const std::string working_directory = s.files.QueryWorkingDirectory();
  Settings settings = LoadSettings(working_directory, s.files, s.profile);

  do {
    --settings.counter;
    DrawScreen(s, settings);
    s.clock.Sleep(kTickMs);
  } while (settings.counter > 0);

  s.clock.Sleep(kBeforeLaunchMs);
  const auto pause = static_cast<std::uint32_t>(std::max(settings.pause, 0));
  for (int n = 1; n <= kEntryCount; ++n) {
    const std::string& entry = settings.entries[n - 1];
    if (entry.size() < kMinLaunchLength) continue;
    // Never a look-alike of the name the file holds: that may be another program.
    const UnicodeName& unicode = settings.unicode_entries[n - 1];
    bool launched = unicode.utf8.empty() ? s.shell.Open(entry) : s.shell.OpenEither(entry, unicode);
    Line(s.out, ConfirmationLine(n, launched));
    s.clock.Sleep(pause);
  }

  Line(s.out, "Closing program...");
  s.clock.Sleep(kClosingMs);
}

}  // namespace torvinale
