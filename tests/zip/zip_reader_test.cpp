#include "zip/zip_reader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "temp_folder.h"
#include "zip_builder.h"

namespace {

using testing_support::TempFolder;
using testing_support::WriteFile;
using zip_testing::Entry;
using zip_testing::Zip;

class ZipReaderTest : public testing::Test {
 protected:
  std::unique_ptr<ZipDirectory> Open(const std::string& bytes) {
    WriteFile(temp.path() / "a.zip", bytes);
    return ZipDirectoryOpen(ZipSourceOpen(temp.Wide("a.zip")));
  }

  // Streams the current entry to its end; *status gets the first failure, else the
  // close verdict.
  static std::string ReadEntry(ZipDirectory* directory, std::int32_t* status, std::uint32_t chunk = 7000) {
    std::string out;
    *status = ZipStreamOpen(directory, nullptr);
    if (*status != ZipStatusOk) return out;
    std::string buffer(chunk, '\0');
    for (int guard = 0; guard < 100000; ++guard) {
      bool end = false;
      const std::int32_t n = ZipStreamRead(directory, buffer.data(), chunk, &end);
      if (n < 0) {
        *status = n;
        ZipStreamClose(directory);
        return out;
      }
      out.append(buffer, 0, static_cast<std::size_t>(n));
      if (end) break;
      if (n == 0) {
        *status = ZipStatusParam;
        return out;
      }
    }
    *status = ZipStreamClose(directory);
    return out;
  }

