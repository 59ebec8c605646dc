#pragma once
// The one hash of files/: what a file or stretch was (FileState), the image as last saved, the
// journal's seal, the typed sums' file names. Pure: no files, no state.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace lbe::files {

// xxHash64's round over the stream's 8-byte words, one lane, and its closing avalanche over the
// count and the last bytes: about a byte a cycle, and, unlike a multiply-and-xor hash, a change in
// a byte's high bits reaches every bit of the value. Each round is a bijection of the state, so a
// change to any one word always shows. The words are those of the whole stream, however it is cut
// into pieces.
class Checksum {
 public:
  void Add(const void* data, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    length_ += count;
    while (count > 0 && pending_ > 0) {
      AddByte(*bytes++);
      --count;
    }
    for (; count >= 8; bytes += 8, count -= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes, 8);
      hash_ = Round(hash_, word);
    }
    for (; count > 0; --count) {
      AddByte(*bytes++);
    }
  }
  std::uint64_t Value() const {
    std::uint64_t hash = hash_ + length_;
    for (std::size_t i = 0; i < pending_; ++i) {
      hash = std::rotl(hash ^ (word_[i] * kPrime5), 11) * kPrime1;
    }
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    return hash ^ (hash >> 32);
  }

 private:
  static constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87u;
  static constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Fu;
  static constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9u;
  static constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5u;
  static std::uint64_t Round(std::uint64_t hash, std::uint64_t word) {
    return std::rotl(hash + word * kPrime2, 31) * kPrime1;
  }
  void AddByte(std::uint8_t byte) {
    word_[pending_++] = byte;
    if (pending_ == 8) {
      std::uint64_t word;
      std::memcpy(&word, word_.data(), 8);
      hash_ = Round(hash_, word);
      pending_ = 0;
    }
  }
  std::uint64_t hash_ = kPrime5;
  std::uint64_t length_ = 0;
  std::array<std::uint8_t, 8> word_{};
  std::size_t pending_ = 0;
};

// The Checksum of `bytes` taken at once.
inline std::uint64_t ChecksumOf(std::span<const std::uint8_t> bytes) {
  Checksum sum;
  sum.Add(bytes.data(), bytes.size());
  return sum.Value();
}

}  // namespace lbe::files
