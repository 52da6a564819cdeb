#include "fiscal/CRijndael.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using tolven::fiscal::CRijndael;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes fromHex(const std::string& hex)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

struct Record {
    int line = 0;
    std::string kind;
    std::map<std::string, Bytes> fields;
};

// Records start with "[kind]", followed by "name = HEX" lines; '#' lines are comments.
std::vector<Record> loadRecords()
{
    std::ifstream in(TOLVEN_SOURCE_DIR "/tests/fiscal/data/rijndael256.txt");
    std::vector<Record> records;
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        if (text.empty() || text[0] == '#') {
            continue;
        }
        if (text[0] == '[') {
            records.push_back({line, text.substr(1, text.find(']') - 1), {}});
            continue;
        }
        const auto eq = text.find('=');
        if (records.empty() || eq == std::string::npos) {
            ADD_FAILURE() << "unexpected line " << line << ": " << text;
            continue;
        }
        const auto name = text.substr(0, text.find_last_not_of(' ', eq - 1) + 1);
        const auto first = text.find_first_not_of(' ', eq + 1);
        records.back().fields[name] = fromHex(first == std::string::npos ? "" : text.substr(first));
    }
    return records;
}

const Bytes kPassword(32, 0x5A);

} // namespace

TEST(CRijndael, ReproducesEveryRecordOfTheTestData)
{
    const auto records = loadRecords();
    int blocks = 0;
    int messages = 0;
    CRijndael cipher; // one instance on purpose: every record must reset the key
    for (const auto& rec : records) {
        SCOPED_TRACE("record at line " + std::to_string(rec.line));
        auto f = rec.fields;
        if (rec.kind == "block") {
            ++blocks;
            ASSERT_TRUE(cipher.gkey(8, 8, f["key"]));
            Bytes block = f["plaintext"];
            ASSERT_TRUE(cipher.Encrypt(block));
            EXPECT_EQ(block, f["ciphertext"]);
            ASSERT_TRUE(cipher.Decrypt(block));
            EXPECT_EQ(block, f["plaintext"]);
        } else if (rec.kind == "encryptdata") {
            ++messages;
            EXPECT_EQ(cipher.EncryptData(f["message"], f["password"]), f["result"]);
            EXPECT_EQ(cipher.DecryptData(f["result"], f["password"]), f["message"]);
        } else {
            ADD_FAILURE() << "unknown record kind " << rec.kind;
        }
    }
    // Guards against a parser that silently drops records.
    EXPECT_EQ(blocks, 6);
    EXPECT_EQ(messages, 8);
}

TEST(CRijndael, AesVectorsProveTheGeneralKeyLengths)
{
    // FIPS-197 appendix C: 128-bit block with 128-, 192- and 256-bit keys.
    const struct {
        int nk;
        const char* cipher;
    } cases[] = {
        {4, "69C4E0D86A7B0430D8CDB78070B4C55A"},
        {6, "DDA97CA4864CDFE06EAF70A0EC0D7191"},
        {8, "8EA2B7CA516745BFEAFC49904B496089"},
    };
    const Bytes key = fromHex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
    const Bytes plain = fromHex("00112233445566778899AABBCCDDEEFF");
    for (const auto& c : cases) {
        SCOPED_TRACE("Nk=" + std::to_string(c.nk));
        CRijndael cipher;
        ASSERT_TRUE(cipher.gkey(4, c.nk, key));
        Bytes block = plain;
        ASSERT_TRUE(cipher.Encrypt(block));
        EXPECT_EQ(block, fromHex(c.cipher));
        ASSERT_TRUE(cipher.Decrypt(block));
        EXPECT_EQ(block, plain);
    }
}

TEST(CRijndael, EveryBlockAndKeyLengthRoundTrips)
{
    // Nb = 6 has no published vector here; at least its ShiftRows must invert.
    const Bytes key = fromHex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
    for (int nb : {4, 6, 8}) {
        for (int nk : {4, 6, 8}) {
            SCOPED_TRACE("Nb=" + std::to_string(nb) + " Nk=" + std::to_string(nk));
            CRijndael cipher;
            ASSERT_TRUE(cipher.gkey(nb, nk, key));
            const Bytes plain(key.rbegin(), key.rbegin() + 4 * nb);
            Bytes block = plain;
            ASSERT_TRUE(cipher.Encrypt(block));
            EXPECT_NE(block, plain);
            ASSERT_TRUE(cipher.Decrypt(block));
            EXPECT_EQ(block, plain);
        }
    }
}

