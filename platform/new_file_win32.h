// The file side of the Windows profile functions: texts converted as the ANSI
// calls convert them, files reached by their wide names, the working folder by
// its real name, and new files that reach their place in one step.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace torvinale {

// Texts the program keeps are in the ANSI code page; files are reached by
// their wide names, so that no character the code page lacks is lost.
std::wstring FromAnsi(std::string_view text);
std::string FromWide(std::wstring_view wide, UINT code_page);
// False where text is not UTF-8 through and through (nothing is converted then).
bool FromUtf8(std::string_view text, std::wstring& wide);

// The form the wide calls take beyond MAX_PATH where the system allows it;
// shorter paths keep the form every Windows takes.
std::wstring Reachable(std::wstring path);

// The working folder by its real name, taken once at start. Its ANSI text is
// only shown: a "?" or a look-alike in it (a best fit) may name no folder, or
// another one.
class WorkingFolder {
 public:
  void Take();

  const std::string& text() const { return text_; }

  // A name alone, or the folder's text joined with one, is that name in the
  // real folder; any other path is converted as the ANSI calls convert it.
  std::wstring Reach(std::string_view path) const;

 private:
  bool taken_ = false;
  std::wstring wide_;
  std::string text_;
};

// The file a new file is written to until it is put in place as target: made
// empty and exclusively beside it, so that nothing of someone else's is
// written to. False when no such file could be made.
bool MakeNewFile(const std::wstring& target, std::wstring& file);

// Moves file into place as target without replacing anything: a file that
// appeared there meanwhile is kept (success) and file removed. Nothing to
// move (no file) is success too.
bool PublishNewFile(const std::wstring& target, const std::wstring& file);

}  // namespace torvinale
