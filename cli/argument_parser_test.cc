#include "cli/argument_parser.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/command_grammar.h"

namespace {

template <typename Def = ArgumentDef>
Def Option(const char* long_name, char short_name, const char* key, int count) {
  Def def;
  def.SetLongName(long_name);
  def.SetShortName(short_name);
  def.SetKey(key);
  def.SetValueCount(count);
  return def;
}

CommandDef Command(const char* name, int remainders, const std::vector<ArgumentDef*>& defs) {
  CommandDef command;
  command.SetName(name);
  command.SetRemainderCount(remainders);
  for (const ArgumentDef* def : defs) command.AddDefinition(*def);
  return command;
}

// The tool's grammar has flags only; this one adds what it lacks:
//   global: -v/--verbose (flag), any number of bare words
//   run:    -t/--target (required, one value), --level (two values),
//           -m/--mode (one of fast, slow), exactly one bare word "file"
//   x:      only a short option, two unnamed bare words; odd: a help text of its own
void DeclareTestGrammar(ArgumentParser* parser) {
  auto verbose = Option("verbose", 'v', "verbose", 0), target = Option("target", 't', "target", 1),
       level = Option("level", '\0', "level", 2), quiet = Option("", 'q', "quiet", 0);
  auto mode = Option<ChoiceArgumentDef>("mode", 'm', "mode", 1);
  mode.AddChoice("fast");
  mode.AddChoice("slow");
  target.SetRequired(true);
  target.SetHelpText("Where to run");
  parser->global()->AddDefinition(verbose);
  CommandDef run = Command("run", 1, {&target, &level, &mode}), odd = Command("odd", -1, {});
  run.SetRemainderName("file");
  odd.SetOverrideHelpText("Just this.");
  for (const CommandDef& c : {run, Command("x", 2, {&quiet}), odd}) parser->AddCommand(c);
}

std::string Join(const std::vector<std::string>& words, const char* sep) {
  std::string text;
  for (const std::string& w : words) text += (&w == &words[0] ? "" : sep) + w;
  return text;
}

// Words are split at blanks; the outcome is "command|key=values ...|remainders|error".
TEST(ArgumentParserTest, ParseTable) {
  const struct {
    bool tool;  // the tool's grammar, else the test grammar
    const char* words;
    int result;
    const char* outcome;
  } cases[] = {
      {true, "", 0, "|||"},
      {true, "service --start --stop", 0, "service|start= stop=||"},
      {true, "--help=service", 0, "|help=service||"},
      {true, "service -h start", 0, "service|help=start||"},
      {true, "diagnose --create-archive /tmp/a.zip", 0, "diagnose|create-archive=|/tmp/a.zip|"},
      {true, "diagnose --create-archive= p", 0, "diagnose|create-archive=|p|"},
      {true, "diagnose --create-archive=p --create-archive", -1,
       "diagnose|create-archive=p||Argument 'create-archive': Expect 0 arguments, but threre are "
       "1"},
      {false, "-v run --mode fast -t x f", 0, "run|mode=fast target=x verbose=|f|"},
      {false, "run -m medium -t x f", -1,
       "run|mode=||Argument 'mode': 'medium' is not a valid argument\n"},
      {false, "run --mode=medium -t x f", 0, "run|mode=medium target=x|f|"},
      {false, "run f", -1, "run||f|Argument 'target': Required argument"},
      {false, "run -t x --level 1 --mode slow f", -1,
       "run|level=1 mode=slow target=x|f|Argument 'level': Expect 2 arguments, but threre are 1"},
      {false, "run -t x --level 1 f", -1,
       "run|level=1,f target=x||Global: Expect 1 remainders, but threre are 0"},
      {false, "-v y - -- ---x", 0, "|verbose=|y - -- ---x|"},
      {false, "x -q a b", 0, "x|quiet=|a b|"},
      {false, "-v=1", -1, "|||Argument '-v=1': '-v=1' is not a valid argument\n"},
      {false, "--=x", -1, "|||Argument '--=x': '--=x' is not a valid argument\n"},
      {false, "run run -t x", -1, "run||run|Global: '-t' is not a valid positional argument"}};
  for (const auto& c : cases) {
    ArgumentParser parser;
    c.tool ? DeclareCommandLine(&parser) : DeclareTestGrammar(&parser);
    std::vector<std::string> words;
    std::istringstream in(c.words);
    for (std::string w; in >> w;) words.push_back(w);
    std::vector<const char*> argv = {"drift-control"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    ParsedArguments result;
    EXPECT_EQ(c.result, parser.Parse(static_cast<int>(argv.size()), argv.data(), &result))
        << c.words;
    std::vector<std::string> values;
    for (const auto& entry : result.AllValues()) {
      values.push_back(entry.first + "=" + Join(result.Values(entry.first), ","));
      EXPECT_TRUE(result.HasKey(entry.first));
    }
    const std::string outcome = result.CommandName() + "|" + Join(values, " ") + "|" +
                                Join(result.Remainders(), " ") + "|" + parser.ErrorText();
    EXPECT_EQ(c.outcome, outcome) << c.words;
    EXPECT_FALSE(result.HasKey("absent") || !result.Values("absent").empty());
  }
  // The error text only grows; each parse starts from an empty result.
  ArgumentParser parser;
  DeclareCommandLine(&parser);
  ParsedArguments result;
  const char* argv[] = {"drift-control", "cleanup", "a"};
  EXPECT_EQ(-1, parser.Parse(3, argv, &result) + parser.Parse(2, argv, &result));
  EXPECT_EQ(-1, parser.Parse(3, argv, &result));
  const std::string once = "Global: Expect 0 remainders, but threre are 1";
  EXPECT_EQ(once + once, parser.ErrorText());
  EXPECT_TRUE(parser.Parse(1, argv, &result) == 0 && result.CommandName().empty() &&
              result.Remainders().empty());
}

// Pages byte for byte (the tool's own are checked on the built programs).
TEST(ArgumentParserTest, HelpPages) {
  const struct {
    const char *command, *page;
  } cases[] = {{"run",
                "\nUsage: PROGRAM run -t, --target [--level] [-m, --mode] [-h, --help] <file> \n\n"
                "Required arguments: \n    -t, --target\tWhere to run\n\nOptional arguments: \n"
                "    --level\t\n    -m, --mode\t\n    -h, --help\tShow this help message\n\n\n"},
               {"x",
                "\nUsage: PROGRAM x [-q] [-h, --help] <arguments> \n\nRequired arguments: \n\n"
                "Optional arguments: \n    -q\t\n    -h, --help\tShow this help message\n\n\n"},
               {"odd", "\nJust this.\n"}};
  for (const auto& c : cases) {
    ArgumentParser parser;
    DeclareTestGrammar(&parser);
    std::ostringstream out;
    parser.PrintHelp(c.command, out);
    EXPECT_EQ(c.page, out.str()) << c.command;
  }
}

TEST(ArgumentParserTest, DefinitionsAndScopes) {
  ArgumentDef def;
  for (const char* name : {"-bad", "good", "--worse"}) def.SetLongName(name);
  for (char c : {'-', ' ', '\0', '=', '\xc3', 'Z'}) def.SetShortName(c);
  def.SetValueText("default");
  EXPECT_EQ("[-Z, --good] default", def.UsageFragment() + " " + def.value_text());
  def.Reset();
  EXPECT_TRUE(def.long_name().empty() && def.short_name().empty() && def.value_text().empty() &&
              def.value_count() == -1 && def.AcceptsValue("any"));
  // Only definitions with a key and a name are stored; scopes keep clones of the dynamic type.
  CommandDef command = Command("n", 3, {});
  EXPECT_EQ(-2, command.AddDefinition(def) + command.AddDefinition(Option("name", 'n', "", 0)));
  auto choice = Option<ChoiceArgumentDef>("c", '\0', "c", 1);
  choice.AddChoice("a");
  choice.SetValueText("c");  // also a choice
  ASSERT_EQ(0, command.AddDefinition(choice));
  choice.AddChoice("later");
  const CommandDef copy(command);
  command.Reset();
  choice.Reset();
  const ArgumentDef* kept = copy.Find("", "c");
  ASSERT_TRUE(kept != nullptr && copy.name() == "n" && copy.remainder_count() == 3);
  EXPECT_TRUE(kept->AcceptsValue("a") && kept->AcceptsValue("c") && !kept->AcceptsValue("later"));
  EXPECT_TRUE(command.definitions().empty() && command.name().empty() &&
              command.remainder_count() == -1 && choice.choices().empty() &&
              choice.value_count() == 1);
  EXPECT_EQ("-h, --help\tShow this help message", command.help_option().HelpLine());
}

}  // namespace
