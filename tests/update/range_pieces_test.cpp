#include <gtest/gtest.h>

#include "temp_folder.h"
#include "update/range_fetcher.h"

namespace {

TEST(MissingRanges, OnlyWhatThePiecesDoNotCover) {
  const std::vector<update::ByteRange> wanted{{0, 100}, {200, 100}};
  EXPECT_EQ(update::MissingRanges(wanted, {}), wanted);
  EXPECT_EQ(update::MissingRanges(wanted, {{0, 100}, {200, 100}}), std::vector<update::ByteRange>{});
  EXPECT_EQ(update::MissingRanges(wanted, {{0, 40}, {220, 10}, {290, 50}}),
            (std::vector<update::ByteRange>{{40, 60}, {200, 20}, {230, 60}}));
  EXPECT_EQ(update::MissingRanges(wanted, {{50, 200}}), (std::vector<update::ByteRange>{{0, 50}, {250, 50}}));
}

TEST(HeldPieces, ListsPieceFilesByOffsetAndIgnoresOthers) {
  testing_support::TempFolder temp;
  testing_support::WriteFile(temp.path() / "300.piece", "abc");
  testing_support::WriteFile(temp.path() / "12.piece", "0123456789");
  testing_support::WriteFile(temp.path() / "7.piece", "");
  testing_support::WriteFile(temp.path() / "x.piece", "zz");
  testing_support::WriteFile(temp.path() / "source.json", "{}");
  EXPECT_EQ(update::HeldPieces(temp.Narrow()), (std::vector<update::ByteRange>{{12, 10}, {300, 3}}));
  EXPECT_EQ(update::PiecePath(temp.Narrow(), 12), temp.Narrow("12.piece"));
}

}  // namespace
