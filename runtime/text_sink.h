// Where display texts are appended: a message being printed, or a buffer.
#pragma once

#include <cstddef>
#include <string_view>

namespace wr {

class TextSink {
 public:
  // Appends UTF-8 bytes. False when the sink has failed; a failed sink
  // ignores everything appended after the failure.
  virtual bool Append(std::string_view text) = 0;

 protected:
  ~TextSink() = default;
};

}  // namespace wr
