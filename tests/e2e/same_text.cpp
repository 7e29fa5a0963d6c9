#include "tests/e2e/same_text.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tests/e2e/expected_texts.h"

namespace wr::e2e {
namespace {

constexpr std::size_t kContext = 3;
// Beyond this many lines on a side the table of common runs would be too
// large; the diff then starts at the first and ends at the last differing
// line, which is still short for texts that differ in one place.
constexpr std::size_t kMostLinesCompared = 4000;

struct Lines {
  std::vector<std::string_view> lines;
  bool ends_with_line_feed = false;
};

Lines SplitLines(std::string_view text) {
  Lines split;
  split.ends_with_line_feed = !text.empty() && text.back() == '\n';
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      split.lines.push_back(text);
      break;
    }
    split.lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return split;
}

// The length of the UTF-8 sequence at the front of `text`, 0 if none.
std::size_t Utf8Length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (length == 0 || text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

std::string Readable(std::string_view line) {
  std::string shown;
  while (!line.empty()) {
    const auto c = static_cast<unsigned char>(line[0]);
    std::size_t taken = 1;
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      shown += escape;
    } else if (c < 0x80) {
      shown += static_cast<char>(c);
    } else if ((taken = Utf8Length(line)) != 0) {
      shown.append(line.substr(0, taken));
    } else {
      taken = 1;
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      shown += escape;
    }
    line.remove_prefix(taken);
  }
  return shown;
}

// One line of the edit: ' ' both, '-' expected only, '+' actual only.
struct Step {
  char kind;
  std::size_t expected_line;  // the next line of each side, counted from 0
  std::size_t actual_line;
  std::string_view text;
};

std::vector<Step> Edit(const std::vector<std::string_view>& expected, const std::vector<std::string_view>& actual) {
  // Common head and tail first: most failures differ in a few lines.
  std::size_t head = 0;
  while (head < expected.size() && head < actual.size() && expected[head] == actual[head]) ++head;
  std::size_t tail = 0;
  while (tail < expected.size() - head && tail < actual.size() - head &&
         expected[expected.size() - 1 - tail] == actual[actual.size() - 1 - tail]) {
    ++tail;
  }
  const std::size_t n = expected.size() - head - tail;
  const std::size_t m = actual.size() - head - tail;
  std::vector<Step> steps;
  for (std::size_t i = 0; i < head; ++i) steps.push_back({' ', i, i, expected[i]});
  if (n > kMostLinesCompared || m > kMostLinesCompared) {
    for (std::size_t i = 0; i < n; ++i) steps.push_back({'-', head + i, head + m, expected[head + i]});
    for (std::size_t j = 0; j < m; ++j) steps.push_back({'+', head + n, head + j, actual[head + j]});
  } else {
    // common[i][j]: the longest common run of lines from i and j on.
    std::vector<std::vector<std::size_t>> common(n + 1, std::vector<std::size_t>(m + 1, 0));
    for (std::size_t i = n; i-- > 0;) {
      for (std::size_t j = m; j-- > 0;) {
        common[i][j] = expected[head + i] == actual[head + j] ? common[i + 1][j + 1] + 1
                                                              : std::max(common[i + 1][j], common[i][j + 1]);
      }
    }
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && expected[head + i] == actual[head + j]) {
        steps.push_back({' ', head + i, head + j, expected[head + i]});
        ++i;
        ++j;
      } else if (i < n && (j == m || common[i + 1][j] >= common[i][j + 1])) {
        steps.push_back({'-', head + i, head + j, expected[head + i]});
        ++i;
      } else {
        steps.push_back({'+', head + i, head + j, actual[head + j]});
        ++j;
      }
    }
  }
  for (std::size_t k = 0; k < tail; ++k) {
    steps.push_back({' ', head + n + k, head + m + k, expected[head + n + k]});
  }
  return steps;
}

std::string HunkRange(std::size_t first, std::size_t count) {
  // Unified-diff numbering: lines from 1; an empty range names the line before it.
  return std::to_string(count == 0 ? first : first + 1) + "," + std::to_string(count);
}

}  // namespace

std::string TextDiff(std::string_view expected, std::string_view actual, const std::string& expected_label,
                     const std::string& actual_label) {
  if (expected == actual) return {};
  const Lines want = SplitLines(expected);
  const Lines got = SplitLines(actual);
  std::string out = "--- " + expected_label + "\n+++ " + actual_label + "\n";
  if (want.lines == got.lines) {
    // Only the line feed at the very end differs.
    return out + "(the same lines; the " + (want.ends_with_line_feed ? "expected" : "actual") +
           " text alone ends with a line feed)\n";
  }
  const std::vector<Step> steps = Edit(want.lines, got.lines);
  std::size_t at = 0;
  while (at < steps.size()) {
    while (at < steps.size() && steps[at].kind == ' ') ++at;
    if (at == steps.size()) break;
    // A hunk: the changes from here on, joined while fewer than two
    // contexts of unchanged lines lie between them.
    const std::size_t begin = at >= kContext ? at - kContext : 0;
    std::size_t end = at;
    while (end < steps.size()) {
      std::size_t next = end;
      while (next < steps.size() && steps[next].kind != ' ') ++next;
      std::size_t same = next;
      while (same < steps.size() && steps[same].kind == ' ') ++same;
      if (same == steps.size() || same - next > 2 * kContext) {
        end = std::min(steps.size(), next + kContext);
        break;
      }
      end = same;
    }
    std::size_t expected_count = 0;
    std::size_t actual_count = 0;
    for (std::size_t k = begin; k < end; ++k) {
      expected_count += steps[k].kind != '+';
      actual_count += steps[k].kind != '-';
    }
    out += "@@ -" + HunkRange(steps[begin].expected_line, expected_count) + " +" +
           HunkRange(steps[begin].actual_line, actual_count) + " @@\n";
    for (std::size_t k = begin; k < end; ++k) out += steps[k].kind + Readable(steps[k].text) + "\n";
    at = end;
  }
  if (want.ends_with_line_feed != got.ends_with_line_feed) {
    out += std::string("(the ") + (want.ends_with_line_feed ? "expected" : "actual") +
           " text alone ends with a line feed)\n";
  }
  return out;
}

::testing::AssertionResult SameText(const char* actual_expression, const char* expected_expression,
                                    std::string_view actual, std::string_view expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::string source(kExpectedTextsFile);
  if (source.rfind("./", 0) == 0) source.erase(0, 2);
  return ::testing::AssertionFailure() << actual_expression << " differs from " << expected_expression << ":\n"
                                       << TextDiff(expected, actual, "expected (" + source + ")",
                                                   std::string("actual (") + actual_expression + ")");
}

}  // namespace wr::e2e
