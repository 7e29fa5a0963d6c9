// How system queries that answer in UTF-16 are called: into a 512-unit
// buffer on the stack first, and into a heap buffer only when the answer
// is longer.
#pragma once

#include <type_traits>

#include "platform/system.h"
#include "runtime/grow_buffer.h"
#include "runtime/result.h"

namespace wr {

inline constexpr Dword kFirstWideBufferUnits = 512;

// One call of the query: fills `buffer` (room for `size` units) and returns
// the length the system function returned.
using WideQueryCall = Dword (*)(void* context, char16_t* buffer, Dword size);

// The text the query produced (no terminating zero), or the system error
// of a query that returned 0 with a last error set.
Result<WideText> FillWideBufferWith(System& os, WideQueryCall call, void* context);

template <class Query>
Result<WideText> FillWideBuffer(System& os, Query&& query) {
  using Callable = std::remove_reference_t<Query>;
  return FillWideBufferWith(
      os,
      [](void* context, char16_t* buffer, Dword size) -> Dword {
        return (*static_cast<Callable*>(context))(buffer, size);
      },
      // Cast back to Callable*, const when the query is, before any use.
      const_cast<void*>(static_cast<const void*>(&query)));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
}

}  // namespace wr
