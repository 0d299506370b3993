// Option parsing for the garvel tool's commands (getopt_long underneath).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace garvel::cli {

/// One long option of a command.
struct TOption {
  std::string Name;      ///< without the leading "--"
  std::string ValueName; ///< empty for a switch
  std::string Help;
};

/// The options a command was given.
class TCommandLine {
public:
  /// Parses Args (Args[0] is the command's name) against Options; "-h" and
  /// "--help" are always known. False with Error set for an unknown option,
  /// a missing value, or a stray argument.
  bool Parse(const std::vector<std::string>& Args, const std::vector<TOption>& Options,
             std::string& Error);

  bool Has(const std::string& Name) const { return FValues.count(Name) != 0; }
  /// The last value given for Name, or Default.
  std::string Get(const std::string& Name, const std::string& Default = {}) const;
  /// The options in the order given, with their values.
  const std::vector<std::pair<std::string, std::string>>& Given() const { return FGiven; }

private:
  std::map<std::string, std::string> FValues;
  std::vector<std::pair<std::string, std::string>> FGiven;
};

/// The help text of a list of options, one per line, aligned.
std::string OptionHelp(const std::vector<TOption>& Options);

/// A whole decimal number within [Min, Max]; false otherwise.
bool ParseInt(const std::string& Text, int Min, int Max, int& Value);

} // namespace garvel::cli
