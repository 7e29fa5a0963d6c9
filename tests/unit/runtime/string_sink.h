// Text sinks for the runtime tests: one that collects every append, and one
// that starts failing after a given number of appends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/text_sink.h"

namespace wr::testing {

class StringSink : public TextSink {
 public:
  // Appends beyond `good_appends` fail, and so does everything after them.
  explicit StringSink(std::size_t good_appends = static_cast<std::size_t>(-1)) : good_appends_(good_appends) {}

  bool Append(std::string_view piece) override {
    ++attempts;
    if (failed_ || pieces.size() >= good_appends_) {
      failed_ = true;
      return false;
    }
    pieces.emplace_back(piece);
    text.append(piece);
    return true;
  }

  std::string text;
  std::vector<std::string> pieces;
  std::size_t attempts = 0;

 private:
  std::size_t good_appends_;
  bool failed_ = false;
};

}  // namespace wr::testing
