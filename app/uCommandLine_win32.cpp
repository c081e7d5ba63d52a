// The command line's Windows half: the process's own command line, read once and acted upon.
#include "uCommandLine.h"

#include <windows.h>

#include "VornLibSystem.h"
#include "uMessages.h"
#include "uOptimize.h"

void RunCommandLine(intptr_t owner) {
  const wchar_t* line = GetCommandLineW();
  const std::u16string commandLine(line, line + wcslen(line));
  const std::vector<std::u16string> parameters = SplitParameters(commandLine);

  // Before Windows 7 the system's own hosts file carried the localhost lines, so they are kept
  // there by default.
  TCommandLineOptions options;
  if (ParseCommandLine(parameters, OsFamily() < OsFamily7, options)) {
    OptimizeHostsFile(owner, options.FileName, options.Backup, options.Silent,
                      options.IncludeLocalhost, options.Encoding);
    return;
  }
  // Reading stopped at the invalid parameter: only a /s before it keeps the usage quiet.
  if (!options.Silent) {
    std::u16string text(MsgInvalidParameters);
    text += UsageBlock;
    ShowMessage(0, text, TMessageIcon::Error);
  }
}
