// Feeds arbitrary command lines to drift-control's grammar, the way main
// does: the input is split at NUL bytes into argv[1..] (a command line can
// hold any byte but NUL).  Whatever the words, Parse must either fail with a
// message, or return a result the command handlers can trust; and the help
// page of whatever command was chosen must print.
#include <stddef.h>
#include <stdint.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/argument_parser.h"
#include "cli/command_grammar.h"

namespace {

// More words than this add nothing that fewer cannot reach.
const size_t kMaxWords = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words;
  const char* text = reinterpret_cast<const char*>(data);
  size_t start = 0;
  for (size_t i = 0; i <= size && words.size() < kMaxWords; ++i) {
    if (i == size || text[i] == '\0') {
      if (i > start || i < size) words.emplace_back(text + start, i - start);
      start = i + 1;
    }
  }
  std::vector<const char*> argv;
  argv.push_back("drift-control");
  for (const std::string& word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);

  ArgumentParser parser;
  DeclareCommandLine(&parser);
  ParsedArguments parsed;
  const int rc = parser.Parse(static_cast<int>(argv.size()) - 1, argv.data(), &parsed);
  if (rc != 0 && rc != -1) __builtin_trap();
  if (rc == -1 && parser.ErrorText().empty()) __builtin_trap();
  if (rc == 0 && !parser.ErrorText().empty()) __builtin_trap();

  const std::string& command = parsed.CommandName();
  if (!command.empty() && command != "diagnose" && command != "service" && command != "cleanup") {
    __builtin_trap();
  }
  if (rc == 0) {
    // Only the chosen scope's flags and the help option can be present; a
    // flag carries no value; service and cleanup take no bare words.
    std::set<std::string> allowed = {"help"};
    if (command == "diagnose") allowed.insert({"output-stdout", "create-archive"});
    if (command == "service") allowed.insert({"start", "stop", "status", "collect-user-data"});
    for (const auto& entry : parsed.AllValues()) {
      if (allowed.count(entry.first) == 0) __builtin_trap();
      if (entry.first != "help" && !entry.second.empty()) __builtin_trap();
    }
    if ((command == "service" || command == "cleanup") && !parsed.Remainders().empty()) {
      __builtin_trap();
    }
  }

  // main prints the help page of the chosen command after a failed parse or
  // when asked for it.
  std::ostringstream help;
  parser.PrintHelp(command, help);
  if (help.str().compare(0, 22, "\nUsage: drift-control ") != 0) __builtin_trap();
  return 0;
}
