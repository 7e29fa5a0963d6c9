// Comparing the program's output with the text it should have written.
// GoogleTest shows two differing strings whole, with every byte outside
// ASCII as an escape: a transcript in Cyrillic becomes pages of \xD0\x9E.
// SameText shows only the lines that differ, as text (UTF-8), with a few
// lines of context in the unified-diff layout, and names the file that
// holds the expected texts.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace wr::e2e {

// The differing lines of two texts as a unified diff (three lines of
// context), labelled with `expected_label` and `actual_label`. Control
// characters other than the line feed, and bytes that are not UTF-8, are
// shown as escapes (\r, \x1b, \xD0 ...). Empty when the texts are equal.
std::string TextDiff(std::string_view expected, std::string_view actual, const std::string& expected_label,
                     const std::string& actual_label);

// A predicate-formatter for EXPECT_PRED_FORMAT2: the actual text first, the
// expected one second.
::testing::AssertionResult SameText(const char* actual_expression, const char* expected_expression,
                                    std::string_view actual, std::string_view expected);

}  // namespace wr::e2e

#define EXPECT_SAME_TEXT(actual, expected) EXPECT_PRED_FORMAT2(::wr::e2e::SameText, actual, expected)
