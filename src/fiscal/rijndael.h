#pragma once

// Rijndael block cipher with variable block and key length (4, 6 or 8 words
// of 32 bits each), plus the message framing the fiscal interface uses:
// Rijndael-256/256 (32-byte block, 32-byte key, 14 rounds) in ECB mode over a
// buffer that carries the message length in front of the message.
//
// The 256-bit block makes this incompatible with AES on purpose; the other
// end expects exactly this construction, so it must not be "upgraded".
// ECB without IV leaks equal blocks; that is a property of the wire format,
// not something this class can fix.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tolven::fiscal {

class Rijndael {
 public:
  // Block and key length of the message framing, in 32-bit words.
  static constexpr int kDataWords = 8;
  static constexpr std::size_t kDataBlockBytes = 4 * kDataWords;
  static constexpr std::size_t kDataKeyBytes = 4 * kDataWords;

  Rijndael() = default;

  // Builds the S-boxes and round tables of this instance. Idempotent; gkey
  // calls it itself when it has not run yet.
  void gentables();

  // Key schedule for a block of nb words and a key of nk words, both in
  // {4, 6, 8}; rounds = max(nb, nk) + 6. Reads the first 4 * nk bytes of
  // key. Returns false, and leaves no usable schedule behind, when nb or nk
  // is out of range or key is shorter than 4 * nk bytes.
  bool gkey(int nb, int nk, std::span<const std::uint8_t> key);

  // One block in place; block.size() must be 4 * nb of the last gkey.
  // Block byte i is state row i mod 4, column i div 4. Returns false (block
  // untouched) without a valid schedule or with a block of the wrong size.
  bool Encrypt(std::span<std::uint8_t> block) const;
  bool Decrypt(std::span<std::uint8_t> block) const;

  // Whole message under a password: key = first 32 password bytes (zero
  // filled when shorter), buffer = 32-bit little-endian message length +
  // message + zero bytes up to a multiple of 32, each 32-byte block
  // encrypted on its own. The result is never empty for a valid message, so
  // an empty result means failure: only a message longer than the 32-bit
  // length field can hold (more than 4 GiB) is refused.
  // Replaces any key schedule set up before.
  std::vector<std::uint8_t> EncryptData(const std::vector<std::uint8_t>& message,
                                        const std::vector<std::uint8_t>& password);
  // Texts enter as one byte per character (Windows-1252 in this program).
  std::vector<std::uint8_t> EncryptData(std::string_view message, std::string_view password);

  // Inverse of EncryptData. Returns std::nullopt, never partial data, when
  // the cipher text is empty or not a multiple of 32 bytes, or when the
  // decrypted length field claims more bytes than follow it (the usual sign
  // of a wrong password or damaged data). A wrong password is not always
  // detected: there is no authentication, only this plausibility check.
  // Replaces any key schedule set up before.
  std::optional<std::vector<std::uint8_t>> DecryptData(const std::vector<std::uint8_t>& cipher,
                                                       const std::vector<std::uint8_t>& password);
  std::optional<std::vector<std::uint8_t>> DecryptData(const std::vector<std::uint8_t>& cipher,
                                                       std::string_view password);

 private:
  // 8-word block with 14 rounds is the largest schedule: 8 * 15 words.
  static constexpr std::size_t kMaxScheduleWords = 120;

  void setDataKey(std::span<const std::uint8_t> password);
  std::uint32_t subWord(std::uint32_t w) const;
  std::uint32_t invMixWord(std::uint32_t w) const;
  bool Cipher(std::span<std::uint8_t> block, const std::array<std::uint32_t, 256>& table,
              const std::array<std::uint8_t, 256>& sbox, const std::array<std::uint32_t, kMaxScheduleWords>& key,
              const std::array<int, 4>& shift) const;

  bool tablesReady_ = false;
  std::array<std::uint8_t, 256> fbsub_{};    // S-box
  std::array<std::uint8_t, 256> rbsub_{};    // inverse S-box
  std::array<std::uint32_t, 256> ftable_{};  // SubBytes + MixColumns of one byte, row 0
  std::array<std::uint32_t, 256> rtable_{};  // InvSubBytes + InvMixColumns, row 0
  std::array<std::uint8_t, 256> ptab_{};     // powers of 3 in GF(2^8)
  std::array<std::uint8_t, 256> ltab_{};     // logarithms base 3

  bool keyReady_ = false;
  int nb_ = 0;
  int nr_ = 0;
  std::array<int, 4> fshift_{};  // column offset per row, encryption
  std::array<int, 4> rshift_{};  // column offset per row, decryption
  std::array<std::uint32_t, kMaxScheduleWords> fkey_{};
  std::array<std::uint32_t, kMaxScheduleWords> rkey_{};  // reversed, InvMixColumns applied
};

}  // namespace tolven::fiscal
