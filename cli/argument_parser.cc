#include "cli/argument_parser.h"

namespace {

// "-x..." is the short form; "--x..." (x not a dash) the long form.  "-",
// "--" and "---..." are bare words.
bool IsOptionLike(const std::string& token) {
  if (token.size() < 2 || token[0] != '-') return false;
  if (token[1] != '-') return true;
  return token.size() > 2 && token[2] != '-';
}

bool IsShortForm(const std::string& token) { return token[1] != '-'; }

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

// ---------------------------------------------------------------- ArgumentDef

ArgumentDef::ArgumentDef() { ArgumentDef::Reset(); }

ArgumentDef::~ArgumentDef() = default;

void ArgumentDef::SetValueText(const std::string& text) { value_text_ = text; }

void ArgumentDef::Reset() {
  long_name_.clear();
  short_name_.clear();
  key_.clear();
  value_text_.clear();
  value_count_ = -1;
  required_ = false;
  help_text_.clear();
}

bool ArgumentDef::IsWellFormed() const {
  return !key_.empty() && (!long_name_.empty() || !short_name_.empty());
}

std::string ArgumentDef::NamePart() const {
  if (!long_name_.empty() && !short_name_.empty()) return "-" + short_name_ + ", --" + long_name_;
  if (!long_name_.empty()) return "--" + long_name_;
  if (!short_name_.empty()) return "-" + short_name_;
  return std::string();
}

std::string ArgumentDef::UsageFragment() const {
  if (required_) return NamePart();
  return "[" + NamePart() + "]";
}

std::string ArgumentDef::HelpLine() const { return NamePart() + "\t" + help_text_; }

ArgumentDef* ArgumentDef::Clone() const { return new ArgumentDef(*this); }

bool ArgumentDef::AcceptsValue(const std::string&) const { return true; }

void ArgumentDef::SetLongName(const std::string& name) {
  if (!name.empty() && name[0] == '-') return;
  long_name_ = name;
}

void ArgumentDef::SetShortName(char name) {
  if (IsAsciiAlnum(name)) short_name_.assign(1, name);
}

// ---------------------------------------------------------- ChoiceArgumentDef

ChoiceArgumentDef::ChoiceArgumentDef() { ChoiceArgumentDef::Reset(); }

ChoiceArgumentDef::~ChoiceArgumentDef() = default;

void ChoiceArgumentDef::SetValueText(const std::string& text) {
  ArgumentDef::SetValueText(text);
  choices_.insert(text);
}

void ChoiceArgumentDef::Reset() {
  ArgumentDef::Reset();
  SetValueCount(1);
  choices_.clear();
}

ArgumentDef* ChoiceArgumentDef::Clone() const { return new ChoiceArgumentDef(*this); }

bool ChoiceArgumentDef::AcceptsValue(const std::string& token) const {
  return choices_.count(token) != 0;
}

void ChoiceArgumentDef::AddChoice(const std::string& choice) { choices_.insert(choice); }

// ----------------------------------------------------------------- CommandDef

CommandDef::CommandDef() { ResetHelpOption(); }

CommandDef::CommandDef(const CommandDef& other) {
  ResetHelpOption();
  *this = other;
}

CommandDef& CommandDef::operator=(const CommandDef& other) {
  if (this == &other) return *this;
  std::vector<std::unique_ptr<ArgumentDef>> copies;
  copies.reserve(other.definitions_.size());
  for (const auto& def : other.definitions_) copies.emplace_back(def->Clone());
  definitions_.swap(copies);
  name_ = other.name_;
  description_ = other.description_;
  override_help_text_ = other.override_help_text_;
  remainder_count_ = other.remainder_count_;
  remainder_name_ = other.remainder_name_;
  ResetHelpOption();
  return *this;
}

CommandDef::~CommandDef() = default;

void CommandDef::Reset() {
  definitions_.clear();
  description_.clear();
  name_.clear();
  override_help_text_.clear();
  remainder_count_ = -1;
  remainder_name_.clear();
  ResetHelpOption();
}

void CommandDef::ResetHelpOption() {
  help_option_.Reset();
  help_option_.SetShortName('h');
  help_option_.SetLongName("help");
  help_option_.SetKey("help");
  help_option_.SetHelpText("Show this help message");
  help_option_.SetValueCount(-1);
  help_option_.SetRequired(false);
}

int CommandDef::AddDefinition(const ArgumentDef& def) {
  if (!def.IsWellFormed()) return -1;
  definitions_.emplace_back(def.Clone());
  return 0;
}

const ArgumentDef* CommandDef::Find(const std::string& short_text,
                                    const std::string& long_text) const {
  auto matches = [&](const ArgumentDef& def) {
    return (!def.short_name().empty() && def.short_name() == short_text) ||
           (!def.long_name().empty() && def.long_name() == long_text);
  };
  for (const auto& def : definitions_) {
    if (matches(*def)) return def.get();
  }
  if (matches(help_option_)) return &help_option_;
  return nullptr;
}

// ------------------------------------------------------------ ParsedArguments

bool ParsedArguments::HasKey(const std::string& key) const { return values_.count(key) != 0; }

const std::vector<std::string>& ParsedArguments::Values(const std::string& key) const {
  static const std::vector<std::string> kNone;
  auto found = values_.find(key);
  return found == values_.end() ? kNone : found->second;
}

void ParsedArguments::Clear() {
  remainders_.clear();
  values_.clear();
  command_name_.clear();
}

// ------------------------------------------------------------- ArgumentParser

ArgumentParser::ArgumentParser() : program_name_("PROGRAM") {}

int ArgumentParser::AddCommand(const CommandDef& command) {
  commands_.push_back(command);
  return 0;
}

int ArgumentParser::Parse(int argc, const char* const* argv, ParsedArguments* result) {
  if (result == nullptr) return -1;
  tokens_.clear();
  for (int i = 1; argv != nullptr && i < argc && argv[i] != nullptr; ++i) {
    tokens_.emplace_back(argv[i]);
  }
  cursor_ = 0;
  selected_ = nullptr;
  result->Clear();

  if (OptionPhase(global_, result) != 0) return -1;

  if (cursor_ < tokens_.size()) {
    for (const CommandDef& command : commands_) {
      if (command.name() == tokens_[cursor_]) {
        selected_ = &command;
        ++cursor_;
        break;
      }
    }
  }

  if (selected_ != nullptr) {
    result->command_name_ = selected_->name();
    if (OptionPhase(*selected_, result) != 0) return -1;
  }
  if (PositionalPhase(result) != 0) return -1;

  if (CheckDefinitions(global_, *result) != 0) return -1;
  if (selected_ != nullptr) {
    if (CheckDefinitions(*selected_, *result) != 0) return -1;
    if (CheckRemainders(*selected_, *result) != 0) return -1;
  } else {
    if (CheckRemainders(global_, *result) != 0) return -1;
  }
  return 0;
}

int ArgumentParser::OptionPhase(const CommandDef& scope, ParsedArguments* result) {
  while (cursor_ < tokens_.size()) {
    const std::string& token = tokens_[cursor_];
    if (!IsOptionLike(token)) return 0;

    std::string short_text;
    std::string long_text;
    std::string inline_value;
    if (IsShortForm(token)) {
      short_text = token.substr(1);
    } else {
      size_t equals = token.find('=', 2);
      if (equals == std::string::npos) {
        long_text = token.substr(2);
      } else {
        long_text = token.substr(2, equals - 2);
        inline_value = token.substr(equals + 1);
      }
    }

    const ArgumentDef* def = scope.Find(short_text, long_text);
    if (def == nullptr) {
      error_ << "Argument '" << token << "': "
             << "'" << token << "' is not a valid argument" << std::endl;
      return -1;
    }
    ++cursor_;

    const std::string& key = def->key();
    const int count = def->value_count();
    if (!inline_value.empty()) {
      // Stored as given; the value count is checked once parsing is over.
      result->values_[key].push_back(inline_value);
      continue;
    }

    auto found = result->values_.find(key);
    if (found != result->values_.end()) {
      // Only a list that is exactly full refuses the repetition; one that
      // inline values have overfilled is left to the value-count check.
      if (count != -1 && found->second.size() == static_cast<size_t>(count)) {
        error_ << "Argument '" << key << "': "
               << "Expect " << count << " argument(s)" << std::endl;
        return -1;
      }
    } else {
      found = result->values_.emplace(key, std::vector<std::string>()).first;
    }
    std::vector<std::string>& values = found->second;
    while (cursor_ < tokens_.size() && !IsOptionLike(tokens_[cursor_]) &&
           (count == -1 || values.size() < static_cast<size_t>(count))) {
      const std::string& value = tokens_[cursor_];
      if (!def->AcceptsValue(value)) {
        error_ << "Argument '" << key << "': "
               << "'" << value << "' is not a valid argument" << std::endl;
        return -1;
      }
      values.push_back(value);
      ++cursor_;
    }
  }
  return 0;
}

int ArgumentParser::PositionalPhase(ParsedArguments* result) {
  for (; cursor_ < tokens_.size(); ++cursor_) {
    const std::string& token = tokens_[cursor_];
    if (IsOptionLike(token)) {
      error_ << "Global: "
             << "'" << token << "' is not a valid positional argument";
      return -1;
    }
    result->remainders_.push_back(token);
  }
  return 0;
}

int ArgumentParser::CheckDefinitions(const CommandDef& scope, const ParsedArguments& result) {
  for (const auto& def : scope.definitions()) {
    const std::string& key = def->key();
    auto found = result.values_.find(key);
    if (found == result.values_.end()) {
      if (def->required()) {
        error_ << "Argument '" << key << "': "
               << "Required argument";
        return -1;
      }
      continue;
    }
    const int count = def->value_count();
    if (count != -1 && found->second.size() != static_cast<size_t>(count)) {
      error_ << "Argument '" << key << "': "
             << "Expect " << count << " arguments, "
             << "but threre are " << found->second.size();
      return -1;
    }
  }
  return 0;
}

int ArgumentParser::CheckRemainders(const CommandDef& scope, const ParsedArguments& result) {
  const int count = scope.remainder_count();
  if (count != -1 && static_cast<size_t>(count) != result.remainders_.size()) {
    error_ << "Global: "
           << "Expect " << count << " remainders, "
           << "but threre are " << result.remainders_.size();
    return -1;
  }
  return 0;
}

void ArgumentParser::PrintHelp(const std::string& command_name, std::ostream& out) const {
  out << "\n";
  const CommandDef* scope = &global_;
  for (const CommandDef& command : commands_) {
    if (command.name() == command_name) {
      scope = &command;
      break;
    }
  }
  if (!scope->override_help_text().empty()) {
    out << scope->override_help_text() << "\n";
    return;
  }

  out << "Usage: " << program_name_ << " ";
  if (!scope->name().empty()) out << scope->name() << " ";
  for (const auto& def : scope->definitions()) out << def->UsageFragment() << " ";
  out << scope->help_option().UsageFragment() << " ";
  if (scope->remainder_count() > 0) {
    const std::string& name = scope->remainder_name();
    out << "<" << (name.empty() ? std::string("arguments") : name) << "> ";
  }
  out << "\n";
  if (!scope->description().empty()) out << scope->description() << "\n";
  out << "\n";

  out << "Required arguments: \n";
  for (const auto& def : scope->definitions()) {
    if (def->required()) out << "    " << def->HelpLine() << "\n";
  }
  out << "\n";

  out << "Optional arguments: \n";
  for (const auto& def : scope->definitions()) {
    if (!def->required()) out << "    " << def->HelpLine() << "\n";
  }
  out << "    " << scope->help_option().HelpLine() << "\n";
  out << "\n";
  out << "\n";
}
