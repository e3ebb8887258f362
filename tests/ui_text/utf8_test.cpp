// Tests of the UTF-8 decoder: well-formed ranges, maximal ill-formed subparts and the stress corpus.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ui/text.h"

namespace {

struct Step {
  int valid;
  unsigned cp;
  int advance;
};

std::vector<Step> decodeAll(const std::string& bytes) {
  std::vector<Step> out;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  int pos = 0, valid = -1;
  unsigned cp = 12345;
  for (;;) {
    const int before = pos;
    const int rc = utf8_get_next_char(p, static_cast<int>(bytes.size()), &pos, &valid, &cp);
    if (rc == -1) {
      EXPECT_EQ(pos, before) << "the end must not move the position";
      break;
    }
    EXPECT_EQ(rc, 1);
    out.push_back({valid, cp, pos - before});
    if (out.size() > bytes.size()) {
      ADD_FAILURE() << "decoder does not advance";
      break;
    }
  }
  return out;
}

std::string hexSteps(const std::vector<Step>& steps) {
  std::string s;
  char buf[40];
  for (const Step& st : steps) {
    snprintf(buf, sizeof buf, "(%d,%X,%d)", st.valid, st.cp, st.advance);
    s += buf;
  }
  return s;
}

std::string S(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

TEST(Utf8Decoder, WellFormedBoundariesOfEveryRow) {
  struct Case {
    std::string bytes;
    unsigned cp;
  } cases[] = {
      {S({0x00}), 0x0},
      {S({0x7F}), 0x7F},
      {S({0xC2, 0x80}), 0x80},
      {S({0xC2, 0xB0}), 176},  // degree sign
      {S({0xDF, 0xBF}), 0x7FF},
      {S({0xE0, 0xA0, 0x80}), 0x800},
      {S({0xE2, 0x82, 0xAC}), 0x20AC},
      {S({0xEC, 0xBF, 0xBF}), 0xCFFF},
      {S({0xED, 0x80, 0x80}), 0xD000},
      {S({0xED, 0x9F, 0xBF}), 0xD7FF},
      {S({0xEE, 0x80, 0x80}), 0xE000},
      {S({0xEF, 0xBF, 0xBF}), 0xFFFF},
      {S({0xF0, 0x90, 0x80, 0x80}), 0x10000},
      {S({0xF1, 0x80, 0x80, 0x80}), 0x40000},
      {S({0xF3, 0xBF, 0xBF, 0xBF}), 0xFFFFF},
      {S({0xF4, 0x80, 0x80, 0x80}), 0x100000},
      {S({0xF4, 0x8F, 0xBF, 0xBF}), 0x10FFFF},
  };
  for (const Case& c : cases) {
    auto steps = decodeAll(c.bytes);
    ASSERT_EQ(steps.size(), 1u) << hexSteps(steps);
    EXPECT_EQ(steps[0].valid, 1) << std::hex << c.cp;
    EXPECT_EQ(steps[0].cp, c.cp);
    EXPECT_EQ(steps[0].advance, static_cast<int>(c.bytes.size()));
  }
}

// Each ill-formed sequence is replaced by one invalid character per maximal subpart.
TEST(Utf8Decoder, IllFormedSequencesAdvanceByTheirMaximalSubpart) {
  struct Case {
    std::string bytes;
    std::string expect;  // (valid, cp, advance) per character
  } cases[] = {
      {S({0x80}), "(0,0,1)"},
      {S({0xBF, 0x41}), "(0,0,1)(1,41,1)"},
      {S({0xC0, 0x80}), "(0,0,1)(0,0,1)"},
      {S({0xC1, 0xBF}), "(0,0,1)(0,0,1)"},
      {S({0xF5, 0x80, 0x80, 0x80}), "(0,0,1)(0,0,1)(0,0,1)(0,0,1)"},
      {S({0xFF}), "(0,0,1)"},
      {S({0xC2, 0x41}), "(0,0,1)(1,41,1)"},
      {S({0xC2}), "(0,0,1)"},
      {S({0xE0, 0x9F, 0x80}), "(0,0,1)(0,0,1)(0,0,1)"},  // overlong
      {S({0xED, 0xA0, 0x80}), "(0,0,1)(0,0,1)(0,0,1)"},  // surrogate
      {S({0xE2, 0x82}), "(0,0,2)"},                      // cut off by the end of the text
      {S({0xE2, 0x82, 0x41}), "(0,0,2)(1,41,1)"},
      {S({0xE1, 0x41}), "(0,0,1)(1,41,1)"},
      {S({0xF0, 0x8F, 0x80, 0x80}), "(0,0,1)(0,0,1)(0,0,1)(0,0,1)"},  // overlong
      {S({0xF4, 0x90, 0x80, 0x80}), "(0,0,1)(0,0,1)(0,0,1)(0,0,1)"},  // above U+10FFFF
      {S({0xF0, 0x9F, 0x98}), "(0,0,3)"},
      {S({0xF0, 0x9F, 0x98, 0x41}), "(0,0,3)(1,41,1)"},
      {S({0xF1, 0x80}), "(0,0,2)"},
      {S({0xF3, 0x80, 0x80, 0xC0}), "(0,0,3)(0,0,1)"},
      {S({0x41, 0xFF, 0x42}), "(1,41,1)(0,0,1)(1,42,1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(hexSteps(decodeAll(c.bytes)), c.expect) << c.expect;
}

TEST(Utf8Decoder, EndAndBadPositions) {
  const unsigned char text[] = "AB";
  int pos = 2, valid = 7;
  unsigned cp = 99;
  EXPECT_EQ(utf8_get_next_char(text, 2, &pos, &valid, &cp), -1);
  pos = 5;
  EXPECT_EQ(utf8_get_next_char(text, 2, &pos, &valid, &cp), -1);
  pos = -1;
  EXPECT_EQ(utf8_get_next_char(text, 2, &pos, &valid, &cp), -1);
  pos = 0;
  EXPECT_EQ(utf8_get_next_char(text, 0, &pos, &valid, &cp), -1);
  EXPECT_EQ(utf8_get_next_char(nullptr, 2, &pos, &valid, &cp), -1);
  // The length is honoured even when the bytes go on.
  const unsigned char three[] = {0xE2, 0x82, 0xAC, 0};
  pos = 0;
  EXPECT_EQ(utf8_get_next_char(three, 2, &pos, &valid, &cp), 1);
  EXPECT_EQ(valid, 0);
  EXPECT_EQ(pos, 2);
}

// Markus Kuhn's stress test, line by line, against a decoder that replaces each maximal
// ill-formed subpart with U+FFFD.
TEST(Utf8Decoder, StressCorpusMatchesReferenceDecoding) {
  const std::string dir = std::string(KORVANE_CORPORA) + "/utf8/";
  std::ifstream in(dir + "UTF-8-test.txt", std::ios::binary);
  std::ifstream ex(dir + "UTF-8-test.expected.txt", std::ios::binary);
  if (!in || !ex) GTEST_SKIP() << "corpus not found under " << dir;
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string all = ss.str();
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t nl = all.find('\n', start);
    lines.push_back(all.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  std::string exLine;
  size_t checked = 0, invalidSeen = 0;
  while (std::getline(ex, exLine)) {
    const size_t tab = exLine.find('\t');
    ASSERT_NE(tab, std::string::npos);
    const size_t lineNo = std::stoul(exLine.substr(0, tab));
    ASSERT_GE(lineNo, 1u);
    ASSERT_LE(lineNo, lines.size());
    std::string got;
    char buf[16];
    for (const Step& st : decodeAll(lines[lineNo - 1])) {
      snprintf(buf, sizeof buf, "%X", st.valid ? st.cp : 0xFFFDu);
      if (!st.valid) ++invalidSeen;
      if (!got.empty()) got += ' ';
      got += buf;
    }
    EXPECT_EQ(got, exLine.substr(tab + 1)) << "line " << lineNo;
    ++checked;
  }
  EXPECT_EQ(checked, lines.size());
  EXPECT_GT(invalidSeen, 100u);
}

}  // namespace
