#include "console/key_input.h"

#include <gtest/gtest.h>

#include "console/console_start.h"
#include "console/emulated_console.h"
#include "console/text_output.h"
#include "screens/program.h"

namespace lbe::console {
namespace {

class KeyInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    screens::ResetProgramState();
    ConsoleStart(screen);
  }
  void TearDown() override { ConsoleStop(); }
  EmulatedConsole screen;
};

TEST_F(KeyInputTest, PollInputLooksAtTheHeadOfTheQueueOnly) {
  EXPECT_FALSE(PollInput());
  screen.PushEvent({EventType::Key, false, 1, 'A', U'a'});
  screen.PushEvent({EventType::Key, true, 1, 'B', U'b'});
  EXPECT_FALSE(PollInput());  // the release is taken off
  EXPECT_EQ(screen.InputEventCount(), 1);
  EXPECT_TRUE(PollInput());
  EXPECT_TRUE(PollInput());  // the press stays
  EXPECT_EQ(screen.InputEventCount(), 1);
}

TEST_F(KeyInputTest, WaitKeyDropsOtherEventsAndZeroCodes) {
  screen.PushEvent({EventType::Mouse, true, 1, 0, 0});
  screen.PushEvent({EventType::WindowSize, true, 1, 0, 0});
  screen.PushEvent({EventType::Key, true, 1, 0, 0});
  screen.PushEvent({EventType::Key, true, 3, Vk::Down, 0});
  screen.PushEvent({EventType::Key, true, 1, Vk::Shift, 0});
  screen.TypeText("a");
  EXPECT_EQ(WaitKey(), Vk::Down);  // once, whatever its repeat count
  EXPECT_EQ(WaitKey(), Vk::Shift);
  EXPECT_EQ(WaitKey(), 'A');
  EXPECT_THROW(WaitKey(), InputEnded);
}

TEST_F(KeyInputTest, TypedAheadKeysComeInOrderUntilFlushed) {
  screen.TypeText("E1!");
  EXPECT_EQ(WaitKey(), 'E');
  EXPECT_EQ(WaitKey(), '1');
  EXPECT_EQ(WaitKey(), '1');  // Shift+1 is the key 1
  screen.TypeText("QY");
  FlushInput();
  EXPECT_EQ(screen.InputEventCount(), 0);
}

TEST_F(KeyInputTest, ReadTypedLineEchoesAndEndsOnEnter) {
  Write("FileName:");
  screen.TypeLine("data.bin");
  screen.TypeText("X");
  EXPECT_EQ(ReadTypedLine(), "data.bin");
  EXPECT_EQ(screen.RowText(0).substr(0, 18), "FileName:data.bin ");
  EXPECT_EQ(screen.Cursor(), (CellPos{0, 1}));
  EXPECT_EQ(WaitKey(), 'X');  // keys after the line stay for the screens
}

TEST_F(KeyInputTest, ReadTypedLineWithoutEnterEndsInput) {
  screen.TypeText("abc");
  EXPECT_THROW(ReadTypedLine(), InputEnded);
}

}  // namespace
}  // namespace lbe::console
