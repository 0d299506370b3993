// Option parsing for the garvel tool's commands (getopt_long underneath).
#include "CommandLine.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>

namespace garvel::cli {

bool TCommandLine::Parse(const std::vector<std::string>& Args, const std::vector<TOption>& Options,
                         std::string& Error) {
  FValues.clear();
  FGiven.clear();
  std::vector<TOption> all = Options;
  all.push_back({"help", "", ""});
  std::vector<option> table;
  for (size_t i = 0; i < all.size(); ++i)
    table.push_back({all[i].Name.c_str(),
                     all[i].ValueName.empty() ? no_argument : required_argument, nullptr,
                     static_cast<int>(256 + i)});
  table.push_back({nullptr, 0, nullptr, 0});

  std::vector<std::string> store = Args;
  std::vector<char*> argv;
  for (std::string& a : store)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(store.size());

  opterr = 0;
  optind = 0; // a full reset of getopt's state
  for (;;) {
    int longIndex = -1;
    int c = getopt_long(argc, argv.data(), "+:h", table.data(), &longIndex);
    if (c == -1)
      break;
    if (c == 'h') {
      FValues["help"];
      continue;
    }
    if (c == '?' || c == ':') {
      std::string arg = optind > 0 && optind <= argc ? store[static_cast<size_t>(optind - 1)] : "";
      Error = c == ':' ? "option " + arg + " needs a value" : "unknown option " + arg;
      return false;
    }
    const TOption& o = all[static_cast<size_t>(c - 256)];
    std::string v = optarg ? optarg : "";
    FValues[o.Name] = v;
    FGiven.emplace_back(o.Name, v);
  }
  if (optind < argc) {
    Error = "unexpected argument '" + store[static_cast<size_t>(optind)] + "'";
    return false;
  }
  return true;
}

std::string TCommandLine::Get(const std::string& Name, const std::string& Default) const {
  auto it = FValues.find(Name);
  return it == FValues.end() ? Default : it->second;
}

std::string OptionHelp(const std::vector<TOption>& Options) {
  size_t width = 0;
  for (const TOption& o : Options)
    width = std::max(width, o.Name.size() + (o.ValueName.empty() ? 0 : o.ValueName.size() + 1));
  std::string text;
  for (const TOption& o : Options) {
    std::string left = "--" + o.Name + (o.ValueName.empty() ? "" : " " + o.ValueName);
    text += "  " + left + std::string(width + 4 - left.size(), ' ') + o.Help + "\n";
  }
  return text;
}

bool ParseInt(const std::string& Text, int Min, int Max, int& Value) {
  // Decimal, or hexadecimal with a 0x prefix (SMPP status codes are written so).
  long long v = 0;
  const char* first = Text.data();
  const char* end = Text.data() + Text.size();
  int base = 10;
  if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    first += 2;
    base = 16;
    if (*first == '-' || *first == '+')
      return false; // from_chars would take a sign after the prefix
  }
  auto [p, ec] = std::from_chars(first, end, v, base);
  if (Text.empty() || ec != std::errc() || p != end || v < Min || v > Max)
    return false;
  Value = static_cast<int>(v);
  return true;
}

} // namespace garvel::cli
