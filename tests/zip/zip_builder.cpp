#include "zip_builder.h"

#include <zlib.h>

namespace zip_testing {
namespace {

void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

void Put64(std::string& out, std::uint64_t v) {
  Put32(out, static_cast<std::uint32_t>(v));
  Put32(out, static_cast<std::uint32_t>(v >> 32));
}

class Cipher {
 public:
  explicit Cipher(const std::string& password) {
    for (char c : password) Update(static_cast<std::uint8_t>(c));
  }
  char Encrypt(char plain) {
    const std::uint32_t temp = (keys_[2] | 2) & 0xFFFF;
    const auto c = static_cast<std::uint8_t>(static_cast<std::uint8_t>(plain) ^ ((temp * (temp ^ 1)) >> 8));
    Update(static_cast<std::uint8_t>(plain));
    return static_cast<char>(c);
  }

 private:
  void Update(std::uint8_t c) {
    keys_[0] = Crc(keys_[0], c);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = Crc(keys_[2], static_cast<std::uint8_t>(keys_[1] >> 24));
  }
  static std::uint32_t Crc(std::uint32_t crc, std::uint8_t c) {
    return static_cast<std::uint32_t>(get_crc_table()[(crc ^ c) & 0xFF]) ^ (crc >> 8);
  }
  std::uint32_t keys_[3] = {0x12345678, 0x23456789, 0x34567890};
};

std::string Payload(const Entry& e, std::uint32_t crc) {
  if (e.rawData) return *e.rawData;
  std::string body = e.method == kDeflated ? Deflate(e.data) : e.data;
  if (!e.password) return body;
  Cipher cipher(*e.password);
  const auto check = static_cast<char>((e.flags & 8) ? (e.dosTime >> 8) & 0xFF : crc >> 24);
  std::string out;
  for (int i = 0; i < 11; ++i) out += cipher.Encrypt(static_cast<char>(0x5A + i * 7));
  out += cipher.Encrypt(check);
  for (char c : body) out += cipher.Encrypt(c);
  return out;
}

}  // namespace

std::string Deflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::uint32_t Crc32(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string ExtendedTimestamp(std::uint8_t flags, const std::vector<std::int32_t>& times) {
  std::string out = "UT";
  Put16(out, static_cast<std::uint32_t>(1 + 4 * times.size()));
  out += static_cast<char>(flags);
  for (std::int32_t t : times) Put32(out, static_cast<std::uint32_t>(t));
  return out;
}

std::string NoiseBytes(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

std::string Text(std::size_t size) {
  static const std::string kLine = "The quick brown fox jumps over the lazy dog 0123456789.\n";
  std::string out;
  while (out.size() < size) out += kLine;
  out.resize(size);
  return out;
}

Entry File(std::string name, std::string data, std::uint16_t method) {
  Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.method = method;
  return e;
}

Entry Folder(std::string name) {
  Entry e;
  e.name = std::move(name);
  e.method = kStored;
  e.externalAttributes = 0x10;
  return e;
}

Entry SymbolicLink(std::string name, std::string target) {
  Entry e = File(std::move(name), std::move(target), kStored);
  e.host = kHostUnix;
  e.externalAttributes = 0120777u << 16;
  return e;
}

std::string Zip::Build() const {
  std::string out = prefix;
  std::string central;
  for (const Entry& e : entries) {
    const auto offset = static_cast<std::uint32_t>(out.size() - prefix.size());
    const std::uint32_t crc = Crc32(e.data);
    const std::string payload = Payload(e, crc);
    const std::uint32_t centralCrc = e.crc.value_or(crc);
    const std::uint32_t compressed = e.compressedSize.value_or(static_cast<std::uint32_t>(payload.size()));
    const std::uint32_t size = e.uncompressedSize.value_or(static_cast<std::uint32_t>(e.data.size()));

    Put32(out, 0x04034b50);
    Put16(out, 20);
    Put16(out, e.localFlags.value_or(e.flags));
    Put16(out, e.localMethod.value_or(e.method));
    Put32(out, e.dosTime);
    Put32(out, e.localCrc.value_or(centralCrc));
    Put32(out, e.localCompressedSize.value_or(compressed));
    Put32(out, e.localUncompressedSize.value_or(size));
    Put16(out, e.localNameLength.value_or(static_cast<std::uint16_t>(e.name.size())));
    Put16(out, static_cast<std::uint32_t>(e.localExtra.size()));
    out += e.name + e.localExtra + payload;

    Put32(central, 0x02014b50);
    Put16(central, static_cast<std::uint32_t>(e.host << 8 | 20));
    Put16(central, 20);
    Put16(central, e.flags);
    Put16(central, e.method);
    Put32(central, e.dosTime);
    Put32(central, centralCrc);
    Put32(central, compressed);
    Put32(central, size);
    Put16(central, static_cast<std::uint32_t>(e.name.size()));
    Put16(central, static_cast<std::uint32_t>(e.centralExtra.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, e.externalAttributes);
    Put32(central, offset);
    central += e.name + e.centralExtra;
  }
  const auto centralStart = static_cast<std::uint32_t>(out.size() - prefix.size());
  out += central;
  const auto count = static_cast<std::uint16_t>(entries.size());
  if (zip64EndRecord) {
    const std::uint64_t recordOffset = out.size() - prefix.size();
    Put32(out, 0x06064b50);
    Put64(out, 44);
    Put16(out, 45);
    Put16(out, 45);
    Put32(out, 0);
    Put32(out, 0);
    Put64(out, zip64Entries.value_or(count));
    Put64(out, zip64Entries.value_or(count));
    Put64(out, central.size());
    Put64(out, centralStart);
    Put32(out, 0x07064b50);
    Put32(out, 0);
    Put64(out, recordOffset);
    Put32(out, 1);
  }
  Put32(out, 0x06054b50);
  Put16(out, diskNumber.value_or(0));
  Put16(out, centralDisk.value_or(0));
  Put16(out, entriesOnDisk.value_or(count));
  Put16(out, entriesTotal.value_or(count));
  Put32(out, static_cast<std::uint32_t>(central.size()));
  Put32(out, centralOffset.value_or(centralStart));
  Put16(out, static_cast<std::uint32_t>(comment.size()));
  out += comment;
  return out;
}

}  // namespace zip_testing