  TempFolder temp;
};

struct EndRecordCase {
  const char* label;
  std::size_t commentSize;
  std::size_t prefixSize;
  bool opens;
};

void PrintTo(const EndRecordCase& c, std::ostream* os) { *os << c.label; }

class EndRecordSearch : public ZipReaderTest, public testing::WithParamInterface<EndRecordCase> {};

TEST_P(EndRecordSearch, FindsTheEndRecordWithinTheLast65535Bytes) {
  const EndRecordCase& c = GetParam();
  Zip zip;
  zip.entries = {zip_testing::File("a.txt", "alpha")};
  zip.comment = std::string(c.commentSize, 'c');
  zip.prefix = zip_testing::NoiseBytes(c.prefixSize, 1);
  auto directory = Open(zip.Build());
  ASSERT_EQ(directory != nullptr, c.opens);
  if (!c.opens) return;
  EXPECT_EQ(directory->entryCount, 1u);
  EXPECT_EQ(directory->bytesBefore, c.prefixSize);
  std::int32_t status = 0;
  EXPECT_EQ(ReadEntry(directory.get(), &status), "alpha");
  EXPECT_EQ(status, ZipStatusOk);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndRecordSearch,
    testing::Values(EndRecordCase{"NoComment", 0, 0, true},
                    // The signature starts 1029 bytes from the end: only the second
                    // block, overlapping the first by 4 bytes, holds all of it.
                    EndRecordCase{"SignatureAcrossBlockBorder", 1007, 0, true},
                    EndRecordCase{"LongestComment", 65513, 0, true},
                    EndRecordCase{"CommentTooLong", 65514, 0, false},
                    EndRecordCase{"PrefixData", 0, 3000, true},
                    EndRecordCase{"PrefixAndComment", 2000, 70000, true}),
    [](const testing::TestParamInfo<EndRecordCase>& info) { return info.param.label; });

TEST_F(ZipReaderTest, RefusesMultiDiskMismatchedCountsAndNonArchives) {
  Zip zip;
  zip.entries = {zip_testing::File("a.txt", "alpha"), zip_testing::File("b.txt", "beta")};
  Zip multiDisk = zip;
  multiDisk.diskNumber = 1;
  Zip centralElsewhere = zip;
  centralElsewhere.centralDisk = 1;
  Zip counts = zip;
  counts.entriesOnDisk = 1;
  Zip beyondEnd = zip;
  beyondEnd.centralOffset = 100000;
  EXPECT_FALSE(Open(multiDisk.Build()));
  EXPECT_FALSE(Open(centralElsewhere.Build()));
  EXPECT_FALSE(Open(counts.Build()));
  EXPECT_FALSE(Open(beyondEnd.Build()));
  EXPECT_FALSE(Open(zip_testing::NoiseBytes(5000, 7)));
  EXPECT_FALSE(Open(""));
  EXPECT_FALSE(Open("PK\x05\x06"));
  EXPECT_FALSE(ZipSourceOpen(temp.Wide("missing.zip")));
}

TEST_F(ZipReaderTest, OpensArchivesWithZip64EndRecordsOfStreamingTools) {
  for (const std::size_t prefix : {0, 512}) {
    Zip zip;
    zip.entries = {zip_testing::File("a.txt", "alpha"), zip_testing::File("b.txt", "beta", zip_testing::kStored)};
    zip.zip64EndRecord = true;
    zip.prefix = std::string(prefix, 'p');
    auto directory = Open(zip.Build());
    ASSERT_TRUE(directory) << prefix;
    EXPECT_EQ(directory->bytesBefore, prefix);
    ZipDirectoryNext(directory.get());
    std::int32_t status = 0;
    EXPECT_EQ(ReadEntry(directory.get(), &status), "beta");
    EXPECT_EQ(status, ZipStatusOk);
  }
}

TEST_F(ZipReaderTest, RefusesArchivesThatReallyNeedZip64) {
  Zip zip;
  zip.entries = {zip_testing::File("a.txt", "alpha")};
  zip.zip64EndRecord = true;
  zip.zip64Entries = 70000;
  EXPECT_FALSE(Open(zip.Build()));
  zip.zip64Entries.reset();
  zip.entriesOnDisk = zip.entriesTotal = 0xFFFF;
  EXPECT_FALSE(Open(zip.Build()));
}

TEST_F(ZipReaderTest, BytesThatOnlyLookLikeAZip64LocatorAreIgnored) {
  // The central extra field is never read, so it may end in anything.
  const std::string multiDisk("PK\x06\x07\x05\0\0\0\0\0\0\0\0\0\0\0\x09\0\0\0", 20);
  const std::string noRecord("PK\x06\x07\0\0\0\0\x10\0\0\0\0\0\0\0\x01\0\0\0", 20);
  for (const std::string& tail : {multiDisk, noRecord}) {
    Entry e = zip_testing::File("a.txt", "alpha");
    e.centralExtra = tail;
    Zip zip;
    zip.entries = {e};
    auto directory = Open(zip.Build());
    ASSERT_TRUE(directory);
    EXPECT_EQ(directory->bytesBefore, 0u);
  }
}

TEST_F(ZipReaderTest, StoredAndDeflatedEntriesReadIdentically) {
  const std::string content = zip_testing::NoiseBytes(40000, 3) + zip_testing::Text(50000);
  Zip zip;
  zip.entries = {zip_testing::File("stored", content, zip_testing::kStored),
                 zip_testing::File("deflated", content, zip_testing::kDeflated)};
  auto directory = Open(zip.Build());
  ASSERT_TRUE(directory);
  std::int32_t storedStatus = 1, deflatedStatus = 1;
  const std::string stored = ReadEntry(directory.get(), &storedStatus);
  ZipDirectoryNext(directory.get());
  ASSERT_TRUE(directory->currentValid);
  const std::string deflated = ReadEntry(directory.get(), &deflatedStatus);
  EXPECT_EQ(storedStatus, ZipStatusOk);
  EXPECT_EQ(deflatedStatus, ZipStatusOk);
  EXPECT_TRUE(stored == content);
  EXPECT_TRUE(deflated == content);
}

TEST_F(ZipReaderTest, EmptyEntryEndsAtTheFirstRead) {
  Zip zip;
  zip.entries = {zip_testing::File("empty", "", zip_testing::kStored), zip_testing::File("empty2", "")};
  auto directory = Open(zip.Build());
  ASSERT_TRUE(directory);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ZipStreamOpen(directory.get(), nullptr), ZipStatusOk);
    char buffer[16];
    bool end = false;
    EXPECT_EQ(ZipStreamRead(directory.get(), buffer, sizeof buffer, &end), 0);
    EXPECT_TRUE(end);
    EXPECT_EQ(ZipStreamClose(directory.get()), ZipStatusOk);
    ZipDirectoryNext(directory.get());
  }
}

