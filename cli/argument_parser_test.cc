#include "cli/argument_parser.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_grammar.h"
#include "cli/help_pages_expected.h"

namespace {

using Values = std::map<std::string, std::vector<std::string>>;
using Words = std::vector<std::string>;

int ParseWords(ArgumentParser* parser, const Words& words, ParsedArguments* result) {
  std::vector<const char*> argv;
  argv.push_back("drift-control");
  for (const std::string& word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);
  return parser->Parse(static_cast<int>(words.size()) + 1, argv.data(), result);
}

std::string Help(const ArgumentParser& parser, const std::string& command) {
  std::ostringstream out;
  parser.PrintHelp(command, out);
  return out.str();
}

ArgumentDef Option(const char* long_name, char short_name, const char* key, int count) {
  ArgumentDef def;
  def.SetLongName(long_name);
  def.SetShortName(short_name);
  def.SetKey(key);
  def.SetValueCount(count);
  return def;
}

// A grammar that exercises what the tool's own (flags only) does not:
//   global: -v/--verbose (flag), any number of bare words
//   run:    -t/--target (required, one value), --level (two values),
//           -m/--mode (one of fast, slow), exactly one bare word
void DeclareTestGrammar(ArgumentParser* parser) {
  parser->SetProgramName("tool");
  parser->global()->AddDefinition(Option("verbose", 'v', "verbose", 0));

  CommandDef run;
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
  parser->AddCommand(run);
}

enum Grammar { kTool, kTest };

// Splits at `sep`; an empty text gives no pieces.
Words Split(const std::string& text, char sep) {
  Words pieces;
  std::istringstream in(text);
  for (std::string piece; std::getline(in, piece, sep);) pieces.push_back(piece);
  return pieces;
}

// "key;key=v1,v2" into the parser's value map.
Values ParseValues(const std::string& text) {
  Values values;
  for (const std::string& entry : Split(text, ';')) {
    const size_t eq = entry.find('=');
    values[entry.substr(0, eq)] =
        eq == std::string::npos ? Words{} : Split(entry.substr(eq + 1), ',');
  }
  return values;
}

// Words and remainders are separated by blanks, values as for ParseValues.
struct ParseCase {
  const char* title;
  Grammar grammar;
  const char* words;
  int result;
  const char* command;
  const char* values;
  const char* remainders;
  const char* error;
};

const ParseCase kParseCases[] = {
    {"no tokens", kTool, "", 0, "", "", "", ""},
    {"service flag", kTool, "service --status", 0, "service", "status", "", ""},
    {"two flags", kTool, "service --start --stop", 0, "service", "start;stop", "", ""},
    {"short help", kTool, "-h", 0, "", "help", "", ""},
    {"help takes the command word as a value", kTool, "--help service", 0, "", "help=service", "",
     ""},
    {"help with inline value", kTool, "--help=service", 0, "", "help=service", "", ""},
    {"help in a command takes bare words", kTool, "service -h start", 0, "service", "help=start",
     "", ""},
    {"repeated help", kTool, "service --help --help", 0, "service", "help", "", ""},
    {"combined short options", kTool, "-hx", -1, "", "", "",
     "Argument '-hx': '-hx' is not a valid argument\n"},
    {"unknown long option", kTool, "--bogus", -1, "", "", "",
     "Argument '--bogus': '--bogus' is not a valid argument\n"},
    {"command option in global scope", kTool, "--status", -1, "", "", "",
     "Argument '--status': '--status' is not a valid argument\n"},
    {"help then unknown option", kTool, "service -h --bogus", -1, "service", "help", "",
     "Argument '--bogus': '--bogus' is not a valid argument\n"},
    {"unknown option then help", kTool, "service --bogus -h", -1, "service", "", "",
     "Argument '--bogus': '--bogus' is not a valid argument\n"},
    {"unknown word is a global remainder", kTool, "help", 0, "", "", "help", ""},
    {"bare word after service", kTool, "service start", -1, "service", "", "start",
     "Global: Expect 0 remainders, but threre are 1"},
    {"bare word after cleanup", kTool, "cleanup x", -1, "cleanup", "", "x",
     "Global: Expect 0 remainders, but threre are 1"},
    {"archive path as a bare word", kTool, "diagnose --create-archive /tmp/a.zip", 0, "diagnose",
     "create-archive", "/tmp/a.zip", ""},
    {"inline value on a flag", kTool, "diagnose --create-archive=/tmp/a.zip", -1, "diagnose",
     "create-archive=/tmp/a.zip", "",
     "Argument 'create-archive': Expect 0 arguments, but threre are 1"},
    {"empty inline value", kTool, "diagnose --create-archive= p", 0, "diagnose", "create-archive",
     "p", ""},
    {"repeated flag", kTool, "service --start --start", -1, "service", "start", "",
     "Argument 'start': Expect 0 argument(s)\n"},
    {"flag repeated after an inline value", kTool, "diagnose --create-archive=p --create-archive",
     -1, "diagnose", "create-archive=p", "",
     "Argument 'create-archive': Expect 0 arguments, but threre are 1"},
    {"option after a bare word", kTool, "diagnose /tmp/x --output-stdout", -1, "diagnose", "",
     "/tmp/x", "Global: '--output-stdout' is not a valid positional argument"},
    {"dash and double dash are bare words", kTool, "diagnose - --", 0, "diagnose", "", "- --", ""},
    {"three dashes are a bare word", kTool, "diagnose ---x", 0, "diagnose", "", "---x", ""},
    {"several remainders", kTool, "diagnose --output-stdout a b", 0, "diagnose", "output-stdout",
     "a b", ""},
    {"choice accepted", kTest, "run --mode fast -t x f", 0, "run", "mode=fast;target=x", "f", ""},
    {"choice rejected", kTest, "run -m medium -t x f", -1, "run", "mode", "",
     "Argument 'mode': 'medium' is not a valid argument\n"},
    {"inline value skips the choice test", kTest, "run --mode=medium -t x f", 0, "run",
     "mode=medium;target=x", "f", ""},
    {"required option missing", kTest, "run f", -1, "run", "", "f",
     "Argument 'target': Required argument"},
    {"value count not reached", kTest, "run -t x --level 1 --mode slow f", -1, "run",
     "target=x;level=1;mode=slow", "f", "Argument 'level': Expect 2 arguments, but threre are 1"},
    {"values are taken before remainders", kTest, "run -t x --level 1 f", -1, "run",
     "target=x;level=1,f", "", "Global: Expect 1 remainders, but threre are 0"},
    {"repeated option with its value", kTest, "run -t x -t y f", -1, "run", "target=x", "",
     "Argument 'target': Expect 1 argument(s)\n"},
    {"global flag before the command", kTest, "-v run -t x f", 0, "run", "verbose;target=x", "f",
     ""},
    {"flag leaves the next word", kTest, "-v x", 0, "", "verbose", "x", ""},
    {"inline value on a global flag", kTest, "--verbose=1", -1, "", "verbose=1", "",
     "Argument 'verbose': Expect 0 arguments, but threre are 1"},
    {"short form never carries a value", kTest, "-v=1", -1, "", "", "",
     "Argument '-v=1': '-v=1' is not a valid argument\n"},
    {"empty long name after the dashes", kTest, "--=x", -1, "", "", "",
     "Argument '--=x': '--=x' is not a valid argument\n"},
    {"command word only once", kTest, "run run -t x", -1, "run", "", "run",
     "Global: '-t' is not a valid positional argument"},
};

TEST(ArgumentParserTest, ParseTable) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.title);
    ArgumentParser parser;
    if (c.grammar == kTool) {
      DeclareCommandLine(&parser);
    } else {
      DeclareTestGrammar(&parser);
    }
    ParsedArguments result;
    EXPECT_EQ(c.result, ParseWords(&parser, Split(c.words, ' '), &result));
    EXPECT_EQ(c.command, result.CommandName());
    const Values values = ParseValues(c.values);
    EXPECT_EQ(values, result.AllValues());
    EXPECT_EQ(Split(c.remainders, ' '), result.Remainders());
    EXPECT_EQ(c.error, parser.ErrorText());
    for (const auto& entry : values) {
      EXPECT_TRUE(result.HasKey(entry.first));
      EXPECT_EQ(entry.second, result.Values(entry.first));
    }
    EXPECT_FALSE(result.HasKey("absent"));
    EXPECT_TRUE(result.Values("absent").empty());
  }
}

