#pragma once
// A fixture for archives of which only some byte ranges are at hand, as an incremental
// update keeps them: a small archive whose first entry is stored and larger than the
// tail an update fetches first, and piece files cut from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "temp_folder.h"
#include "zip/archive.h"
#include "zip_builder.h"

namespace zip_testing {

class PiecedArchiveTest : public testing::Test {
 protected:
  void SetUp() override {
    Zip zip;
    std::string noise(100000, '\0');
    std::uint32_t state = 1;
    for (char& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    zip.entries = {File("a.txt", noise, kStored), Folder("sub/"), File("sub/b.txt", "bee"),
                   File("c.txt", std::string(3000, 'c'))};
    bytes_ = zip.Build();
  }

  // A piece file holding bytes [offset, offset + length) of the archive.
  ZipPiece Piece(std::uint64_t offset, std::uint64_t length) {
    const std::string name = "piece" + std::to_string(offset);
    testing_support::WriteFile(temp_.path() / name, bytes_.substr(offset, length));
    return {offset, length, temp_.Wide(name)};
  }

  // The last bytes an update fetches first: the end record with the longest comment.
  ZipPiece Tail() {
    const std::uint64_t length = 22 + 65535;
    return Piece(bytes_.size() - length, length);
  }

  testing_support::TempFolder temp_;
  std::string bytes_;
};

}  // namespace zip_testing
