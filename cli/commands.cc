#include "cli/commands.h"

#include <stdio.h>
#include <unistd.h>

#include "base/ustring.h"
#include "service/diagnose.h"
#include "service/package_state.h"
#include "service/service_stop.h"

int DiagnoseCommand(const ParsedArguments& parsed) {
  const size_t remainders = parsed.Remainders().size();
  if (parsed.HasKey("output-stdout") && remainders == 0) {
    DiagnoseToStream(STDOUT_FILENO);
    return 0;
  }
  if (parsed.HasKey("create-archive") && remainders == 1) {
    DiagnoseToFolder(parsed.Remainders()[0]);
    return 0;
  }
  // Anything else (no flag, --create-archive without a path or with two)
  // quietly does nothing.
  return 0;
}

int ServiceCommand(const ParsedArguments& parsed, char** argv) {
  // Only the first flag present runs, in this order.
  if (parsed.HasKey("start")) {
    return StartCommand(argv);
  }
  if (parsed.HasKey("stop")) {
    return StopService(1);
  }
  if (parsed.HasKey("status")) {
    ustring status;
    const int result = GetServiceStatus(&status);
    printf("%s", status.c_str());
    return result;
  }
  if (parsed.HasKey("collect-user-data")) {
    return CollectUserDataCommand(argv);
  }
  return 0;
}