// Definitions are matched in the order they were added, before the built-in
// help option.
TEST(ArgumentParserTest, FirstMatchingDefinitionWins) {
  ArgumentParser parser;
  CommandDef* global = parser.global();
  global->AddDefinition(Option("one", 'x', "first", 0));
  global->AddDefinition(Option("two", 'x', "second", 0));
  ParsedArguments result;
  ASSERT_EQ(0, ParseWords(&parser, {"-x"}, &result));
  EXPECT_TRUE(result.HasKey("first"));
  EXPECT_FALSE(result.HasKey("second"));
  // A definition can shadow the built-in help option.
  global->AddDefinition(Option("help", '\0', "mine", 0));
  ASSERT_EQ(0, ParseWords(&parser, {"--help"}, &result));
  EXPECT_TRUE(result.HasKey("mine"));
  EXPECT_FALSE(result.HasKey("help"));
  ASSERT_EQ(0, ParseWords(&parser, {"-h"}, &result));
  EXPECT_TRUE(result.HasKey("help"));
}

TEST(ArgumentParserTest, ErrorTextIsNeverEmptied) {
  ArgumentParser parser;
  DeclareCommandLine(&parser);
  ParsedArguments result;
  EXPECT_EQ(-1, ParseWords(&parser, {"--bogus"}, &result));
  const std::string first = "Argument '--bogus': '--bogus' is not a valid argument\n";
  EXPECT_EQ(first, parser.ErrorText());

  // A later good parse clears the result but keeps the text.
  EXPECT_EQ(0, ParseWords(&parser, {"service", "--status"}, &result));
  EXPECT_EQ(first, parser.ErrorText());
  EXPECT_EQ("service", result.CommandName());

  EXPECT_EQ(-1, ParseWords(&parser, {"cleanup", "a", "b"}, &result));
  EXPECT_EQ(first + "Global: Expect 0 remainders, but threre are 2", parser.ErrorText());
  EXPECT_EQ((Words{"a", "b"}), result.Remainders());

  // Each parse starts from an empty result.
  EXPECT_EQ(0, ParseWords(&parser, {}, &result));
  EXPECT_TRUE(result.Remainders().empty());
  EXPECT_TRUE(result.CommandName().empty());
  EXPECT_TRUE(result.AllValues().empty());
}