TEST_F(ZipReaderTest, HeaderCopiesTheNameAndTerminatesOnlyShorterNames) {
  Zip zip;
  zip.entries = {zip_testing::File("folder/name.txt", "x")};
  auto directory = Open(zip.Build());
  ASSERT_TRUE(directory);
  ZipCentralHeader header;
  char name[32];
  std::memset(name, '#', sizeof name);
  ASSERT_EQ(ZipDirectoryHeader(directory.get(), &header, name, sizeof name), ZipStatusOk);
  EXPECT_STREQ(name, "folder/name.txt");
  EXPECT_EQ(header.nameLength, 15);
  std::memset(name, '#', sizeof name);
  ASSERT_EQ(ZipDirectoryHeader(directory.get(), nullptr, name, 6), ZipStatusOk);
  EXPECT_EQ(std::string(name, 7), "folder#");
}

struct LocalHeaderCase {
  const char* label;
  Entry entry;
  std::int32_t expected;
};

Entry WithLocal(void (*change)(Entry&)) {
  Entry e = zip_testing::File("entry.txt", "local header content");
  change(e);
  return e;
}

std::string Zip64SizesExtra(std::uint64_t size, std::uint64_t compressed) {
  std::string out("\x01\x00\x10\x00", 4);
  for (int i = 0; i < 8; ++i) out += static_cast<char>(size >> (8 * i));
  for (int i = 0; i < 8; ++i) out += static_cast<char>(compressed >> (8 * i));
  return out;
}

void PrintTo(const LocalHeaderCase& c, std::ostream* os) { *os << c.label; }

class LocalHeaderCheck : public ZipReaderTest, public testing::WithParamInterface<LocalHeaderCase> {};

