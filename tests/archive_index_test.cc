// The archive numbers of a month in memory: directory states and events
// against the lowest free number, which must be what asking the file system
// for every number from 1 up would give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alarm/ArchiveIndex.h"

namespace qza {

namespace {

TEST(ArchiveIndex, SequenceOfArchiveNamesOnly) {
  static const struct {
    const char* name;
    int sequence;
  } cases[] = {
      {"2612_101.alr", 1},    {"2612_199.alr", 99},   {"2612_1100.alr", 100},
      {"2612_1001.alr", 0},   // "001" is no %02d form
      {"2612_11.alr", 0},     // one digit
      {"2612_100.alr", 0},    // number 0 is never used
      {"2612_201.alr", 0},    // another server
      {"2611_101.alr", 0},    // another month
      {"2612_101.alr.tmp", 0}, {"2612_1x1.alr", 0},  {"qza1k3.in", 0},
      {"2612_11000000.alr", 1000000},
      {"2612_11000001.alr", 0},  // beyond any month: never tracked, so no name costs memory
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ArchiveIndex::SequenceOf("2612_1", c.name), c.sequence) << c.name;
  }
}

TEST(ArchiveIndex, LowestFreeNumberAfterListingsAndEvents) {
  struct Event {
    bool appeared;
    const char* name;
  };
  static const struct {
    const char* what;
    std::vector<std::string> listing;
    std::vector<Event> events;
    int lowest;
  } cases[] = {
      {"empty month", {}, {}, 1},
      {"other files only", {"qza1k3.in", "2611_101.alr", "2612_201.alr"}, {}, 1},
      {"full run", {"2612_101.alr", "2612_102.alr", "2612_103.alr"}, {}, 4},
      {"gap", {"2612_101.alr", "2612_103.alr"}, {}, 2},
      {"deletion below the highest",
       {"2612_101.alr", "2612_102.alr", "2612_103.alr"},
       {{false, "2612_102.alr"}},
       2},
      {"renamed away and back",
       {"2612_101.alr"},
       {{false, "2612_101.alr"}, {true, "2612_101.alr"}},
       2},
      {"created by someone else", {"2612_101.alr"}, {{true, "2612_102.alr"}}, 3},
      {"beyond ninety-nine",
       {},
       {{true, "2612_101.alr"}},
       2},
      {"an unrelated name leaving", {"2612_101.alr"}, {{false, "qza1k3.in"}}, 2},
  };
  for (const auto& c : cases) {
    ArchiveIndex index;
    index.Rebuild("2612_1", c.listing);
    for (const Event& event : c.events) {
      if (event.appeared) {
        index.NameAppeared(event.name);
      } else {
        index.NameLeft(event.name);
      }
    }
    EXPECT_EQ(index.LowestFree(), c.lowest) << c.what;
  }
}

TEST(ArchiveIndex, HundredsOfNumbersAndTheNextAfterASkip) {
  std::vector<std::string> listing;
  for (int n = 1; n <= 150; ++n) listing.push_back("2612_1" + std::string(n < 10 ? "0" : "") + std::to_string(n) + ".alr");
  ArchiveIndex index;
  index.Rebuild("2612_1", listing);
  EXPECT_EQ(index.LowestFree(), 151);
  index.NameLeft("2612_1164.alr");  // never there: nothing changes
  index.NameLeft("2612_1170.alr");
  EXPECT_EQ(index.LowestFree(), 151);
  index.NameLeft("2612_107.alr");
  EXPECT_EQ(index.LowestFree(), 7);
  EXPECT_EQ(index.LowestFree(8), 151);  // a reserved or taken 7 is passed over
  index.MarkTaken(7);
  EXPECT_EQ(index.LowestFree(), 151);
}

TEST(ArchiveIndex, MissedNamesForgetTheMonth) {
  ArchiveIndex index;
  EXPECT_FALSE(index.Knows("2612_1"));
  index.Rebuild("2612_1", {"2612_101.alr"});
  EXPECT_TRUE(index.Knows("2612_1"));
  EXPECT_FALSE(index.Knows("2701_1"));  // a new month is listed anew
  index.Invalidate();                   // an overflow: names were missed
  EXPECT_FALSE(index.Knows("2612_1"));
  index.NameAppeared("2612_102.alr");   // ignored until the next listing
  index.Rebuild("2612_1", {});
  EXPECT_EQ(index.LowestFree(), 1);
}

}  // namespace

}  // namespace qza
