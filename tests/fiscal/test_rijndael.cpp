// Rijndael-256/256 and the message framing: every record of the test data and
// the framing's edges.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <span>

#include "common/text.h"
#include "fiscal/rijndael.h"

namespace tolven::fiscal {
namespace {

using Bytes = std::vector<std::uint8_t>;
Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Records of "name = HEX" lines after a "[kind]" line; nothing after '=' means no bytes.
TEST(Rijndael, ReproducesEveryRecordOfTheTestData) {
  std::ifstream in(TOLVEN_SOURCE_DIR "/tests/fiscal/data/rijndael256.txt");
  ASSERT_TRUE(in) << "test data missing";
  std::vector<std::pair<std::string, std::map<std::string, std::string>>> records;
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find(" =");
    if (StartsWith(line, "[")) records.push_back({line, {}});
    if (!StartsWith(line, "#") && eq != std::string::npos && !records.empty()) {
      records.back().second[line.substr(0, eq)] = HexDecode(line.size() > eq + 3 ? line.substr(eq + 3) : "");
    }
  }
  int blocks = 0, messages = 0;
  Rijndael cipher;  // one instance on purpose: every record must reset the key
  for (auto& [kind, f] : records) {
    SCOPED_TRACE("record " + std::to_string(blocks + messages + 1));
    if (kind == "[block]") {
      ++blocks;
      Bytes block = B(f["plaintext"]);
      ASSERT_TRUE(cipher.gkey(8, 8, B(f["key"])) && cipher.Encrypt(block));
      EXPECT_EQ(block, B(f["ciphertext"]));
      ASSERT_TRUE(cipher.Decrypt(block));
      EXPECT_EQ(block, B(f["plaintext"]));
    } else {
      ++messages;
      // The text overloads: bytes above 127 (one record has them) count unsigned.
      EXPECT_EQ(cipher.EncryptData(f["message"], f["password"]), B(f["result"]));
      EXPECT_EQ(cipher.DecryptData(B(f["result"]), f["password"]), B(f["message"]));
    }
  }
  // Guards against a parser that silently drops records.
  EXPECT_EQ(blocks, 6);
  EXPECT_EQ(messages, 8);
}

TEST(Rijndael, FramingOfLongAndMalformedMessages) {
  // A length that takes two bytes of the length field.
  const Bytes message(300, 7), password(32, 0x5A);
  Rijndael cipher;
  Bytes buffer = cipher.EncryptData(message, password);
  ASSERT_EQ(buffer.size(), 320u);
  EXPECT_EQ(cipher.DecryptData(buffer, password), message);
  ASSERT_TRUE(cipher.gkey(8, 8, password) && cipher.Decrypt(std::span<std::uint8_t>(buffer).first(32)));
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), (Bytes{300 % 256, 300 / 256, 0, 0, 7}));

  // One block of 28 bytes whose length field says 28 or 29.
  Bytes fits{28, 0, 0, 0}, over{29, 0, 0, 0};
  fits.resize(32, 0x20);
  over.resize(32, 0x20);
  ASSERT_TRUE(cipher.Encrypt(fits) && cipher.Encrypt(over));
  EXPECT_EQ(cipher.DecryptData(fits, password), Bytes(28, 0x20));
  EXPECT_FALSE(cipher.DecryptData(over, password));
  EXPECT_FALSE(cipher.DecryptData({}, password));
  EXPECT_FALSE(cipher.DecryptData(Bytes(buffer.begin(), buffer.end() - 1), password));
}

}  // namespace
}  // namespace tolven::fiscal
