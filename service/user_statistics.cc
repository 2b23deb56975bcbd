#include "service/user_statistics.h"

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "cli/logger.h"
#include "userdb/user_manager.h"

namespace {

// The document is written row by row in the exact form of jsoncpp's
// FastWriter (members in key order, no blanks, unsigned numbers, a line end)
// rather than built as a Json::Value first: with a hundred thousand entries
// that value took several times the memory of the rows themselves.
void AppendUnsigned(std::string* out, unsigned value) {
  char digits[16];
  const int n = snprintf(digits, sizeof(digits), "%u", value);
  out->append(digits, static_cast<size_t>(n));
}

constexpr size_t kChunk = 64 * 1024;
const char kDocumentHead[] = "{\"user\":[";

void AppendRow(const UserUsage& usage, bool first, std::string* out) {
  if (!first) out->push_back(',');
  out->append("{\"session_count\":");
  AppendUnsigned(out, static_cast<unsigned>(usage.session_count));
  out->append(",\"type\":");
  AppendUnsigned(out, static_cast<unsigned>(usage.user_type));
  out->push_back('}');
}

void AppendTail(std::string* out) {
  out->append("],\"version\":");
  out->append(std::to_string(kUserStatisticsVersion));
  out->append("}\n");
}

}  // namespace

int PrintUserStatistics() {
  // Only the two printed numbers of each row are kept until every row is
  // read (nothing is printed when reading fails); the text is then written
  // out a chunk at a time.
  UserUsage row;
  std::vector<std::pair<int, int>> counts;
  const int rc = UserManager::ForEachUserUsage([&counts](const UserUsage& usage) {
    counts.emplace_back(usage.session_count, usage.user_type);
  });
  if (rc < 0) {
    Logger::Log(3, "service_ctrl_debug", "[ERROR] service-ctrl(%d): failed to collect user data",
                __LINE__);
    return -1;
  }
  std::string text = kDocumentHead;
  text.reserve(kChunk + 64);
  for (size_t i = 0; i < counts.size(); ++i) {
    row.session_count = counts[i].first;
    row.user_type = counts[i].second;
    AppendRow(row, i == 0, &text);
    if (text.size() >= kChunk) {
      fwrite(text.data(), 1, text.size(), stdout);
      text.clear();
    }
  }
  AppendTail(&text);
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  return 0;
}