TEST_P(LocalHeaderCheck, ComparesLocalAndCentralHeaders) {
  Zip zip;
  zip.entries = {GetParam().entry};
  auto directory = Open(zip.Build());
  ASSERT_TRUE(directory);
  std::uint32_t variable = 0, extraOffset = 0, extraLength = 0;
  EXPECT_EQ(ZipCheckLocalHeader(directory.get(), &variable, &extraOffset, &extraLength), GetParam().expected);
  if (GetParam().expected != ZipStatusOk) {
    EXPECT_EQ(ZipStreamOpen(directory.get(), nullptr), ZipStatusBadArchive);
    return;
  }
  const Entry& e = GetParam().entry;
  EXPECT_EQ(variable, e.name.size() + e.localExtra.size());
  EXPECT_EQ(extraOffset, 30 + e.name.size());
  EXPECT_EQ(extraLength, e.localExtra.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalHeaderCheck,
    testing::Values(
        LocalHeaderCase{"Agrees", WithLocal([](Entry&) {}), ZipStatusOk},
        LocalHeaderCase{"MethodDiffers", WithLocal([](Entry& e) { e.localMethod = zip_testing::kStored; }),
                        ZipStatusBadArchive},
        LocalHeaderCase{"MethodDiffersWithBit3",
                        WithLocal([](Entry& e) {
                          e.flags = 8;
                          e.localMethod = zip_testing::kStored;
                        }),
                        ZipStatusBadArchive},
        LocalHeaderCase{"UnsupportedMethod",
                        WithLocal([](Entry& e) {
                          e.method = 12;
                          e.rawData = "bzip2 data";
                        }),
                        ZipStatusBadArchive},
        LocalHeaderCase{"CrcDiffers", WithLocal([](Entry& e) { e.localCrc = 1; }), ZipStatusBadArchive},
        LocalHeaderCase{"CompressedSizeDiffers", WithLocal([](Entry& e) { e.localCompressedSize = 3; }),
                        ZipStatusBadArchive},
        LocalHeaderCase{"SizeDiffers", WithLocal([](Entry& e) { e.localUncompressedSize = 3; }),
                        ZipStatusBadArchive},
        LocalHeaderCase{"NameLengthDiffers", WithLocal([](Entry& e) { e.localNameLength = 4; }),
                        ZipStatusBadArchive},
        LocalHeaderCase{"Bit3WaivesCrcAndSizes",
                        WithLocal([](Entry& e) {
                          e.flags = 8;
                          e.localCrc = e.localCompressedSize = e.localUncompressedSize = 0;
                        }),
                        ZipStatusOk},
        LocalHeaderCase{"Zip64LocalSizesAgree",
                        WithLocal([](Entry& e) {
                          e.localCompressedSize = e.localUncompressedSize = 0xFFFFFFFF;
                          e.localExtra = Zip64SizesExtra(e.data.size(), zip_testing::Deflate(e.data).size());
                        }),
                        ZipStatusOk},
        LocalHeaderCase{"Zip64LocalSizesDiffer",
                        WithLocal([](Entry& e) {
                          e.localCompressedSize = e.localUncompressedSize = 0xFFFFFFFF;
                          e.localExtra = Zip64SizesExtra(e.data.size() + 1, zip_testing::Deflate(e.data).size());
                        }),
                        ZipStatusBadArchive},
        LocalHeaderCase{"Zip64LocalSizesMissing",
                        WithLocal([](Entry& e) { e.localCompressedSize = e.localUncompressedSize = 0xFFFFFFFF; }),
                        ZipStatusBadArchive}),
    [](const testing::TestParamInfo<LocalHeaderCase>& info) { return info.param.label; });

TEST_F(ZipReaderTest, EncryptedEntryNeedsItsPassword) {
  Entry secret = zip_testing::File("secret.txt", "classified");
  secret.flags = 1;
  secret.password = "secret";
  Entry open = secret;
  open.password = "";
  Entry descriptor = open;  // with bit 3 the check byte comes from the DOS time
  descriptor.flags = 1 | 8;
  Zip zip;
  zip.entries = {secret, open, descriptor};
  auto directory = Open(zip.Build());
  ASSERT_TRUE(directory);
  std::int32_t status = 0;
  ReadEntry(directory.get(), &status);
  EXPECT_EQ(status, ZipStatusPassword);
  ZipDirectoryNext(directory.get());
  EXPECT_EQ(ReadEntry(directory.get(), &status), "classified") << "the empty password is a password too";
  EXPECT_EQ(status, ZipStatusOk);
  ZipDirectoryNext(directory.get());
  EXPECT_EQ(ReadEntry(directory.get(), &status), "classified");
  EXPECT_EQ(status, ZipStatusOk);
}

TEST_F(ZipReaderTest, DataThatEndsBeforeItsSizeFailsInsteadOfWaiting) {
  Entry stored = zip_testing::File("stored", "0123456789", zip_testing::kStored);
  stored.uncompressedSize = stored.localUncompressedSize = 20;
  Entry deflated = zip_testing::File("deflated", zip_testing::Text(5000));
  deflated.uncompressedSize = deflated.localUncompressedSize = 6000;
  Entry encrypted = zip_testing::File("encrypted", "0123456789", zip_testing::kStored);
  encrypted.flags = 1;
  encrypted.rawData = "short";
  Zip zip;
  zip.entries = {stored, deflated, encrypted};
  auto directory = Open(zip.Build());
  ASSERT_TRUE(directory);
  for (int i = 0; i < 3; ++i) {
    std::int32_t status = 0;
    ReadEntry(directory.get(), &status);
    EXPECT_LT(status, 0) << i;
    EXPECT_NE(status, ZipStatusParam) << i;
    ZipDirectoryNext(directory.get());
  }
}

TEST_F(ZipReaderTest, OutputStopsAtTheDeclaredSize) {
  for (const std::uint16_t method : {zip_testing::kStored, zip_testing::kDeflated}) {
    Entry e = zip_testing::File("big", zip_testing::Text(100000), method);
    e.uncompressedSize = e.localUncompressedSize = 1000;
    Zip zip;
    zip.entries = {e};
    auto directory = Open(zip.Build());
    ASSERT_TRUE(directory);
    std::int32_t status = 0;
    EXPECT_EQ(ReadEntry(directory.get(), &status, 16384).size(), 1000u);
    EXPECT_EQ(status, ZipStatusCrc) << "the whole declared size was read, so the CRC is judged";
  }
}

TEST_F(ZipReaderTest, CrcMismatchOfACompleteEntryIsReportedOnClose) {
  Entry e = zip_testing::File("a.txt", "alpha");
  e.crc = 0x12345678;
  Zip zip;
  zip.entries = {e};
  auto directory = Open(zip.Build());
  ASSERT_TRUE(directory);
  std::int32_t status = 0;
  EXPECT_EQ(ReadEntry(directory.get(), &status), "alpha");
  EXPECT_EQ(status, ZipStatusCrc);
  ASSERT_EQ(ZipStreamOpen(directory.get(), nullptr), ZipStatusOk);
  EXPECT_EQ(ZipStreamClose(directory.get()), ZipStatusOk) << "an unfinished entry is not judged";
}

TEST_F(ZipReaderTest, DamagedCentralHeaderStopsTheWalk) {
  Zip zip;
  zip.entries = {zip_testing::File("a", "1"), zip_testing::File("b", "2"), zip_testing::File("c", "3")};
  std::string bytes = zip.Build();
  const std::size_t second = bytes.find("PK\x01\x02", bytes.find("PK\x01\x02") + 1);
  bytes[second + 2] = 'X';
  auto directory = Open(bytes);
  ASSERT_TRUE(directory);
  EXPECT_TRUE(directory->currentValid);
  ZipDirectoryNext(directory.get());
  EXPECT_FALSE(directory->currentValid);
  EXPECT_EQ(directory->currentNumber, 1u);
  ZipDirectoryNext(directory.get());
  EXPECT_EQ(directory->currentNumber, 1u) << "an invalid entry no longer moves";
  EXPECT_EQ(ZipStreamOpen(directory.get(), nullptr), ZipStatusParam);
  EXPECT_EQ(ZipDirectoryFirst(directory.get()), ZipStatusOk);
  EXPECT_EQ(directory->currentNumber, 0u);
}

TEST_F(ZipReaderTest, OperationsWithoutDirectoryOrStreamReportParam) {
  char buffer[4];
  bool end = true;
  EXPECT_EQ(ZipStreamRead(nullptr, buffer, sizeof buffer, &end), ZipStatusParam);
  EXPECT_FALSE(end);
  EXPECT_EQ(ZipStreamClose(nullptr), ZipStatusParam);
  EXPECT_EQ(ZipDirectoryFirst(nullptr), ZipStatusParam);
  Zip zip;
  zip.entries = {zip_testing::File("a", "1")};
  auto directory = Open(zip.Build());
  ASSERT_TRUE(directory);
  EXPECT_EQ(ZipStreamRead(directory.get(), buffer, sizeof buffer, &end), ZipStatusParam);
  EXPECT_EQ(ZipStreamClose(directory.get()), ZipStatusParam);
  ZipDirectoryClose(std::move(directory));
}

}  // namespace
