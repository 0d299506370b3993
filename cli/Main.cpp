// garvel: talk to an SMSC from the shell, or run the SMSC simulator.
#include "Commands.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  using namespace garvel::cli;
  if (argc < 2) {
    std::fputs(ToolUsage().c_str(), stderr);
    return kExitUsage;
  }
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(ToolUsage().c_str(), stdout);
    return kExitOk;
  }
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (command == "send")
      return CmdSend(args);
    if (command == "listen")
      return CmdListen(args);
    if (command == "sim")
      return CmdSim(args);
    if (command == "demo")
      return CmdDemo(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "garvel %s: %s\n", command.c_str(), e.what());
    return kExitFailure;
  }
  std::fprintf(stderr, "garvel: unknown command '%s'\n%s", command.c_str(), ToolUsage().c_str());
  return kExitUsage;
}
