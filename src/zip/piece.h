#pragma once
// A byte range of an archive that is kept in a file of its own: an update that fetches
// only the entries it needs reads the archive from such pieces.
#include <cstdint>
#include <string>

struct ZipPiece {
  std::uint64_t offset = 0;  // from the archive's first byte
  std::uint64_t length = 0;
  std::wstring path;  // the file holding exactly these bytes
};
