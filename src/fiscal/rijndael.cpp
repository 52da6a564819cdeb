#include "fiscal/rijndael.h"

#include <algorithm>
#include <limits>

namespace tolven::fiscal {

namespace {

// A state column is packed with row 0 in the low byte, so block bytes map to
// words little-endian and a rotation by 8 bits moves every byte one row down.
std::uint32_t pack(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  return static_cast<std::uint32_t>(b0) | (static_cast<std::uint32_t>(b1) << 8) |
         (static_cast<std::uint32_t>(b2) << 16) | (static_cast<std::uint32_t>(b3) << 24);
}

std::uint8_t byteOf(std::uint32_t w, int row) { return static_cast<std::uint8_t>(w >> (8 * row)); }

std::uint32_t rotl(std::uint32_t w, int bits) { return bits == 0 ? w : (w << bits) | (w >> (32 - bits)); }

std::uint8_t rotl8(std::uint8_t b, int bits) { return static_cast<std::uint8_t>((b << bits) | (b >> (8 - bits))); }

// Multiplication by x in GF(2^8) modulo the Rijndael polynomial x^8+x^4+x^3+x+1.
std::uint8_t xtime(std::uint8_t b) { return static_cast<std::uint8_t>((b << 1) ^ ((b & 0x80) != 0 ? 0x1B : 0x00)); }

bool validWords(int n) { return n == 4 || n == 6 || n == 8; }

// Through unsigned char: plain char is signed here and bytes above 127
// (umlauts, euro sign) must keep their value.
std::vector<std::uint8_t> toBytes(std::string_view text) {
  std::vector<std::uint8_t> out(text.size());
  std::transform(text.begin(), text.end(), out.begin(),
                 [](char c) { return static_cast<std::uint8_t>(static_cast<unsigned char>(c)); });
  return out;
}

}  // namespace

void Rijndael::gentables() {
  if (tablesReady_) {
    return;
  }

  // 3 generates the multiplicative group, so log/antilog tables turn every
  // product and inverse into one lookup instead of a bit loop.
  ptab_[0] = 1;
  ltab_[0] = 0;  // log 0 is undefined; callers test for zero first
  for (int i = 1; i < 256; ++i) {
    ptab_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(ptab_[static_cast<std::size_t>(i - 1)] ^
                                                                   xtime(ptab_[static_cast<std::size_t>(i - 1)]));
  }
  for (int i = 0; i < 255; ++i) {
    ltab_[ptab_[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(i);
  }

  const auto mul = [this](std::uint8_t a, std::uint8_t b) -> std::uint8_t {
    if (a == 0 || b == 0) {
      return 0;
    }
    return ptab_[(static_cast<std::size_t>(ltab_[a]) + ltab_[b]) % 255];
  };

  for (int x = 0; x < 256; ++x) {
    const auto bx = static_cast<std::uint8_t>(x);
    const std::uint8_t inv = bx == 0 ? 0 : ptab_[(255 - static_cast<std::size_t>(ltab_[bx])) % 255];
    const auto s =
        static_cast<std::uint8_t>(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63);
    fbsub_[bx] = s;
    rbsub_[s] = bx;
  }

  for (int x = 0; x < 256; ++x) {
    const auto bx = static_cast<std::size_t>(x);
    const std::uint8_t s = fbsub_[bx];
    ftable_[bx] = pack(mul(2, s), s, s, mul(3, s));
    const std::uint8_t r = rbsub_[bx];
    rtable_[bx] = pack(mul(14, r), mul(9, r), mul(13, r), mul(11, r));
  }

  tablesReady_ = true;
}

std::uint32_t Rijndael::subWord(std::uint32_t w) const {
  return pack(fbsub_[byteOf(w, 0)], fbsub_[byteOf(w, 1)], fbsub_[byteOf(w, 2)], fbsub_[byteOf(w, 3)]);
}

std::uint32_t Rijndael::invMixWord(std::uint32_t w) const {
  // rtable_ includes the inverse S-box; feeding it S-box outputs cancels
  // that and leaves the plain InvMixColumns contribution of each byte.
  std::uint32_t out = 0;
  for (int row = 0; row < 4; ++row) {
    out ^= rotl(rtable_[fbsub_[byteOf(w, row)]], 8 * row);
  }
  return out;
}

bool Rijndael::gkey(int nb, int nk, std::span<const std::uint8_t> key) {
  keyReady_ = false;
  if (!validWords(nb) || !validWords(nk) || key.size() < 4 * static_cast<std::size_t>(nk)) {
    return false;
  }
  gentables();

  nb_ = nb;
  nr_ = std::max(nb, nk) + 6;

  // Row offsets of ShiftRows from the Rijndael paper; decryption shifts the
  // other way, which for a cyclic row is nb minus the same offset.
  const std::array<int, 4> offsets = nb == 8 ? std::array<int, 4>{0, 1, 3, 4} : std::array<int, 4>{0, 1, 2, 3};
  for (std::size_t row = 0; row < 4; ++row) {
    fshift_[row] = offsets[row];
    rshift_[row] = (nb - offsets[row]) % nb;
  }

  const auto unb = static_cast<std::size_t>(nb);
  const auto unk = static_cast<std::size_t>(nk);
  const std::size_t total = unb * static_cast<std::size_t>(nr_ + 1);

  for (std::size_t i = 0; i < unk; ++i) {
    fkey_[i] = pack(key[4 * i], key[4 * i + 1], key[4 * i + 2], key[4 * i + 3]);
  }
  std::uint8_t rcon = 1;
  for (std::size_t i = unk; i < total; ++i) {
    std::uint32_t temp = fkey_[i - 1];
    if (i % unk == 0) {
      temp = subWord(rotl(temp, 24)) ^ rcon;  // RotWord moves byte 1 to row 0
      rcon = xtime(rcon);
    } else if (unk > 6 && i % unk == 4) {
      temp = subWord(temp);
    }
    fkey_[i] = fkey_[i - unk] ^ temp;
  }

  // Equivalent inverse cipher: decryption runs the same table-driven round
  // shape, so the middle round keys need InvMixColumns applied in advance.
  const auto unr = static_cast<std::size_t>(nr_);
  for (std::size_t j = 0; j < unb; ++j) {
    rkey_[j] = fkey_[unr * unb + j];
    rkey_[unr * unb + j] = fkey_[j];
  }
  for (std::size_t round = 1; round < unr; ++round) {
    for (std::size_t j = 0; j < unb; ++j) {
      rkey_[round * unb + j] = invMixWord(fkey_[(unr - round) * unb + j]);
    }
  }

  keyReady_ = true;
  return true;
}

bool Rijndael::Encrypt(std::span<std::uint8_t> block) const { return Cipher(block, ftable_, fbsub_, fkey_, fshift_); }

bool Rijndael::Decrypt(std::span<std::uint8_t> block) const { return Cipher(block, rtable_, rbsub_, rkey_, rshift_); }

// One block through every round: encryption with the forward tables, key
// schedule and shifts, decryption with the inverse ones.
bool Rijndael::Cipher(std::span<std::uint8_t> block, const std::array<std::uint32_t, 256>& table,
                      const std::array<std::uint8_t, 256>& sbox,
                      const std::array<std::uint32_t, kMaxScheduleWords>& key, const std::array<int, 4>& shift) const {
  const auto unb = static_cast<std::size_t>(nb_);
  if (!keyReady_ || block.size() != 4 * unb) {
    return false;
  }

  std::array<std::uint32_t, 8> a{};
  std::array<std::uint32_t, 8> b{};
  for (std::size_t j = 0; j < unb; ++j) {
    a[j] = pack(block[4 * j], block[4 * j + 1], block[4 * j + 2], block[4 * j + 3]) ^ key[j];
  }

  const auto s1 = static_cast<std::size_t>(shift[1]);
  const auto s2 = static_cast<std::size_t>(shift[2]);
  const auto s3 = static_cast<std::size_t>(shift[3]);
  const auto unr = static_cast<std::size_t>(nr_);
  for (std::size_t round = 1; round < unr; ++round) {
    for (std::size_t j = 0; j < unb; ++j) {
      b[j] = table[byteOf(a[j], 0)] ^ rotl(table[byteOf(a[(j + s1) % unb], 1)], 8) ^
             rotl(table[byteOf(a[(j + s2) % unb], 2)], 16) ^ rotl(table[byteOf(a[(j + s3) % unb], 3)], 24) ^
             key[round * unb + j];
    }
    a = b;
  }

  // Last round has no (Inv)MixColumns.
  for (std::size_t j = 0; j < unb; ++j) {
    const std::uint32_t w = pack(sbox[byteOf(a[j], 0)], sbox[byteOf(a[(j + s1) % unb], 1)],
                                 sbox[byteOf(a[(j + s2) % unb], 2)], sbox[byteOf(a[(j + s3) % unb], 3)]) ^
                            key[unr * unb + j];
    for (int row = 0; row < 4; ++row) {
      block[4 * j + static_cast<std::size_t>(row)] = byteOf(w, row);
    }
  }
  return true;
}

void Rijndael::setDataKey(std::span<const std::uint8_t> password) {
  // Only the first 32 password bytes count; a shorter one is zero filled.
  std::array<std::uint8_t, kDataKeyBytes> key{};
  std::copy_n(password.begin(), std::min(password.size(), key.size()), key.begin());
  gentables();
  gkey(kDataWords, kDataWords, key);
}

std::vector<std::uint8_t> Rijndael::EncryptData(const std::vector<std::uint8_t>& message,
                                                const std::vector<std::uint8_t>& password) {
  if (message.size() > std::numeric_limits<std::uint32_t>::max()) {
    return {};
  }
  setDataKey(password);

  const std::size_t used = 4 + message.size();
  const std::size_t padded = (used + kDataBlockBytes - 1) / kDataBlockBytes * kDataBlockBytes;
  std::vector<std::uint8_t> buffer(padded, 0);
  const auto length = static_cast<std::uint32_t>(message.size());
  for (std::size_t i = 0; i < 4; ++i) {
    buffer[i] = static_cast<std::uint8_t>(length >> (8 * i));
  }
  std::copy(message.begin(), message.end(), buffer.begin() + 4);

  for (std::size_t off = 0; off < buffer.size(); off += kDataBlockBytes) {
    Encrypt(std::span<std::uint8_t>(buffer).subspan(off, kDataBlockBytes));
  }
  return buffer;
}

std::vector<std::uint8_t> Rijndael::EncryptData(std::string_view message, std::string_view password) {
  return EncryptData(toBytes(message), toBytes(password));
}

std::optional<std::vector<std::uint8_t>> Rijndael::DecryptData(const std::vector<std::uint8_t>& cipher,
                                                               const std::vector<std::uint8_t>& password) {
  if (cipher.empty() || cipher.size() % kDataBlockBytes != 0) {
    return std::nullopt;
  }
  setDataKey(password);

  std::vector<std::uint8_t> buffer = cipher;
  for (std::size_t off = 0; off < buffer.size(); off += kDataBlockBytes) {
    Decrypt(std::span<std::uint8_t>(buffer).subspan(off, kDataBlockBytes));
  }

  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    length |= static_cast<std::uint32_t>(buffer[i]) << (8 * i);
  }
  if (length > buffer.size() - 4) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(buffer.begin() + 4, buffer.begin() + 4 + static_cast<std::ptrdiff_t>(length));
}

std::optional<std::vector<std::uint8_t>> Rijndael::DecryptData(const std::vector<std::uint8_t>& cipher,
                                                               std::string_view password) {
  return DecryptData(cipher, toBytes(password));
}

}  // namespace tolven::fiscal
