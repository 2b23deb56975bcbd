#include "cli/argument_parser.h"

#include <gtest/gtest.h>

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