// A grammar whose command "x" has only a short option and unnamed
// remainders, in a parser whose program name is not set; and "odd", whose
// help page is replaced by a text of its own.
void DeclareDefaultsGrammar(ArgumentParser* parser) {
  CommandDef only_short;
  only_short.SetName("x");
  only_short.SetRemainderCount(2);
  only_short.AddDefinition(Option("", 'q', "quiet", 0));
  parser->AddCommand(only_short);
  CommandDef odd;
  odd.SetName("odd");
  odd.SetOverrideHelpText("Just this.");
  odd.AddDefinition(Option("flag", 'f', "flag", 0));
  parser->AddCommand(odd);
}

// The help pages are printed byte for byte.
TEST(ArgumentParserTest, HelpPages) {
  using expected_help::kCleanup;
  using expected_help::kDiagnose;
  using expected_help::kGlobal;
  using expected_help::kService;
  struct Case {
    int grammar;  // 0 the tool's, 1 the test grammar, 2 the defaults grammar
    const char* command;
    std::string page;
  };
  const Case cases[] = {
      {0, "", kGlobal},
      {0, "help", kGlobal},  // a name that is no command gives the global page
      {0, "Service", kGlobal},
      {0, "service", kService},
      {0, "diagnose", kDiagnose},
      {0, "cleanup", kCleanup},
      {1, "run",
       "\n"
       "Usage: tool run -t, --target [--level] [-m, --mode] [-h, --help] <file> \n"
       "\n"
       "Required arguments: \n"
       "    -t, --target\tWhere to run\n"
       "\n"
       "Optional arguments: \n"
       "    --level\t\n"
       "    -m, --mode\t\n"
       "    -h, --help\tShow this help message\n"
       "\n"
       "\n"},
      {2, "x",
       "\n"
       "Usage: PROGRAM x [-q] [-h, --help] <arguments> \n"
       "\n"
       "Required arguments: \n"
       "\n"
       "Optional arguments: \n"
       "    -q\t\n"
       "    -h, --help\tShow this help message\n"
       "\n"
       "\n"},
      {2, "odd", "\nJust this.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ArgumentParser parser;
    if (c.grammar == 0) DeclareCommandLine(&parser);
    if (c.grammar == 1) DeclareTestGrammar(&parser);
    if (c.grammar == 2) DeclareDefaultsGrammar(&parser);
    EXPECT_EQ(c.page, Help(parser, c.command));
  }
}

TEST(ArgumentDefTest, NamesAndFragments) {
  ArgumentDef def;
  def.SetLongName("-bad");
  EXPECT_EQ("", def.long_name());
  def.SetLongName("good");
  def.SetLongName("--worse");  // ignored: the earlier name stays
  EXPECT_EQ("good", def.long_name());
  for (char c : {'-', ' ', '\0', '=', '\xc3'}) {
    def.SetShortName(c);
    EXPECT_EQ("", def.short_name()) << static_cast<int>(c);
  }
  def.SetShortName('7');
  EXPECT_EQ("7", def.short_name());
  def.SetShortName('Z');
  EXPECT_EQ("Z", def.short_name());
  EXPECT_TRUE(def.AcceptsValue("anything"));
  EXPECT_EQ("[-Z, --good]", def.UsageFragment());
  def.SetRequired(true);
  EXPECT_EQ("-Z, --good", def.UsageFragment());
  EXPECT_EQ("-Z, --good\t", def.HelpLine());

  def.SetKey("k");
  def.SetValueText("default");
  def.Reset();
  EXPECT_EQ("", def.long_name() + def.short_name() + def.key() + def.value_text());
  EXPECT_EQ(-1, def.value_count());
  EXPECT_FALSE(def.required());

  // Only definitions with a key and a name are stored.
  CommandDef command;
  EXPECT_EQ(-1, command.AddDefinition(def));
  EXPECT_EQ(-1, command.AddDefinition(Option("", '\0', "key", 0)));
  EXPECT_EQ(-1, command.AddDefinition(Option("name", 'n', "", 0)));
  EXPECT_EQ(0, command.AddDefinition(Option("name", '\0', "key", 0)));
  EXPECT_EQ(0, command.AddDefinition(Option("", 'n', "key2", 0)));
  EXPECT_EQ(2u, command.definitions().size());
}

TEST(ChoiceArgumentDefTest, Choices) {
  ChoiceArgumentDef def;
  EXPECT_EQ(1, def.value_count());
  EXPECT_FALSE(def.AcceptsValue("a"));
  def.AddChoice("b");
  def.AddChoice("a");
  def.AddChoice("b");
  EXPECT_EQ((std::set<std::string>{"a", "b"}), def.choices());
  def.SetValueText("c");  // also a choice
  EXPECT_TRUE(def.AcceptsValue("c"));
  EXPECT_TRUE(def.AcceptsValue("a"));
  EXPECT_FALSE(def.AcceptsValue("d"));
  EXPECT_FALSE(def.AcceptsValue("A"));

  def.SetValueCount(3);
  def.Reset();
  EXPECT_EQ(1, def.value_count());
  EXPECT_TRUE(def.choices().empty());
  EXPECT_EQ("", def.value_text());
}

// Scopes keep clones: a copy keeps the dynamic type and the choices, and
// neither the caller's definition nor the original scope changes it.
TEST(CommandDefTest, CopiesAreIndependent) {
  CommandDef original;
  original.SetName("n");
  original.SetDescription("d");
  original.SetOverrideHelpText("o");
  original.SetRemainderCount(3);
  original.SetRemainderName("r");
  ChoiceArgumentDef choice;
  choice.SetLongName("c");
  choice.SetKey("c");
  choice.AddChoice("yes");
  ASSERT_EQ(0, original.AddDefinition(choice));
  choice.AddChoice("no");
  choice.SetLongName("b");

  CommandDef copy(original);
  EXPECT_EQ("n d o r 3", copy.name() + " " + copy.description() + " " + copy.override_help_text() +
                             " " + copy.remainder_name() + " " +
                             std::to_string(copy.remainder_count()));
  ASSERT_EQ(1u, copy.definitions().size());
  EXPECT_NE(original.definitions()[0].get(), copy.definitions()[0].get());
  EXPECT_EQ("c", copy.definitions()[0]->long_name());
  EXPECT_TRUE(copy.definitions()[0]->AcceptsValue("yes"));
  EXPECT_FALSE(copy.definitions()[0]->AcceptsValue("no"));
  EXPECT_EQ("help", copy.help_option().key());

  original.Reset();
  EXPECT_TRUE(original.definitions().empty());
  EXPECT_EQ(-1, original.remainder_count());
  EXPECT_EQ("", original.name());
  EXPECT_EQ("-h, --help\tShow this help message", original.help_option().HelpLine());
  EXPECT_EQ(-1, original.help_option().value_count());
  EXPECT_EQ(1u, copy.definitions().size());
}

}  // namespace
