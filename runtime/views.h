// Non-throwing slices of string views. The standard substr() checks its
// position by throwing, which would drag the whole exception runtime into
// the product; these clamp instead (callers never ask past the end).
#pragma once

#include <cstddef>
#include <string_view>

namespace wr {

template <class Char>
std::basic_string_view<Char> Head(std::basic_string_view<Char> view, std::size_t count) {
  return {view.data(), count < view.size() ? count : view.size()};
}

template <class Char>
std::basic_string_view<Char> Tail(std::basic_string_view<Char> view, std::size_t from) {
  if (from > view.size()) from = view.size();
  return {view.data() + from, view.size() - from};
}

}  // namespace wr
