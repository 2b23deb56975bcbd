// A small command-line parser: global options, a list of sub-commands, each
// scope with its option definitions and an optional number of bare words
// ("remainders"), and a generated help page per scope.
//
// Token forms: "-x" names the option whose short name is x (short options are
// never combined and never carry a value); "--name" names the option whose
// long name is name, and "--name=value" gives it one inline value.  Other
// values are the bare words that follow an option.  "-", "--" and tokens that
// start with three dashes are bare words.
//
// Every scope has a built-in help option (-h, --help, key "help") that takes
// any number of following bare words as values.
//
// Errors are never printed by the parser: Parse returns -1 and appends one
// message to ErrorText(), which is never emptied.
#ifndef DRIFT_CLI_ARGUMENT_PARSER_H_
#define DRIFT_CLI_ARGUMENT_PARSER_H_

#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// One option of a scope.  Scopes own their definitions through pointers and
// copy them with Clone, so a derived class keeps its behaviour when added.
class ArgumentDef {
 public:
  ArgumentDef();
  ArgumentDef(const ArgumentDef&) = default;
  ArgumentDef& operator=(const ArgumentDef&) = default;
  virtual ~ArgumentDef();

  // Stored and copied with the definition; neither the parser nor the help
  // page reads it.
  virtual void SetValueText(const std::string& text);
  // All texts emptied, value count -1 (any number), not required.
  virtual void Reset();
  // A key, and a long or a short name to match.
  virtual bool IsWellFormed() const;
  // "[-s, --long]" in the usage line (no brackets when required).
  virtual std::string UsageFragment() const;
  // "-s, --long<TAB>help text" in the argument lists of the help page.
  virtual std::string HelpLine() const;
  // A heap copy of the same dynamic type; the caller owns it.
  virtual ArgumentDef* Clone() const;
  // Whether a bare word may be taken as a value of this option.
  virtual bool AcceptsValue(const std::string& token) const;

  // Ignored when `name` begins with "-".
  void SetLongName(const std::string& name);
  // Ignored unless `name` is an ASCII digit or letter.
  void SetShortName(char name);
  void SetKey(const std::string& key) { key_ = key; }
  // The number of values the option takes; -1 means any number.
  void SetValueCount(int count) { value_count_ = count; }
  void SetRequired(bool required) { required_ = required; }
  void SetHelpText(const std::string& text) { help_text_ = text; }

  const std::string& long_name() const { return long_name_; }
  const std::string& short_name() const { return short_name_; }
  const std::string& key() const { return key_; }
  const std::string& value_text() const { return value_text_; }
  int value_count() const { return value_count_; }
  bool required() const { return required_; }
  const std::string& help_text() const { return help_text_; }

 protected:
  // "-s, --long", "--long" or "-s".
  std::string NamePart() const;

 private:
  std::string long_name_;
  std::string short_name_;
  std::string key_;
  std::string value_text_;
  int value_count_ = -1;
  bool required_ = false;
  std::string help_text_;
};

// An option whose values must be one of a set of words.  Takes exactly one
// value unless told otherwise.  The value text also becomes a choice.
class ChoiceArgumentDef : public ArgumentDef {
 public:
  ChoiceArgumentDef();
  ChoiceArgumentDef(const ChoiceArgumentDef&) = default;
  ChoiceArgumentDef& operator=(const ChoiceArgumentDef&) = default;
  ~ChoiceArgumentDef() override;

  void SetValueText(const std::string& text) override;
  // Base reset, then value count 1 and no choices.
  void Reset() override;
  ArgumentDef* Clone() const override;
  // True only for one of the choices.
  bool AcceptsValue(const std::string& token) const override;

  void AddChoice(const std::string& choice);
  const std::set<std::string>& choices() const { return choices_; }

 private:
  std::set<std::string> choices_;
};

// One scope: the global one of a parser or one sub-command.
class CommandDef {
 public:
  CommandDef();
  // Clones every definition; the copy gets a fresh built-in help option.
  CommandDef(const CommandDef& other);
  CommandDef& operator=(const CommandDef& other);
  ~CommandDef();

  // No definitions, empty texts, any number of remainders.
  void Reset();

