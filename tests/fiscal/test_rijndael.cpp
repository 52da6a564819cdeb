// Rijndael-256/256 and the message framing: every record of the test data and
// the framing's edges.
#include "fiscal/rijndael.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <vector>

using tolven::fiscal::Rijndael;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

const Bytes kPassword(32, 0x5A);

TEST(Rijndael, ReproducesEveryRecordOfTheTestData) {
  std::ifstream in(TOLVEN_SOURCE_DIR "/tests/fiscal/data/rijndael256.txt");
  ASSERT_TRUE(in) << "test data missing";
  struct Record {
    int line;
    std::string kind;
    std::map<std::string, Bytes> f;
  };
  std::vector<Record> records;  // "name = HEX" lines after "[kind]"
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    std::istringstream words(text);
    std::string name, eq, hex;
    if (!(words >> name) || name[0] == '#') continue;
    if (name[0] == '[') {
      records.push_back({line, name.substr(1, name.find(']') - 1), {}});
    } else {
      ASSERT_TRUE(!records.empty() && words >> eq && eq == "=") << "line " << line << ": " << text;
      words >> hex;  // nothing after '=' means no bytes
      records.back().f[name] = FromHex(hex);
    }
  }
  int blocks = 0, messages = 0;
  Rijndael cipher;  // one instance on purpose: every record must reset the key
  for (auto& rec : records) {
    SCOPED_TRACE("record at line " + std::to_string(rec.line));
    if (rec.kind == "block") {
      ++blocks;
      ASSERT_TRUE(cipher.gkey(8, 8, rec.f["key"]));
      Bytes block = rec.f["plaintext"];
      ASSERT_TRUE(cipher.Encrypt(block));
      EXPECT_EQ(block, rec.f["ciphertext"]);
      ASSERT_TRUE(cipher.Decrypt(block));
      EXPECT_EQ(block, rec.f["plaintext"]);
    } else if (rec.kind == "encryptdata") {
      ++messages;
      EXPECT_EQ(cipher.EncryptData(rec.f["message"], rec.f["password"]), rec.f["result"]);
      EXPECT_EQ(cipher.DecryptData(rec.f["result"], rec.f["password"]), rec.f["message"]);
      // The text overloads give the same: bytes above 127 (one record has them) count unsigned.
      const std::string message(rec.f["message"].begin(), rec.f["message"].end());
      const std::string password(rec.f["password"].begin(), rec.f["password"].end());
      EXPECT_EQ(cipher.EncryptData(message, password), rec.f["result"]);
      EXPECT_EQ(cipher.DecryptData(rec.f["result"], password), rec.f["message"]);
    } else {
      ADD_FAILURE() << "unknown record kind " << rec.kind;
    }
  }
  // Guards against a parser that silently drops records.
  EXPECT_EQ(blocks, 6);
  EXPECT_EQ(messages, 8);
}

// Beyond the test data: a message whose length takes two bytes of the length field.
TEST(Rijndael, FramingOfALongMessage) {
  Bytes message(300);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i + 1);
  Rijndael cipher;
  Bytes buffer = cipher.EncryptData(message, kPassword);
  ASSERT_EQ(buffer.size(), 320u);
  ASSERT_TRUE(cipher.gkey(8, 8, kPassword));
  for (std::size_t off = 0; off < buffer.size(); off += 32)
    ASSERT_TRUE(cipher.Decrypt(std::span<std::uint8_t>(buffer).subspan(off, 32)));
  Bytes expected = {300 % 256, 300 / 256, 0, 0};
  expected.insert(expected.end(), message.begin(), message.end());
  expected.resize(320, 0);
  EXPECT_EQ(buffer, expected);

}

TEST(Rijndael, MalformedCipherTextIsRefused) {
  // A single block whose length field is chosen freely, encrypted with the data key.
  const auto blockWithLength = [](std::uint32_t length) {
    Bytes block(32, 0x20);
    for (std::size_t i = 0; i < 4; ++i) block[i] = static_cast<std::uint8_t>(length >> (8 * i));
    Rijndael cipher;
    EXPECT_TRUE(cipher.gkey(8, 8, kPassword) && cipher.Encrypt(block));
    return block;
  };
  Rijndael cipher;
  Bytes valid = cipher.EncryptData(Bytes(40, 0x33), kPassword);
  const struct {
    const char* what;
    Bytes cipherText;
    bool accepted;
  } cases[] = {
      {"empty", Bytes{}, false},
      {"one byte short", Bytes(valid.begin(), valid.end() - 1), false},
      {"one byte over", [&] { Bytes b = valid; b.push_back(0); return b; }(), false},
      {"length fills the block", blockWithLength(28), true},
      {"length one past the data", blockWithLength(29), false},
      {"length at maximum", blockWithLength(0xFFFFFFFFu), false},
  };
  for (const auto& c : cases) {
    const auto plain = cipher.DecryptData(c.cipherText, kPassword);
    EXPECT_EQ(plain.has_value(), c.accepted) << c.what;
    EXPECT_TRUE(!plain || *plain == Bytes(28, 0x20)) << c.what;
  }
}

}  // namespace
