#include "runtime/output.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "runtime/errors.h"

namespace torvinale {
namespace {

using testing::FakeSink;

class OutputTest : public ::testing::Test {
 protected:
  void TearDown() override { IoResult() = 0; }
  testing::Transcript transcript;
};

TEST_F(OutputTest, ConsoleGetsEveryLineAtItsEndAndLongLinesInPieces) {
  FakeSink sink(transcript, FakeSink::Kind::kCharDevice);
  TextOutput out(sink);
  out.WriteLine("short");
  out.WriteLine(std::string(300, 'x'));
  EXPECT_EQ(sink.writes,
            (std::vector<std::string>{"short\r\n", std::string(128, 'x'), std::string(128, 'x'),
                                      std::string(44, 'x') + "\r\n"}));
  EXPECT_EQ(sink.opens, 1);
  EXPECT_EQ(IoResult(), 0);
}

TEST_F(OutputTest, FileOrPipeGetsTextOnlyWhenTheBufferFillsAndAtTheEnd) {
  FakeSink sink(transcript, FakeSink::Kind::kOther);
  TextOutput out(sink);
  for (int i = 0; i < 20; ++i) out.WriteLine("0123456789");  // 240 bytes
  EXPECT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(sink.writes[0].size(), 128u);
  out.Flush();
  ASSERT_EQ(sink.writes.size(), 2u);
  EXPECT_EQ(sink.writes[1].size(), 112u);
  out.Flush();
  EXPECT_EQ(sink.writes.size(), 2u);
}

TEST_F(OutputTest, UnopenableOutputStoresCode105AndRetriesAtEveryWrite) {
  FakeSink sink(transcript, FakeSink::Kind::kUnavailable);
  TextOutput out(sink);
  out.Flush();  // never opened: nothing happens
  EXPECT_EQ(sink.opens, 0);
  out.WriteLine("lost");
  EXPECT_EQ(IoResult(), 105);
  EXPECT_EQ(sink.opens, 2);  // the text and the line end
  try {
    OutputCheck();
    FAIL() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 105);
    EXPECT_EQ(e.Message(), "I/O error 105");
  }
  EXPECT_EQ(IoResult(), 0);
  sink.kind = FakeSink::Kind::kCharDevice;  // becomes available later
  out.WriteLine("found");
  EXPECT_EQ(sink.writes, std::vector<std::string>{"found\r\n"});
}

TEST_F(OutputTest, FailedHandOverDropsTheRestOfTheTextAndStartsEmpty) {
  FakeSink sink(transcript, FakeSink::Kind::kOther);
  TextOutput out(sink);
  out.Write(std::string(100, 'a'));
  sink.fail_with = 28;
  out.Write(std::string(100, 'b') + std::string(200, 'c'));  // fills at 128, then dropped
  EXPECT_EQ(IoResult(), 28);
  sink.fail_with = 0;
  out.Write("\r\n");
  out.Flush();
  EXPECT_EQ(sink.writes, std::vector<std::string>{"\r\n"});
}

TEST_F(OutputTest, LaterFailureOverwritesAnEarlierOne) {
  FakeSink sink(transcript, FakeSink::Kind::kCharDevice);
  TextOutput out(sink);
  sink.fail_with = 5;
  out.WriteLine("a");
  sink.fail_with = 112;
  out.WriteLine("b");
  EXPECT_EQ(IoResult(), 112);
}

TEST_F(OutputTest, CheckIsSilentWithoutFailureAndNamesKnownCodes) {
  EXPECT_NO_THROW(OutputCheck());
  const std::pair<int, const char*> table[] = {{2, "File not found"},
                                               {3, "Invalid filename"},
                                               {4, "Too many open files"},
                                               {5, "File access denied"},
                                               {100, "Read beyond end of file"},
                                               {101, "Disk full"},
                                               {106, "Invalid numeric input"},
                                               {32, "I/O error 32"},
                                               {-7, "I/O error -7"}};
  for (const auto& [code, message] : table) {
    IoResult() = code;
    try {
      OutputCheck();
      ADD_FAILURE() << "no error for " << code;
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Message(), message);
      EXPECT_EQ(e.ErrorCode, code);
      EXPECT_STREQ(e.ClassName(), "EInOutError");
    }
  }
}

}  // namespace
}  // namespace torvinale
