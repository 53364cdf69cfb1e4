#include "platform/profile_text.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace torvinale {
namespace {

using namespace std::string_literals;

using Cases = std::vector<std::pair<const char*, const char*>>;  // key, value read

void ExpectValues(std::string_view text, std::string_view section, const Cases& cases) {
  for (auto [key, expected] : cases) {
    EXPECT_EQ(LookUpProfileValue(text, section, key, "DEF"), expected) << "key " << key;
  }
}

TEST(ProfileLookUp, MatchesNamesWithoutCaseOrBlanksOverAnyLineEnd) {
  const std::string text =
      "top=0\r\n[ Torvinale ]\r\n  CountDown \t=\t 5 \r\n;Pause=9\nPause=1\rX=2";
  ExpectValues(text, " torvinale ", {{"countdown", "5"}, {" Countdown ", "5"}, {"Pause", "1"}});
  ExpectValues(text, "Torvinale", {{";Pause", "DEF"}, {"x", "2"}, {"top", "DEF"}});
  ExpectValues(text, "", {{"top", "0"}});
  ExpectValues("\xEF\xBB\xBF[S]\nk=1\n", "S", {{"k", "1"}});
}

TEST(ProfileLookUp, ValuesLoseWholeQuotesOnlyAndEndAtNul) {
  const std::string text =
      "[S]\nq1=\" a b \"\nq2=\"abc\nq3=a;b\nq4='x'\nq5=\"\nq6=\"\"\nq7=\"a'\nempty=\n"
      "noequals\n[T\nc=x\0y\nk\x1a=\v2\f"s;  // "[T" lacks its "]", so c is still in S
  // clang-format off
  ExpectValues(text, "S", {{"q1", " a b "}, {"q2", "\"abc"}, {"q3", "a;b"}, {"q4", "x"},
                           {"q5", "\""}, {"q6", ""}, {"q7", "\"a'"}, {"empty", ""},
                           {"noequals", "DEF"}, {"c", "x"}, {"k", "2"}});
  // clang-format on
}

TEST(ProfileLookUp, FirstSectionAndKeyWinAndMissingGivesDefault) {
  const std::string text = "[A]\nk=first\nK=second\n[a]\nk=third\nonly=2\n[B]\n";
  ExpectValues(text, "A", {{"k", "first"}, {"only", "DEF"}});
  ExpectValues(text, "B", {{"k", "DEF"}});
  EXPECT_EQ(LookUpProfileValue("", "A", "k", "d \t  "), "d \t");
}

TEST(ProfileLookUp, LineWithoutEqualsIsAKeyWithoutValue) {
  // As on Windows, it also hides later lines of the same key.
  ExpectValues("[S]\n Countdown \ncountdown=5\nPause=1\n", "S",
               {{"Countdown", "DEF"}, {"Pause", "1"}});
}

TEST(ProfileLookUp, NulCutsNamesAndValuesAfterTheirBlanksAreDropped) {
  const std::string text = "[S \0x]\nk=1\n[T]\nk \0x=1\nv=x \0y\nw=\0 y\n"s;
  ExpectValues(text, "S", {{"k", "DEF"}});
  ExpectValues(text, "T", {{"k", "DEF"}, {"v", "x "}, {"w", ""}});
}

TEST(ProfileLookUp, HugeLinesAndNulBytesAreRead) {
  std::string text = "[S]\n" + std::string(1000000, 'x') + "\nk=" + std::string(1000000, 'v');
  text += "\n\0\0=\0\nm=1"s;
  EXPECT_EQ(LookUpProfileValue(text, "S", "k", "").size(), 1000000u);
  EXPECT_EQ(LookUpProfileValue(text, "S", "m", ""), "1");
}

TEST(ProfileText, Utf16WithItsMarkReadsAsUtf8AndMalformedUnitsAsReplacements) {
  const std::string mark = "\xEF\xBB\xBF", fffd = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\xFF\xFE[\0S\0]\0\r\0\n\0k\0=\0\xE9\0\n\0"s, mark + "[S]\r\nk=\xC3\xA9\n"},
      {"\xFE\xFF\0[\0S\0]\0\r\x20\xAC\xD8\x3D\xDE\0"s, mark + "[S]\r\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xFF\xFE\xFF\xFE\0\xD8x\0\0\xDC\0\xD8"s, mark + mark + fffd + "x" + fffd + fffd},
      {"\xFF\xFE\0\xD8\0\xD8"s, mark + fffd + fffd},  // a high unit never pairs with a high one
      {"\xFF\xFEx\0y"s, mark + "x" + fffd},
      {"\xFF\xFE", mark},
      {"\xFF[S]", "\xFF[S]"},  // no mark: single-byte text
  };
  for (const auto& [file, text] : cases) EXPECT_EQ(ReadableProfileText(file), text) << text;
  ExpectValues(ReadableProfileText("\xFF\xFE\xFF\xFE[\0S\0]\0\n\0k\0=\0"s), "S", {{"k", "DEF"}});
}

