#include "cli/command_grammar.h"

namespace {

// A flag: long name and result key are the same word, no value.
ArgumentDef Flag(const char* name) {
  ArgumentDef flag;
  flag.SetLongName(name);
  flag.SetKey(name);
  flag.SetValueCount(0);
  return flag;
}

}  // namespace

void DeclareCommandLine(ArgumentParser* parser) {
  CommandDef diagnose;
  diagnose.SetName("diagnose");
  // The archive path is a bare word after --create-archive, not its value,
  // so diagnose keeps any number of remainders.
  diagnose.AddDefinition(Flag("output-stdout"));
  diagnose.AddDefinition(Flag("create-archive"));

  CommandDef service;
  service.SetName("service");
  service.SetDescription("Control Drift Vault service.");
  service.SetRemainderCount(0);
  service.AddDefinition(Flag("start"));
  service.AddDefinition(Flag("stop"));
  service.AddDefinition(Flag("status"));
  service.AddDefinition(Flag("collect-user-data"));

  CommandDef cleanup;
  cleanup.SetName("cleanup");
  cleanup.SetRemainderCount(0);

  parser->SetProgramName("drift-control");
  parser->SetDescription("Control the Drift Vault package");
  parser->AddCommand(diagnose);
  parser->AddCommand(service);
  parser->AddCommand(cleanup);
}
