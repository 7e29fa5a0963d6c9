#include "console/console_writer.h"
#include "runtime/views.h"

#include <cstdlib>
#include <cstring>

namespace wr {

// Marks the buffer as being written for one call. The lock is re-entrant, so
// only this catches the owner coming back into the buffer from inside a
// write (through the device layer), which would corrupt its contents.
class ConsoleWriter::BufferUse {
 public:
  explicit BufferUse(ConsoleWriter& writer) : writer_(writer) {
    if (writer_.busy_) writer_.os_.FatalStop();
    writer_.busy_ = true;
  }
  ~BufferUse() { writer_.busy_ = false; }
  BufferUse(const BufferUse&) = delete;
  BufferUse& operator=(const BufferUse&) = delete;

 private:
  ConsoleWriter& writer_;
};

// Where a composed message goes: every piece through the line buffer until
// the first failure; after that everything is refused.
class ConsoleWriter::LockedSink final : public TextSink {
 public:
  explicit LockedSink(ConsoleWriter& writer) : writer_(writer) {}
  bool Append(std::string_view text) override {
    if (failed_) return false;
    if (!writer_.WritePiece(text)) failed_ = true;
    return !failed_;
  }
  bool failed() const { return failed_; }

 private:
  ConsoleWriter& writer_;
  bool failed_ = false;
};

ConsoleWriter::ConsoleWriter(System& os) : os_(os), buffer_(static_cast<std::uint8_t*>(std::malloc(kCapacity))) {
  if (buffer_ == nullptr) os_.FatalStop();
}

ConsoleWriter::~ConsoleWriter() { std::free(buffer_); }

void ConsoleWriter::Print(std::initializer_list<std::string_view> pieces) {
  bool failed = false;
  {
    LockHolder<ReentrantLock> hold(os_, lock_);
    for (std::string_view piece : pieces) {
      if (!WritePiece(piece)) {
        failed = true;
        break;
      }
    }
  }
  // The error itself is never shown. The stop comes only after the release,
  // so nothing that looks at the writer afterwards finds it locked.
  if (failed) os_.FatalStop();
}

void ConsoleWriter::PrintLocked(void (*compose)(TextSink&, void*), void* context) {
  bool failed = false;
  {
    LockHolder<ReentrantLock> hold(os_, lock_);
    LockedSink sink(*this);
    compose(sink, context);
    failed = sink.failed();
  }
  if (failed) os_.FatalStop();
}

Status ConsoleWriter::WriteAll(std::string_view bytes) {
  LockHolder<ReentrantLock> hold(os_, lock_);
  return WritePiece(bytes);
}

Status ConsoleWriter::Flush() {
  LockHolder<ReentrantLock> hold(os_, lock_);
  BufferUse use(*this);
  return FlushBuffer();
}

Status ConsoleWriter::WritePiece(std::string_view piece) {
  BufferUse use(*this);
  return LineBufferedWriteAll(piece);
}

Status ConsoleWriter::LineBufferedWriteAll(std::string_view piece) {
  const std::size_t last_line_feed = piece.rfind('\n');
  if (last_line_feed == std::string_view::npos) {
    // A line completed by an earlier piece goes out before text of the next
    // line is added behind it.
    if (length_ != 0 && buffer_[length_ - 1] == '\n') {
      Status flushed = FlushBuffer();
      if (!flushed) return flushed;
    }
    return BufferedWriteAll(piece);
  }
  const std::string_view head = Head(piece, last_line_feed + 1);
  const std::string_view tail = Tail(piece, last_line_feed + 1);
  if (length_ == 0) {
    Status written = WriteAllUnbuffered(os_, Stream::Output, head, carry_);
    if (!written) return written;
  } else {
    Status buffered = BufferedWriteAll(head);
    if (!buffered) return buffered;
    Status flushed = FlushBuffer();
    if (!flushed) return flushed;
  }
  return BufferedWriteAll(tail);
}

Status ConsoleWriter::BufferedWriteAll(std::string_view piece) {
  if (piece.size() < kCapacity - length_) {
    std::memcpy(buffer_ + length_, piece.data(), piece.size());
    length_ += piece.size();
    return Success();
  }
  if (piece.size() > kCapacity - length_) {
    Status flushed = FlushBuffer();
    if (!flushed) return flushed;
  }
  if (piece.size() < kCapacity) {
    if (piece.size() > kCapacity - length_) os_.FatalStop();
    std::memcpy(buffer_ + length_, piece.data(), piece.size());
    length_ += piece.size();
    return Success();
  }
  if (length_ != 0) os_.FatalStop();
  return WriteAllUnbuffered(os_, Stream::Output, piece, carry_);
}

Status ConsoleWriter::FlushBuffer() {
  std::size_t sent = 0;
  Status outcome = SendBuffered(sent);
  // Whatever happened, what went out leaves the buffer, so a later flush
  // neither repeats it nor loses the rest.
  if (sent != 0) {
    std::memmove(buffer_, buffer_ + sent, length_ - sent);
    length_ -= sent;
  }
  return outcome;
}

Status ConsoleWriter::SendBuffered(std::size_t& sent) {
  while (sent < length_) {
    const std::string_view rest(reinterpret_cast<const char*>(buffer_) + sent, length_ - sent);
    Result<std::size_t> written = DeviceWrite(os_, Stream::Output, rest, carry_);
    if (!written) {
      // Standard output closed or absent: the text is dropped as if shown.
      if (OsCodeOf(written.error()) == std::int32_t{ERROR_INVALID_HANDLE}) {
        sent = length_;
        break;
      }
      if (IsInterrupted(written.error())) continue;
      return std::move(written.error());
    }
    if (written.value() == 0) return IoError::Fixed(fixed::kWriteBufferedData);
    sent += written.value();
  }
  return Success();
}

}  // namespace wr