TEST(ProfileUpdate, ChangesOnlyTheKeyLineOrAddsAtTheEndOfTheSectionOrFile) {
  const std::string text = "; head\n[A]\n  Key1 = old ; c\r\nK2=x\n\n; about B\n[B]\nkey1=b";
  struct {
    std::string_view text, section, key, value, expected;
  } cases[] = {
      {text, "a", "KEY1", "new", "; head\n[A]\nKey1=new\r\nK2=x\n\n; about B\n[B]\nkey1=b"},
      {text, "B", "key1", "", "; head\n[A]\n  Key1 = old ; c\r\nK2=x\n\n; about B\n[B]\nkey1="},
      {text, "A", "y", "2",
       "; head\n[A]\n  Key1 = old ; c\r\nK2=x\ny=2\r\n\n; about B\n[B]\nkey1=b"},
      {text, "B", "y", "2",
       "; head\n[A]\n  Key1 = old ; c\r\nK2=x\n\n; about B\n[B]\nkey1=b\r\ny=2\r\n"},
      {"[A]\nk=1\n[a]\nj=2\n", "a", "j", "3", "[A]\nk=1\nj=3\r\n[a]\nj=2\n"},
      {"[A]\n Key \nkey=2\n", "A", "KEY", " \t3\v ", "[A]\nKey=3\nkey=2\n"},
      {"[A]", "A", "y", "2", "[A]\r\ny=2\r\n"},
      {"[A]\nx=1", "B", "y", "2", "[A]\nx=1\r\n[B]\r\ny=2\r\n"},
      {"", " S ", " k ", "v", "[S]\r\nk=v\r\n"},
      {"\xEF\xBB\xBF", "S", "k", "v", "\xEF\xBB\xBF[S]\r\nk=v\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UpdateProfileText(c.text, c.section, c.key, c.value), c.expected) << c.expected;
  }
}

TEST(ProfileUpdate, RefusesEntriesThatWouldNotReadBack) {
  EXPECT_TRUE(IsStorableProfileEntry("S", "Program1", "c:\\a b;c=\"d\""));
  EXPECT_FALSE(IsStorableProfileEntry("S", "k", "a\r\nb=c"));
  EXPECT_FALSE(IsStorableProfileEntry("S\n", "k", ""));
  EXPECT_FALSE(IsStorableProfileEntry("S", "a=b", ""));
  EXPECT_FALSE(IsStorableProfileEntry("S", " ;k", ""));
  EXPECT_FALSE(IsStorableProfileEntry("S", "[k]", ""));
  // First in the file, the key's first bytes would read as a byte order mark.
  EXPECT_FALSE(IsStorableProfileEntry(" ", "\xEF\xBB\xBFk", "v"));
  EXPECT_FALSE(IsStorableProfileEntry("", "\xFE\xFFk", "v"));
  EXPECT_TRUE(IsStorableProfileEntry("S", "\xEF\xBB\xBFk", "v"));
}

}  // namespace
}  // namespace torvinale
