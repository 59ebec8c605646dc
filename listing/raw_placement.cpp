#include "listing/raw_placement.h"

#include <algorithm>

namespace lbe::listing {

namespace {

// The output held in memory at a time, and the bits of its offsets.
constexpr std::size_t kWindow = std::size_t{256} << 10;
constexpr std::size_t kWindowBits = kWindow / 8;

}  // namespace

RawPlacement::RawPlacement(const files::OutputFile& out, files::OutputFile given,
                           std::uint64_t length, std::uint8_t fill, std::uint64_t header)
    : out_(out),
      given_(given),
      length_(length),
      fill_(fill),
      header_(header),
      visited_(static_cast<std::size_t>((length + kWindow - 1) / kWindow)),
      bytes_(kWindow),
      givenBits_(kWindowBits) {
  // A hole where the file system keeps them: nothing to write where the fill is 00.
  out_.SetLength(header + length);
}

std::optional<RawConflict> RawPlacement::Put(std::uint64_t offset,
                                             std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::uint64_t window = offset / kWindow;
    if (current_ != window) {
      Store();
      Load(window);
    }
    const auto at = static_cast<std::size_t>(offset % kWindow);
    const std::size_t count = std::min(bytes.size(), kWindow - at);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t j = at + i;
      const auto bit = static_cast<std::uint8_t>(1u << (j % 8));
      if ((givenBits_[j / 8] & bit) == 0) {
        givenBits_[j / 8] |= bit;
        bytes_[j] = bytes[i];
      } else if (bytes_[j] != bytes[i]) {
        return RawConflict{offset + i, bytes[i], bytes_[j]};
      }
    }
    offset += count;
    bytes = bytes.subspan(count);
  }
  return std::nullopt;
}

void RawPlacement::Finish() {
  Store();
  current_.reset();
  if (fill_ == 0) {
    return;
  }
  std::fill(bytes_.begin(), bytes_.end(), fill_);
  for (std::uint64_t window = 0; window < visited_.size(); ++window) {
    if (!visited_[static_cast<std::size_t>(window)]) {
      out_.WriteAt(header_ + window * kWindow, std::span(bytes_).first(WindowLength(window)));
    }
  }
}

std::size_t RawPlacement::WindowLength(std::uint64_t window) const {
  return static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, length_ - window * kWindow));
}

void RawPlacement::Store() {
  if (!current_) {
    return;
  }
  const std::size_t length = WindowLength(*current_);
  out_.WriteAt(header_ + *current_ * kWindow, std::span(bytes_).first(length));
  given_.WriteAt(*current_ * kWindowBits, std::span(givenBits_).first((length + 7) / 8));
  visited_[static_cast<std::size_t>(*current_)] = true;
}

void RawPlacement::Load(std::uint64_t window) {
  current_ = window;
  const std::size_t length = WindowLength(window);
  if (visited_[static_cast<std::size_t>(window)]) {
    out_.ReadAt(header_ + window * kWindow, std::span(bytes_).first(length));
    given_.ReadAt(window * kWindowBits, std::span(givenBits_).first((length + 7) / 8));
    return;
  }
  std::fill(bytes_.begin(), bytes_.end(), fill_);
  std::fill(givenBits_.begin(), givenBits_.end(), 0);
}

}  // namespace lbe::listing
