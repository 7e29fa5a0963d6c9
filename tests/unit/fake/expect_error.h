// Checks of IoError values shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/system.h"
#include "runtime/io_error.h"

namespace wr::testing {

inline bool IsFixed(const IoError& error, const FixedRecord& record) {
  return error.variant() == IoError::Variant::FixedMessage && &error.fixed() == &record;
}

inline bool IsOsCode(const IoError& error, Dword code) {
  return error.variant() == IoError::Variant::OsCode && error.os_code() == static_cast<std::int32_t>(code);
}

// The error is the given fixed record itself, not a copy of its text.
inline void ExpectFixed(const IoError& error, const FixedRecord& record) {
  ASSERT_EQ(error.variant(), IoError::Variant::FixedMessage);
  EXPECT_EQ(&error.fixed(), &record) << error.fixed().text;
}

inline void ExpectOsCode(const IoError& error, std::int32_t code) {
  ASSERT_EQ(error.variant(), IoError::Variant::OsCode);
  EXPECT_EQ(error.os_code(), code);
}

}  // namespace wr::testing
