// Writes the fuzzer's seed corpus with the tests' archive builder: one small archive
// per feature the reader handles, traversal names included.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "zip_builder.h"

namespace {

using zip_testing::Entry;
using zip_testing::Zip;

void Save(const std::filesystem::path& folder, const std::string& name, const Zip& zip) {
  std::ofstream(folder / (name + ".zip"), std::ios::binary) << zip.Build();
}

Zip Of(std::vector<Entry> entries) {
  Zip zip;
  zip.entries = std::move(entries);
  return zip;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  const std::string text = zip_testing::Text(600);

  Save(folder, "deflated", Of({zip_testing::File("a.txt", text)}));
  Save(folder, "stored", Of({zip_testing::File("dir/b.bin", zip_testing::NoiseBytes(200, 1), zip_testing::kStored)}));
  Save(folder, "folders", Of({zip_testing::Folder("data/"), zip_testing::Folder("data/maps/"),
                              zip_testing::File("data/maps/m1.bin", "map"), zip_testing::File("empty", "")}));
  Zip prefixed = Of({zip_testing::File("p.txt", text)});
  prefixed.prefix = "MZ" + zip_testing::NoiseBytes(100, 2);
  prefixed.comment = "comment";
  Save(folder, "prefixed", prefixed);
  Zip zip64 = Of({zip_testing::File("z.txt", "zip64 end record")});
  zip64.zip64EndRecord = true;
  Save(folder, "zip64-end", zip64);

  Entry timed = zip_testing::File("timed.txt", "t");
  timed.localExtra = zip_testing::ExtendedTimestamp(7, {1600000000, 1500000000, 1400000000});
  Entry executable = zip_testing::File("bin/game", "#!/bin/sh\n");
  executable.host = zip_testing::kHostUnix;
  executable.externalAttributes = 0104755u << 16;
  Entry dosTime = zip_testing::File("zero-time", "z");
  dosTime.dosTime = 0;
  Save(folder, "attributes", Of({timed, executable, dosTime}));

  Entry encrypted = zip_testing::File("secret", text);
  encrypted.flags = 1;
  encrypted.password = "";
  Entry descriptor = zip_testing::File("descriptor", text);
  descriptor.flags = 8;
  descriptor.localCrc = descriptor.localCompressedSize = descriptor.localUncompressedSize = 0;
  Save(folder, "flags", Of({encrypted, descriptor}));

  Entry badCrc = zip_testing::File("crc", text);
  badCrc.crc = badCrc.localCrc = 7;
  Entry lying = zip_testing::File("lying", text, zip_testing::kStored);
  lying.uncompressedSize = lying.localUncompressedSize = 100000;
  Save(folder, "damaged", Of({badCrc, lying}));

  Save(folder, "traversal",
       Of({zip_testing::File("../up.txt", "1"), zip_testing::File("..\\up2.txt", "2"),
           zip_testing::File("a/../../../../../x.txt", "3"), zip_testing::File("C:\\abs.txt", "4"),
           zip_testing::File("/abs/y.txt", "5"), zip_testing::File("\\\\server\\share\\z.txt", "6"),
           zip_testing::File(".. /w.txt", "7"), zip_testing::File("d/../../../../../..", "8")}));
  Save(folder, "windows-names",
       Of({zip_testing::File("con.txt", "1"), zip_testing::File("data/Nul.tar.gz", "2"),
           zip_testing::File("AUX  ", "3"), zip_testing::File("COM1.", "4"), zip_testing::File("lpt9/x", "5"),
           zip_testing::File("CONOUT$", "6"), zip_testing::File("file.txt:stream", "7"),
           zip_testing::File("console.txt", "8")}));
  Save(folder, "links",
       Of({zip_testing::SymbolicLink("lib/libgame.so", "libgame.so.1"), zip_testing::File("lib/libgame.so.1", "elf"),
           zip_testing::SymbolicLink("up", "../outside"), zip_testing::SymbolicLink("abs", "/etc"),
           zip_testing::SymbolicLink("d", "."), zip_testing::SymbolicLink("d/e", "../../x"),
           zip_testing::SymbolicLink("bin/data", "../lib"), zip_testing::File("bin/data/through", "t")}));
  return 0;
}
