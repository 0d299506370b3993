// The garvel tool's commands. Each takes its arguments (the command's name
// first) and returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace garvel::cli {

enum : int {
  kExitOk = 0,
  kExitFailure = 1, ///< the SMSC or the connection failed the request
  kExitUsage = 2    ///< the command line was wrong
};

/// The tool's usage text, for `garvel --help` and a wrong command line.
std::string ToolUsage();

int CmdSend(const std::vector<std::string>& Args);
int CmdListen(const std::vector<std::string>& Args);
int CmdSim(const std::vector<std::string>& Args);
int CmdDemo(const std::vector<std::string>& Args);

} // namespace garvel::cli
