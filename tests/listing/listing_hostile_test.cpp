// Listings a careless or hostile typist makes: a line left out just before the last, and long
// runs of sum rows after a fault that waits for the next line.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "listing/listing.h"

namespace lbe::listing {
namespace {

std::vector<std::string> FaultsOf(const std::string& listing) {
  std::vector<std::string> faults;
  ListingCheck check(false, [&](const ListingFault& fault) {
    faults.push_back(std::to_string(fault.LineNumber) + ": " + fault.Text);
  });
  check.Feed(listing);
  check.Finish();
  EXPECT_EQ(check.Faults(), faults.size());
  return faults;
}

// The line before the last left out, the block's sum row after the last: the row's shortfall is
// the missing line's, so the two are one mistake, and the line named is the one left out, not one
// before the listing's first.
TEST(ListingHostile, ALineLeftOutBeforeTheLastIsOneFaultNamingThatLine) {
  const struct {
    std::string listing;
    std::string fault;
  } cases[] = {
      {"0100 0101010101010101:08\n"
       "0110 0303030303030303:18\n"
       "SUM  0606060606060606:30\n",
       "2: 0110: line 0108 missing; by the sum row it holds 0202020202020202"},
      {"0100 0101010101010101:08\n"
       "0108 0202020202020202:10\n"
       "0118 0404040404040404:20\n"
       "SUM  0A0A0A0A0A0A0A0A:50\n",
       "3: 0118: line 0110 missing; by the sum row it holds 0303030303030303"},
      // The same in a later block.
      {"0100 0101010101010101:08\n"
       "SUM  0101010101010101:08\n"
       "0108 0202020202020202:10\n"
       "0118 0404040404040404:20\n"
       "SUM  0909090909090909:48\n",
       "4: 0118: line 0110 missing; by the sum row it holds 0303030303030303"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listing);
    const std::vector<std::string> faults = FaultsOf(c.listing);
    ASSERT_EQ(faults.size(), 1u) << (faults.size() > 1 ? faults[1] : "");
    EXPECT_EQ(faults.front(), c.fault);
  }
}

// A sum row short by a line's worth waits for the next line, which tells where the line was left
// out. Sum rows with no lines after it must not make every later fault wait too: the faults come
// out as the listing is read, so memory stays flat and the time linear.
TEST(ListingHostile, SumRowsAfterAShortRowAreReportedAsTheyCome) {
  std::string listing =
      "0000 0101010101010101:08\n"
      "0008 0101010101010101:08\n"
      "SUM  0303030303030303:18\n";
  constexpr int kEmptyRows = 20000;
  for (int i = 0; i < kEmptyRows; ++i) {
    listing += "SUM  0000000000000000:00\n";
  }
  std::uint64_t reported = 0;
  ListingCheck check(false, [&](const ListingFault&) { ++reported; });
  check.Feed(listing);
  // Each empty row is its own fault ("no lines since the last sum row"); a few may wait, not all.
  EXPECT_GE(reported, static_cast<std::uint64_t>(kEmptyRows - 300));
  check.Finish();
  EXPECT_EQ(reported, static_cast<std::uint64_t>(kEmptyRows + 1));
}

}  // namespace
}  // namespace lbe::listing
