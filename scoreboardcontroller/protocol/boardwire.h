// Payload integers and names as the board protocol writes them: zigzag
// LEB128 varints and length-prefixed UTF-8. A reader that runs out of bytes
// or meets an out-of-range value only remembers the failure, so a message
// decoder reads all its fields and checks once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace boardprotocol {

inline constexpr std::size_t kMaxNameBytes = 96;  // UTF-8 bytes of one name on the wire

// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// nullopt for malformed UTF-8 (overlong forms, surrogates, bad continuation).
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
// Cuts at a character boundary so that at most maxBytes remain.
std::string TruncateUtf8(std::string_view text, std::size_t maxBytes);

class TWriter {
 public:
  explicit TWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void U8(std::uint8_t v) { out_.push_back(v); }
  void UVar(std::uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<std::uint8_t>(v | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<std::uint8_t>(v));
  }
  void SVar(std::int64_t v) { UVar((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63)); }
  void Bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void Name(const std::string& name) {
    const std::string cut = TruncateUtf8(name, kMaxNameBytes);
    UVar(cut.size());
    out_.insert(out_.end(), cut.begin(), cut.end());
  }

 private:
  std::vector<std::uint8_t>& out_;
};

class TReader {
 public:
  explicit TReader(std::span<const std::uint8_t> data) : data_(data) {}
  bool Ok() const { return ok_; }
  bool AtEnd() const { return pos_ == data_.size(); }
  std::size_t Remaining() const { return data_.size() - pos_; }
  std::uint8_t U8() {
    if (pos_ >= data_.size()) {
      ok_ = false;
      return 0;
    }
    return data_[pos_++];
  }
  std::uint64_t UVar() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ >= data_.size()) break;
      const std::uint8_t b = data_[pos_++];
      v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return v;
    }
    ok_ = false;
    return 0;
  }
  std::int64_t SVar() {
    const std::uint64_t u = UVar();
    return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
  }
  std::int32_t I32() { return Narrow(SVar()); }
  std::uint32_t U32() {
    const std::uint64_t v = UVar();
    if (v > std::numeric_limits<std::uint32_t>::max()) ok_ = false;
    return static_cast<std::uint32_t>(v);
  }
  std::int32_t Narrow(std::int64_t v) {
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
      ok_ = false;
      return 0;
    }
    return static_cast<std::int32_t>(v);
  }
  std::string Name() {
    const std::uint64_t n = UVar();
    if (!ok_ || n > kMaxNameBytes || n > Remaining()) {
      ok_ = false;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(data_.data() + pos_), static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    if (!Utf8ToUtf16(s)) ok_ = false;
    return s;
  }
  std::span<const std::uint8_t> Rest() {
    auto r = data_.subspan(pos_);
    pos_ = data_.size();
    return r;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace boardprotocol
