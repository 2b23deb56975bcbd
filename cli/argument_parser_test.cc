#include "cli/argument_parser.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_grammar.h"
#include "cli/help_pages_expected.h"

namespace {

ArgumentDef Option(const char* long_name, char short_name, const char* key, int count) {
  ArgumentDef def;
  def.SetLongName(long_name);
  def.SetShortName(short_name);
  def.SetKey(key);
  def.SetValueCount(count);
  return def;
}

// The tool's grammar has flags only; this one adds what it lacks:
//   global: -v/--verbose (flag), any number of bare words
//   run:    -t/--target (required, one value), --level (two values),
//           -m/--mode (one of fast, slow), exactly one bare word "file"
//   x:      only a short option, two unnamed bare words; odd: a help text of its own
void DeclareTestGrammar(ArgumentParser* parser) {
  parser->global()->AddDefinition(Option("verbose", 'v', "verbose", 0));
  CommandDef run, x, odd;
  run.SetName("run");
  run.SetRemainderCount(1);
  run.SetRemainderName("file");
  ArgumentDef target = Option("target", 't', "target", 1);
  target.SetRequired(true);
  target.SetHelpText("Where to run");
  run.AddDefinition(target);
  run.AddDefinition(Option("level", '\0', "level", 2));
  ChoiceArgumentDef mode;
  mode.SetLongName("mode");
  mode.SetShortName('m');
  mode.SetKey("mode");
  mode.AddChoice("fast");
  mode.AddChoice("slow");
  run.AddDefinition(mode);
  x.SetName("x");
  x.SetRemainderCount(2);
  x.AddDefinition(Option("", 'q', "quiet", 0));
  odd.SetName("odd");
  odd.SetOverrideHelpText("Just this.");
  for (const CommandDef* c : {&run, &x, &odd}) parser->AddCommand(*c);
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
      {true, "service --help --help", 0, "service|help=||"},
      {true, "--status", -1, "|||Argument '--status': '--status' is not a valid argument\n"},
      {true, "diagnose --create-archive /tmp/a.zip", 0, "diagnose|create-archive=|/tmp/a.zip|"},
      {true, "diagnose --create-archive= p", 0, "diagnose|create-archive=|p|"},
      {true, "diagnose --create-archive=p --create-archive", -1,
       "diagnose|create-archive=p||Argument 'create-archive': Expect 0 arguments, but threre are "
       "1"},
      {false, "run --mode fast -t x f", 0, "run|mode=fast target=x|f|"},
      {false, "run -m medium -t x f", -1,
       "run|mode=||Argument 'mode': 'medium' is not a valid argument\n"},
      {false, "run --mode=medium -t x f", 0, "run|mode=medium target=x|f|"},
      {false, "run f", -1, "run||f|Argument 'target': Required argument"},
      {false, "run -t x --level 1 --mode slow f", -1,
       "run|level=1 mode=slow target=x|f|Argument 'level': Expect 2 arguments, but threre are 1"},
      {false, "run -t x --level 1 f", -1,
       "run|level=1,f target=x||Global: Expect 1 remainders, but threre are 0"},
      {false, "run -t x -t y f", -1, "run|target=x||Argument 'target': Expect 1 argument(s)\n"},
      {false, "-v run -t x f", 0, "run|target=x verbose=|f|"},
      {false, "-v y - -- ---x", 0, "|verbose=|y - -- ---x|"},
      {false, "x -q a b", 0, "x|quiet=|a b|"},
      {false, "--verbose=1", -1,
       "|verbose=1||Argument 'verbose': Expect 0 arguments, but threre are 1"},
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
  const char* bad[] = {"drift-control", "cleanup", "a"};
  const char* good[] = {"drift-control", "service", "--status"};
  EXPECT_EQ(-1, parser.Parse(3, bad, &result));
  EXPECT_EQ(0, parser.Parse(3, good, &result));
  EXPECT_EQ(-1, parser.Parse(2, bad, &result) + parser.Parse(3, bad, &result));
  EXPECT_EQ(
      "Global: Expect 0 remainders, but threre are 1Global: Expect 0 remainders, but threre are 1",
      parser.ErrorText());
  EXPECT_EQ(0, parser.Parse(1, good, &result));
  EXPECT_TRUE(result.CommandName().empty() && result.AllValues().empty() &&
              result.Remainders().empty());
}

// Pages byte for byte; a name that is no command gives the global page.
TEST(ArgumentParserTest, HelpPages) {
  const struct {
    bool tool;
    const char* command;
    std::string page;
  } cases[] = {{true, "", expected_help::kGlobal},
               {true, "Service", expected_help::kGlobal},
               {true, "service", expected_help::kService},
               {true, "diagnose", expected_help::kDiagnose},
               {true, "cleanup", expected_help::kCleanup},
               {false, "run",
                "\nUsage: PROGRAM run -t, --target [--level] [-m, --mode] [-h, --help] <file> \n\n"
                "Required arguments: \n    -t, --target\tWhere to run\n\nOptional arguments: \n"
                "    --level\t\n    -m, --mode\t\n    -h, --help\tShow this help message\n\n\n"},
               {false, "x",
                "\nUsage: PROGRAM x [-q] [-h, --help] <arguments> \n\nRequired arguments: \n\n"
                "Optional arguments: \n    -q\t\n    -h, --help\tShow this help message\n\n\n"},
               {false, "odd", "\nJust this.\n"}};
  for (const auto& c : cases) {
    ArgumentParser parser;
    c.tool ? DeclareCommandLine(&parser) : DeclareTestGrammar(&parser);
    std::ostringstream out;
    parser.PrintHelp(c.command, out);
    EXPECT_EQ(c.page, out.str()) << c.command;
  }
}

TEST(ArgumentParserTest, DefinitionsAndScopes) {
  ArgumentDef def;
  def.SetLongName("-bad");
  def.SetLongName("good");
  def.SetLongName("--worse");  // ignored: the earlier name stays
  for (char c : {'-', ' ', '\0', '=', '\xc3', 'Z'}) def.SetShortName(c);
  EXPECT_EQ("[-Z, --good]", def.UsageFragment());
  def.SetRequired(true);
  EXPECT_EQ("-Z, --good|-Z, --good\t", def.UsageFragment() + "|" + def.HelpLine());
  def.SetShortName('7');
  EXPECT_EQ("7", def.short_name());
  def.SetValueText("default");
  def.Reset();
  EXPECT_EQ("", def.long_name() + def.short_name() + def.key() + def.value_text());
  EXPECT_TRUE(def.value_count() == -1 && !def.required() && def.AcceptsValue("any"));
  // Only definitions with a key and a name are stored; the first match wins.
  CommandDef command;
  EXPECT_EQ(-3, command.AddDefinition(def) + command.AddDefinition(Option("", '\0', "key", 0)) +
                    command.AddDefinition(Option("name", 'n', "", 0)));
  EXPECT_EQ(0, command.AddDefinition(Option("", 'n', "first", 0)) +
                   command.AddDefinition(Option("n", 'n', "second", 0)));
  ASSERT_EQ(2u, command.definitions().size());

  ChoiceArgumentDef choice;
  EXPECT_TRUE(choice.value_count() == 1 && !choice.AcceptsValue("a"));
  choice.SetLongName("c");
  choice.SetKey("c");
  choice.AddChoice("b");
  choice.AddChoice("a");
  choice.SetValueText("c");  // also a choice
  EXPECT_TRUE(choice.AcceptsValue("c") && choice.AcceptsValue("a") && !choice.AcceptsValue("A"));
  EXPECT_EQ((std::set<std::string>{"a", "b", "c"}), choice.choices());
  // Scopes keep clones: a copy keeps the dynamic type and the choices.
  command.SetName("n");
  command.SetDescription("d");
  command.SetOverrideHelpText("o");
  command.SetRemainderName("r");
  command.SetRemainderCount(3);
  ASSERT_EQ(0, command.AddDefinition(choice));
  choice.AddChoice("later");
  CommandDef copy(command);
  EXPECT_EQ("n d o r 3", copy.name() + " " + copy.description() + " " + copy.override_help_text() +
                             " " + copy.remainder_name() + " " +
                             std::to_string(copy.remainder_count()));
  ASSERT_EQ(3u, copy.definitions().size());
  EXPECT_NE(command.definitions()[2].get(), copy.definitions()[2].get());
  EXPECT_TRUE(copy.definitions()[2]->AcceptsValue("a") &&
              !copy.definitions()[2]->AcceptsValue("later"));
  EXPECT_EQ("first", copy.Find("n", "n")->key());
  command.Reset();
  choice.Reset();
  EXPECT_TRUE(command.definitions().empty() && command.name().empty() && choice.choices().empty());
  EXPECT_EQ(-1, command.remainder_count() + choice.value_count() - 1);
  EXPECT_EQ("-h, --help\tShow this help message", command.help_option().HelpLine());
  EXPECT_EQ(3u, copy.definitions().size());
}

}  // namespace