TEST(CRijndael, BufferIsLengthMessageAndZeroPadding)
{
    // Lengths around the block edges, and 300 so the length field needs two bytes.
    const struct {
        std::size_t length;
        std::size_t resultSize;
    } cases[] = {{0, 32}, {28, 32}, {29, 64}, {60, 64}, {61, 96}, {300, 320}};
    for (const auto& c : cases) {
        SCOPED_TRACE("message length " + std::to_string(c.length));
        Bytes message(c.length);
        for (std::size_t i = 0; i < message.size(); ++i) {
            message[i] = static_cast<std::uint8_t>(i + 1);
        }
        CRijndael cipher;
        Bytes buffer = cipher.EncryptData(message, kPassword);
        ASSERT_EQ(buffer.size(), c.resultSize);

        ASSERT_TRUE(cipher.gkey(8, 8, kPassword));
        for (std::size_t off = 0; off < buffer.size(); off += 32) {
            ASSERT_TRUE(cipher.Decrypt(std::span<std::uint8_t>(buffer).subspan(off, 32)));
        }
        Bytes expected = {static_cast<std::uint8_t>(c.length), static_cast<std::uint8_t>(c.length >> 8), 0, 0};
        expected.insert(expected.end(), message.begin(), message.end());
        expected.resize(c.resultSize, 0);
        EXPECT_EQ(buffer, expected);
    }
}

TEST(CRijndael, OnlyTheFirst32PasswordBytesCountAndShortOnesAreZeroFilled)
{
    const auto bytes = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
    const auto padded = [&](std::string_view text) {
        Bytes b = bytes(text);
        b.resize(32, 0);
        return b;
    };
    const std::string full = "Kassenterminal-Testpasswort-0815";
    std::string lastByteChanged = full;
    lastByteChanged.back() = '6';
    const struct {
        const char* what;
        Bytes a;
        Bytes b;
        bool same;
    } cases[] = {
        {"longer password is cut", bytes(full + "-wird-ignoriert"), bytes(full), true},
        {"short password is zero filled", bytes("kasse"), padded("kasse"), true},
        {"empty password is all zero", Bytes{}, Bytes(32, 0), true},
        {"32nd byte is part of the key", bytes(full), bytes(lastByteChanged), false},
        {"33rd byte is not", bytes(full + "A"), bytes(full + "B"), true},
    };
    const Bytes message = bytes("Tisch 12: 2x Pils, 1x Suppe.");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CRijndael cipher;
        const Bytes ra = cipher.EncryptData(message, c.a);
        const Bytes rb = cipher.EncryptData(message, c.b);
        EXPECT_EQ(ra == rb, c.same);
    }
}

TEST(CRijndael, EqualPlaintextBlocksGiveEqualCipherBlocks)
{
    // 28 bytes fill the first block after the length field, then two equal blocks follow.
    Bytes message(28, 0x41);
    message.insert(message.end(), 32, 0x42);
    message.insert(message.end(), 32, 0x42);
    CRijndael cipher;
    const Bytes r = cipher.EncryptData(message, kPassword);
    ASSERT_EQ(r.size(), 96u);
    EXPECT_TRUE(std::equal(r.begin() + 32, r.begin() + 64, r.begin() + 64));
    EXPECT_FALSE(std::equal(r.begin(), r.begin() + 32, r.begin() + 32));
}

TEST(CRijndael, TextOverloadsKeepBytesAbove127)
{
    // Same record as the Windows-1252 one in the test data; plain char is signed.
    CRijndael cipher;
    const Bytes result = cipher.EncryptData("Grüße aus Köln: Käse, Öl, Bär 4,50 €", "Bäckerei Müller");
    EXPECT_EQ(result, fromHex("7E0FF656DD18C3B33471D359459CC521A5D3F1CFD91EEA805459B622FBD16924"
                              "890FE968359C660379CBBDF776C87E60BCCD37106423422AE4E99A5CA1267236"));
    const auto back = cipher.DecryptData(result, "Bäckerei Müller");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::string(back->begin(), back->end()), "Grüße aus Köln: Käse, Öl, Bär 4,50 €");
}

TEST(CRijndael, MalformedCipherTextIsRefused)
{
    // A single block whose length field is chosen freely, encrypted with the data key.
    const auto blockWithLength = [](std::uint32_t length) {
        Bytes block(32, 0x20);
        for (std::size_t i = 0; i < 4; ++i) {
            block[i] = static_cast<std::uint8_t>(length >> (8 * i));
        }
        CRijndael cipher;
        EXPECT_TRUE(cipher.gkey(8, 8, kPassword));
        EXPECT_TRUE(cipher.Encrypt(block));
        return block;
    };
    CRijndael cipher;
    const Bytes valid = cipher.EncryptData(Bytes(40, 0x33), kPassword);
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
        SCOPED_TRACE(c.what);
        const auto plain = cipher.DecryptData(c.cipherText, kPassword);
        EXPECT_EQ(plain.has_value(), c.accepted);
        if (plain) {
            EXPECT_EQ(*plain, Bytes(28, 0x20));
        }
    }
}
