// Normalises real text in many scripts to NFC and NFD through ustring.  Built
// twice (cli/CMakeLists.txt): normalisation_check_reference in the ordinary
// way, with ICU's shared libraries and their full data, and
// normalisation_check linked like the drift-control programs, with the
// filtered data package they carry.
//
//   normalisation_check_reference --write FILE   writes its results to FILE
//   normalisation_check --compare FILE           fails on any result that
//                                                differs from FILE's
//
// Both also fail on a row whose result is empty (ICU failed), whose NFD does
// not compose back to its NFC, or that changes (or not) against `changes`.
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/ustring.h"

namespace {

struct Row {
  const char* name;
  const char* text;
  bool changes;  // NFC or NFD differs from the text as written
};

const Row kRows[] = {
    // Combining marks to compose, out of canonical order, and the Angstrom sign.
    {"latin", "Cafe\u0301 na\u0303o Zu\u0308rich \u212Bngstro\u0308m q\u0307\u0323", true},
    {"vietnamese", "Tiếng Việt có dấu, người Hà Nội", true},
    {"greek", "Ἀθῆναι, ἄστυ τί\u037E", true},
    {"cyrillic", "Йод, ёлка, їжак, и\u0306", true},
    {"hangul_syllables", "한국어 문장입니다", true},
    {"hangul_jamo", "\u1112\u1161\u11AB\u1100\u1173\u11AF \u1100\u1161", true},
    // क़ and ज़ are never composed (NFC decomposes them too).
    {"devanagari", "\u0958\u093F\u0932\u093E \u095B\u093F\u0902\u0926\u0917\u0940 हिन्दी", true},
    // Shadda before fatha is reordered; alef with madda or hamza decomposes.
    {"arabic", "آمن إلى أحمد \u0645\u0651\u064E\u062D\u0645\u062F", true},
    // Dagesh before sheva, and the presentation form of shin with its dot.
    {"hebrew_points", "\u05D1\u05BC\u05B0\u05E8\u05B5\u05D0\u05E9\u05C1\u05B4\u05D9\u05EA \uFB2A",
     true},
    {"kana_dakuten", "がぎぐ パピプ か\u3099 ｶﾞ", true},
    // Compatibility ideographs map to their unified ones, one beyond U+FFFF.
    {"cjk", "漢字 中文 日本語 \uF900 \U0002F800", true},
    {"emoji", "👍🏽 👩🏾‍💻 👨‍👩‍👧 🇯🇵 ❤️", false},
};

std::string Units(const ustring& s) {
  std::string out;
  const char16_t* units = s.utf16();
  for (ustring::size_type i = 0; i < s.utf16_length(); ++i) {
    char unit[8];
    snprintf(unit, sizeof unit, " %04X", static_cast<unsigned>(units[i]));
    out += unit;
  }
  return out;
}

// One line per row and form; counts the rows that fail by themselves.
std::vector<std::string> Normalise(int* failures) {
  std::vector<std::string> lines;
  for (const Row& row : kRows) {
    const ustring text(row.text);
    ustring nfc, nfd, composed;
    nfc.normalize(text, ustring::kNFC);
    nfd.normalize(text, ustring::kNFD);
    composed.normalize(nfd, ustring::kNFC);
    const bool changes = nfc != text || nfd != text;
    if (nfc.empty() || nfd.empty() || composed != nfc || changes != row.changes) {
      fprintf(stderr, "%s: NFC%s, NFD%s, NFC of NFD%s\n", row.name, Units(nfc).c_str(),
              Units(nfd).c_str(), Units(composed).c_str());
      ++*failures;
    }
    lines.push_back(std::string(row.name) + " NFC" + Units(nfc));
    lines.push_back(std::string(row.name) + " NFD" + Units(nfd));
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  const bool write = argc == 3 && strcmp(argv[1], "--write") == 0;
  if (!write && !(argc == 3 && strcmp(argv[1], "--compare") == 0)) {
    fprintf(stderr, "usage: %s --write|--compare FILE\n", argv[0]);
    return 2;
  }
  int failures = 0;
  const std::vector<std::string> lines = Normalise(&failures);
  if (write) {
    std::ofstream out(argv[2]);
    for (const std::string& line : lines) out << line << '\n';
    if (!out.flush()) {
      fprintf(stderr, "cannot write %s\n", argv[2]);
      return 1;
    }
  } else {
    std::ifstream in(argv[2]);
    std::vector<std::string> reference;
    for (std::string line; std::getline(in, line);) reference.push_back(line);
    if (reference.size() != lines.size()) {
      fprintf(stderr, "%s has %zu results, expected %zu\n", argv[2], reference.size(),
              lines.size());
      return 1;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == reference[i]) continue;
      fprintf(stderr, "with the programs' data: %s\nwith ICU's full data:   %s\n", lines[i].c_str(),
              reference[i].c_str());
      ++failures;
    }
  }
  printf("%zu rows: %d failed\n", sizeof kRows / sizeof kRows[0], failures);
  return failures == 0 ? 0 : 1;
}
