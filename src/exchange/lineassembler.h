// Cuts the feed's byte stream into lines: a "$" starts a line, a line feed
// ends it. A "$" inside a quoted field ("Ca$h Racing") is part of the text,
// with the quoting rules the parser splits fields by; a line feed ends every
// line, quoted or not, so a stray quote costs at most one line. The line buffer is fixed at construction and never
// grows, so a feed that never sends a line feed cannot take more memory.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

class TLineAssembler {
 public:
  // `capacity` bytes hold a line and its NUL terminator.
  explicit TLineAssembler(std::size_t capacity) : capacity_(capacity), lineBuffer_(new char[capacity]) {}

  // Hands every line completed by `data` to onLine(std::string_view line),
  // in order. The view covers the line from its "$" up to and including the
  // line feed and is NUL-terminated in the buffer (line.data()[size] == 0);
  // it is valid only during the call.
  //
  // Bytes after a line feed and before the next "$" belong to no line and
  // are dropped, so a stray line feed never hands the previous line on a
  // second time. Bytes before the very first "$", and before the first "$"
  // after a Reset, do form a line (the feed log shows what the timing
  // application sent before its first record).
  // A line longer than capacity - 1 bytes keeps its first capacity - 1
  // bytes; the rest, its line feed included, is dropped.
  template <typename OnLine>
  void Feed(const char* data, std::size_t size, OnLine&& onLine) {
    for (std::size_t i = 0; i < size; ++i) {
      const char byte = data[i];
      if (byte == '$' && quote_ != qsQuoted) {
        lineLength_ = 0;
        inLine_ = true;
        quote_ = qsInField;  // the record's tag
      } else {
        FollowQuotes(byte);
      }
      if (!inLine_) continue;
      if (lineLength_ + 1 < capacity_) lineBuffer_[lineLength_++] = byte;
      if (byte == '\n') {
        lineBuffer_[lineLength_] = '\0';
        inLine_ = false;
        quote_ = qsNoRecord;
        onLine(std::string_view(lineBuffer_.get(), lineLength_));
      }
    }
  }

  // A new connection starts with an empty line: the bytes of a line that a
  // lost connection cut go nowhere, never in front of the next connection's.
  void Reset() {
    lineLength_ = 0;
    inLine_ = true;
    quote_ = qsNoRecord;
  }

  // Bytes of the line being assembled (0 between lines).
  std::size_t PendingLength() const { return inLine_ ? lineLength_ : 0; }
  std::size_t Capacity() const { return capacity_; }

 private:
  // Where the byte stands among the fields of the record being assembled.
  enum TQuoteState : unsigned char {
    qsNoRecord,    // no "$" yet: quotes in front of a record mean nothing
    qsFieldStart,  // after a comma or a blank: a quote here opens a quoted field
    qsInField,     // inside an unquoted field, where a quote is a character
    qsQuoted,      // inside a quoted field
    qsQuoteEnd,    // a quote inside a quoted field: closes it unless a second one follows
  };

  void FollowQuotes(char byte) {
    const bool separator = byte == ',' || (byte >= 1 && byte <= 32);
    switch (quote_) {
      case qsNoRecord:
        break;
      case qsQuoted:
        if (byte == '"') quote_ = qsQuoteEnd;
        break;
      case qsQuoteEnd:
        if (byte == '"') {
          quote_ = qsQuoted;  // a doubled quote stands for one
          break;
        }
        // Text right behind a closing quote starts a field of its own.
        [[fallthrough]];
      case qsFieldStart:
        quote_ = byte == '"' ? qsQuoted : separator ? qsFieldStart : qsInField;
        break;
      case qsInField:
        if (separator) quote_ = qsFieldStart;
        break;
    }
  }

  std::size_t capacity_;
  std::unique_ptr<char[]> lineBuffer_;
  std::size_t lineLength_ = 0;
  bool inLine_ = true;
  TQuoteState quote_ = qsNoRecord;
};
