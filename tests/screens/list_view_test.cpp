#include "screens/list_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "console/key_codes.h"
#include "console/text_output.h"
#include "console/window.h"
#include "files/edited_file.h"
#include "image/memory_image.h"
#include "listing/listing_modes.h"
#include "screens/main_menu.h"
#include "stepping_console.h"
#include "temp_folder.h"

namespace {

constexpr const char* kZeros = " 0000000000000000:00";

// A zeroed line's entry at `address` ("00C0 0000000000000000:00").
std::string Entry(const char* address) {
  return std::string(address) + kZeros;
}
// A list row of zeroed lines, entries 26 columns apart.
std::string ListRow(const char* a, const char* b = nullptr, const char* c = nullptr) {
  std::string row = Entry(a);
  if (b != nullptr) {
    row += "  " + Entry(b);
  }
  if (c != nullptr) {
    row += "  " + Entry(c);
  }
  return row;
}

class ListView : public lbe::testing::SteppingTest {
 protected:
  // The 25 window rows, trailing blanks removed.
  using Screen = std::vector<std::string>;

  // Runs the list view, pressing `keys` one at a time; returns the screen each time it waited.
  std::vector<Screen> Press(const std::vector<KeyCode>& keys) {
    std::vector<Screen> shown;
    std::size_t next = 0;
    screen.OnWait = [&] {
      Screen rows;
      for (int row = 1; row <= 25; ++row) {
        rows.push_back(Row(row));
      }
      shown.push_back(rows);
      if (next == keys.size()) {
        return false;
      }
      screen.PressKey(keys[next++]);
      return true;
    };
    Left = Run([] { screens::ListView(); });
    screen.OnWait = nullptr;
    return shown;
  }

  void SetRange(std::int32_t start, std::int32_t endLine) {
    image::SetStartAddress(start);
    image::Range.EndLine = endLine;
  }

  bool Left = false;
};

TEST_F(ListView, OneLineIsOneEntryAtTheTopLeft) {
  SetRange(0x0100, 0x20);
  for (std::uint8_t i = 0; i < 8; ++i) {
    image::Image[0x0100 + i] = static_cast<std::uint8_t>(0x0A + i);
  }
  const std::vector<Screen> shown = Press({Vk::Space});
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0][0], "0100 0A0B0C0D0E0F1011:6C");
  for (int row = 2; row <= 24; ++row) {
    EXPECT_EQ(shown[0][row - 1], "") << "row " << row;
  }
  EXPECT_EQ(shown[0][24], "Press any key...");
  EXPECT_TRUE(Left);
}

TEST_F(ListView, TheTwentyFifthEntryStartsTheSecondColumn) {
  SetRange(0x0000, 24);
  const std::vector<Screen> shown = Press({Vk::Space});
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0][0], ListRow("0000", "00C0"));
  EXPECT_EQ(shown[0][1], ListRow("0008"));
  EXPECT_EQ(shown[0][23], ListRow("00B8"));
  EXPECT_EQ(shown[0][24], "Press any key...");
}

TEST_F(ListView, SeventyTwoLinesFillThreeColumnsAndStillAskForMore) {
  SetRange(0x0000, 71);
  const std::vector<Screen> shown = Press({Vk::Space, Vk::Space});
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0][0], ListRow("0000", "00C0", "0180"));
  EXPECT_EQ(shown[0][0].size(), 76u);
  EXPECT_EQ(shown[0][12], ListRow("0060", "0120", "01E0"));
  EXPECT_EQ(shown[0][23], ListRow("00B8", "0178", "0238"));
  EXPECT_EQ(shown[0][24], "(more)");
  // The key after "(more)" finds nothing more: the page stays, the prompt is written over it.
  Screen expected = shown[0];
  expected[24] = "Press any key...";
  EXPECT_EQ(shown[1], expected);
  EXPECT_TRUE(Left);
}

TEST_F(ListView, TheSeventyThirdLineStandsAloneOnAClearedPage) {
  SetRange(0x0000, 72);
  const std::vector<Screen> shown = Press({Vk::Down, Vk::Space});
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0][23], ListRow("00B8", "0178", "0238"));
  EXPECT_EQ(shown[0][24], "(more)");
  Screen expected(25, "");
  expected[0] = ListRow("0240");
  expected[24] = "Press any key...";
  EXPECT_EQ(shown[1], expected);
}

TEST_F(ListView, EscOrQAtMoreStopsAndStillWaitsForAKey) {
  for (KeyCode key : {Vk::Escape, KeyCode{'Q'}}) {
    SCOPED_TRACE(key);
    SetRange(0x0000, 199);
    const std::vector<Screen> shown = Press({key, Vk::Space});
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1][0], ListRow("0000", "00C0", "0180"));
    EXPECT_EQ(shown[1][24], "Press any key...");
    EXPECT_TRUE(Left);
  }
}

TEST_F(ListView, AnyOtherKeyAtMoreShowsTheNextPage) {
  for (KeyCode key : {Vk::Space, Vk::Shift, Vk::Down, KeyCode{'N'}, Vk::Enter}) {
    SCOPED_TRACE(key);
    SetRange(0x0000, 149);
    const std::vector<Screen> shown = Press({key, key, key});
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[1][0], ListRow("0240", "0300", "03C0"));
    EXPECT_EQ(shown[1][24], "(more)");
    Screen expected(25, "");
    for (int row = 0; row < 6; ++row) {
      const char* addresses[] = {"0480", "0488", "0490", "0498", "04A0", "04A8"};
      expected[static_cast<std::size_t>(row)] = ListRow(addresses[row]);
    }
    expected[24] = "Press any key...";
    EXPECT_EQ(shown[2], expected);
  }
}

