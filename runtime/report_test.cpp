#include "runtime/report.h"

#include <gtest/gtest.h>

#include "runtime/errors.h"

namespace torvinale {
namespace {

TEST(ReportFormatTest, TwoLinesWithEightUpperCaseDigitsAndOneFullStop) {
  EXPECT_EQ(
      FormatReport("EConvertError", "torvinale.exe", 0x1a2b, "'abc' is not a valid integer value"),
      "Exception EConvertError in module torvinale.exe at 00001A2B.\r\n"
      "'abc' is not a valid integer value.\r\n");
  EXPECT_EQ(FormatReport("E", "m", 0, "Ends here."),
            "Exception E in module m at 00000000.\r\nEnds here.\r\n");
  EXPECT_EQ(FormatReport("E", "m", 0xFFFFFFFF, ""), "Exception E in module m at FFFFFFFF.\r\n\r\n");
}

TEST(ReportFormatTest, LongReportIsCutAnywhereAt1023Characters) {
  std::string message = "'" + std::string(1000, '7') + "' is not a valid integer value";
  std::string text = FormatReport("EConvertError", "torvinale", 0x1000, message);
  EXPECT_EQ(text.size(), 1023u);
  EXPECT_EQ(text.substr(0, 50), "Exception EConvertError in module torvinale at 000");
  EXPECT_EQ(text.back(), '7');

  // A cut that falls inside the line end.
  std::string exact(1023 - 49, 'm');
  text = FormatReport("EInOutError", "a", 1, exact);
  EXPECT_EQ(text.size(), 1023u);
  EXPECT_EQ(text.substr(text.size() - 2), "m.");
}

TEST(ReportFormatTest, ModuleNameIsThePartAfterTheLastSeparator) {
  EXPECT_EQ(ModuleNameOf("C:\\Program Files\\Torvinale\\torvinale.exe"), "torvinale.exe");
  EXPECT_EQ(ModuleNameOf("/usr/bin/torvinale"), "torvinale");
  EXPECT_EQ(ModuleNameOf("torvinale"), "torvinale");
  EXPECT_EQ(ModuleNameOf("/x/" + std::string(300, 'n')).size(), 260u);
}

TEST(ReportFormatTest, DescribesOwnErrorsMemoryErrorsAndForeignObjects) {
  auto describe = [](auto error) { return Describe(std::make_exception_ptr(error)); };
  ErrorDescription d = describe(EIniFileException("Unable to write to x"));
  EXPECT_EQ(d.class_name, "EIniFileException");
  EXPECT_EQ(d.message, "Unable to write to x");
  d = describe(EInOutError("Disk full", 101));
  EXPECT_EQ(d.class_name, "EInOutError");
  d = describe(std::bad_alloc());
  EXPECT_EQ(d.class_name, "EOutOfMemory");
  EXPECT_EQ(d.message, "Out of memory");
  d = describe(42);
  EXPECT_EQ(d.class_name, "int");
  EXPECT_EQ(d.message, "");
}

TEST(RaiseTest, RecordsAnAddressInsideTheRaisingRoutine) {
  SetRaiseAddress(nullptr);
  EXPECT_THROW(Raise(EConvertError("x")), EConvertError);
  EXPECT_NE(LastRaiseAddress(), nullptr);
}

}  // namespace
}  // namespace torvinale

namespace torvinale {
namespace {

TEST(OutOfMemoryTest, FailedRequestRaisesThePreparedErrorEveryTime) {
  InstallErrorLayer();
  volatile std::size_t huge = SIZE_MAX / 2;
  const EOutOfMemory* first = nullptr;
  for (int i = 0; i < 2; ++i) {
    try {
      void* p = ::operator new(huge);
      ::operator delete(p);
      FAIL() << "the request was met";
    } catch (const EOutOfMemory& e) {
      EXPECT_EQ(e.Message(), "Out of memory");
      if (first == nullptr) first = &e;
      EXPECT_EQ(&e, first);  // one object, not a copy per failure
    }
  }
}

}  // namespace
}  // namespace torvinale