  void SetName(const std::string& name) { name_ = name; }
  void SetDescription(const std::string& description) { description_ = description; }
  // When not empty, printed as the whole help page of the scope.
  void SetOverrideHelpText(const std::string& text) { override_help_text_ = text; }
  // The exact number of bare words the scope requires; -1 means any number.
  void SetRemainderCount(int count) { remainder_count_ = count; }
  // Shown as "<name>" in the usage line; empty shows "<arguments>".
  void SetRemainderName(const std::string& name) { remainder_name_ = name; }

  // Stores a clone of `def` (the caller keeps `def`).  Returns -1 without
  // storing anything when `def` is not well formed, else 0.
  int AddDefinition(const ArgumentDef& def);

  const std::string& name() const { return name_; }
  const std::string& description() const { return description_; }
  const std::string& override_help_text() const { return override_help_text_; }
  int remainder_count() const { return remainder_count_; }
  const std::string& remainder_name() const { return remainder_name_; }
  const std::vector<std::unique_ptr<ArgumentDef>>& definitions() const { return definitions_; }
  const ArgumentDef& help_option() const { return help_option_; }

  // The definition named by a token's short text (short form) or long text
  // (long form; the other text is empty): the first match in the order
  // added, then the built-in help option; null when none matches.
  const ArgumentDef* Find(const std::string& short_text, const std::string& long_text) const;

 private:
  void ResetHelpOption();

  std::vector<std::unique_ptr<ArgumentDef>> definitions_;
  std::string description_;
  std::string name_;
  std::string override_help_text_;
  int remainder_count_ = -1;
  std::string remainder_name_;
  ArgumentDef help_option_;
};

// The result of one parse.
class ParsedArguments {
 public:
  // Present when the option appeared, even without values.
  bool HasKey(const std::string& key) const;
  // The values given to the option; an empty list when it did not appear.
  const std::vector<std::string>& Values(const std::string& key) const;
  // Bare words left after the options, in order.
  const std::vector<std::string>& Remainders() const { return remainders_; }
  // The selected command word; empty when none was given.
  const std::string& CommandName() const { return command_name_; }
  // Every key that appeared, with its values.
  const std::map<std::string, std::vector<std::string>>& AllValues() const { return values_; }

  void Clear();

 private:
  friend class ArgumentParser;

  std::vector<std::string> remainders_;
  std::map<std::string, std::vector<std::string>> values_;
  std::string command_name_;
};

class ArgumentParser {
 public:
  ArgumentParser();
  ArgumentParser(const ArgumentParser&) = delete;
  ArgumentParser& operator=(const ArgumentParser&) = delete;

  // Shown in the usage lines; "PROGRAM" until set.
  void SetProgramName(const std::string& name) { program_name_ = name; }
  // The description of the global scope.
  void SetDescription(const std::string& description) { global_.SetDescription(description); }
  // The global scope itself, for its options and remainder rules.
  CommandDef* global() { return &global_; }
  // Copies `command` in.  Always 0.
  int AddCommand(const CommandDef& command);

  // Parses argv[1] .. argv[argc - 1] into `result` (cleared first).  Returns
  // 0, or -1 with a message appended to ErrorText().  Options stored before
  // the failing token stay in `result`.
  int Parse(int argc, const char* const* argv, ParsedArguments* result);

  // Writes the help page of the command named `command_name` (the global
  // page when no command has that name).
  void PrintHelp(const std::string& command_name, std::ostream& out) const;

  // Every error message of this parser so far.
  std::string ErrorText() const { return error_.str(); }

 private:
  int OptionPhase(const CommandDef& scope, ParsedArguments* result);
  int PositionalPhase(ParsedArguments* result);
  int CheckDefinitions(const CommandDef& scope, const ParsedArguments& result);
  int CheckRemainders(const CommandDef& scope, const ParsedArguments& result);

  CommandDef global_;
  std::vector<CommandDef> commands_;
  std::string program_name_;
  std::vector<std::string> tokens_;
  size_t cursor_ = 0;
  const CommandDef* selected_ = nullptr;
  std::ostringstream error_;
};

#endif  // DRIFT_CLI_ARGUMENT_PARSER_H_