TEST_F(ListView, PasteAnswersNeitherMoreNorPressAnyKey) {
  SetRange(0x0000, 99);
  screen.Paste("Q\x1b");
  screen.PressKey(Vk::Space);
  screen.Paste("x\n");
  EXPECT_FALSE(Run([] { screens::ListView(); }));
  EXPECT_EQ(Row(1), ListRow("0240", "0300"));
  EXPECT_EQ(Row(25), "Press any key...");
}

TEST_F(ListView, ListsUpToTheLastLineOfTheImage) {
  SetRange(0xFF00, 8191);
  image::Image[0xFFFF] = 0xFE;
  const std::vector<Screen> shown = Press({Vk::Space});
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0][7], ListRow("FF38") + "  FFF8 00000000000000FE:FE");
  EXPECT_EQ(shown[0][8], ListRow("FF40"));
  EXPECT_EQ(shown[0][23], ListRow("FFB8"));
}

TEST_F(ListView, AnEmptyRangeListsNothingOnTheScreenAsItWas) {
  const struct { std::int32_t start; } cases[] = {{0x0000}, {0x0100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    console::ClearWindow();
    console::WriteLine("menu row");
    console::Write("> ");
    SetRange(c.start, c.start / 8 - 1);
    const std::vector<Screen> shown = Press({Vk::Space});
    ASSERT_EQ(shown.size(), 1u);
    Screen expected(25, "");
    expected[0] = "menu row";
    expected[1] = ">";
    expected[24] = "Press any key...";
    EXPECT_EQ(shown[0], expected);
  }
}

TEST_F(ListView, ChangesNeitherImageNorRange) {
  SetRange(0x0010, 9);
  image::Image[0x0010] = 0x12;
  Press({Vk::Space});
  EXPECT_EQ(image::Range.StartAddress, 0x0010);
  EXPECT_EQ(image::Range.StartLine, 2);
  EXPECT_EQ(image::Range.EndLine, 9);
  EXPECT_EQ(image::Image[0x0010], 0x12);
  EXPECT_EQ(Row(1), "0010 1200000000000000:12");
  EXPECT_EQ(Row(8), "0048 0000000000000000:00");
  EXPECT_EQ(Row(9), "");
}

// --list prints what the L screen shows for the same file and /A, line for line, in its order.
TEST_F(ListView, ListModePrintsTheEntriesOfTheScreenInTheirOrder) {
  const struct {
    std::size_t fileSize;
    std::optional<std::string> addressText;
  } cases[] = {
      {40, "100"},    {3, std::nullopt}, {0, "8"},      {150 * 8 - 5, "12345"},
      {1000, "FFF0"}, {8, "FFFF"},       {72 * 8, "0"}, {70000, ":1000"},
  };
  lbe::testing::TemporaryWorkingFolder folder;
  std::uint32_t seed = 7;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.fileSize) + " bytes at /A" + c.addressText.value_or("-"));
    std::vector<std::uint8_t> bytes(c.fileSize);
    for (std::uint8_t& byte : bytes) {
      seed = seed * 1103515245 + 12345;
      byte = static_cast<std::uint8_t>(seed >> 23);
    }
    lbe::testing::PutFile("rom.bin", bytes);
    lbe::files::StartFile start;
    start.Name = "rom.bin";
    start.AddressText = c.addressText;

    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(lbe::listing::ListMode(start, out, err), 0);
    EXPECT_EQ(std::ftell(err), 0);
    std::vector<std::string> printed;
    std::rewind(out);
    char line[64];
    while (std::fgets(line, sizeof line, out) != nullptr) {
      printed.emplace_back(line);
      ASSERT_EQ(printed.back().back(), '\n');
      printed.back().pop_back();
    }
    std::fclose(out);
    std::fclose(err);

    // The same start-up load, then the screen, paged through to its end.
    lbe::files::LoadStartImage(start);
    console::ClearWindow();
    const std::vector<Screen> shown = Press(std::vector<KeyCode>(200, Vk::Space));
    std::vector<std::string> listed;
    for (std::size_t page = 0; page < shown.size(); ++page) {
      // A page that ended at the last line is still on screen under "Press any key...".
      const bool repeated =
          page > 0 && shown[page][24] == "Press any key..." &&
          std::equal(shown[page].begin(), shown[page].begin() + 24, shown[page - 1].begin());
      if (repeated) {
        continue;
      }
      for (std::size_t column = 0; column < 3; ++column) {
        for (std::size_t row = 0; row < 24; ++row) {
          const std::string& text = shown[page][row];
          if (text.size() > column * 26) {
            listed.push_back(text.substr(column * 26, 24));
          }
        }
      }
    }
    EXPECT_EQ(printed, listed);
    EXPECT_EQ(printed.size(),
              static_cast<std::size_t>(image::Range.EndLine - image::Range.StartLine + 1));
  }
}

}  // namespace
