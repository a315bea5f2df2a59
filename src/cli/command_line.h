// Reading a terminal command's arguments. Every command reads them by one rule, so that what
// works with one works with the others: "--name VALUE" and "--name=VALUE" alike, a value taken
// as it stands (even when it starts with "-"), "--help" or "-h" ending the reading with the
// command's usage on standard output and status 0, and anything else that starts with "-"
// (but "-" alone) and names none of the command's options refused, as is a missing value and a
// value with a control character, with status 2 and the usage on standard error.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/terminal_io.h"

namespace sf::cli {

// One option of a command. `missing` makes it take a value and says what a missing one is
// told with; without it the option is a switch.
struct OptionSpec {
  std::string_view name;          // "--dir"
  const char* missing = nullptr;  // "--dir needs a directory"
  bool emptyIsMissing = false;    // "--dir=" or "--dir ''" counts as no value
};

// The options a command was given, in order, and its other arguments.
struct GivenOptions {
  std::vector<std::pair<std::string_view, std::string>> options;  // name, value ("" for a switch)
  std::vector<std::string> operands;
  bool help = false;  // --help or -h: nothing after it was read

  bool Has(std::string_view name) const;
  // The last value given: a later option overrides an earlier one.
  std::optional<std::string> Last(std::string_view name) const;
  std::vector<std::string> All(std::string_view name) const;
};

// Reads `args` by the rule above. Gives the problem, empty when there is none.
std::string ReadOptions(const std::vector<std::string>& args, std::span<const OptionSpec> specs,
                        GivenOptions* out);

// Wrong usage of `command`: the problem and the usage on the error stream; gives 2.
int UsageError(Streams io, std::string_view command, const char* usage, std::string_view problem);

// ReadOptions for `command`, with its outcome shown: the exit status when the command should
// end here (0 after --help, 2 for wrong usage), nothing when `out` is filled.
std::optional<int> ReadCommandLine(const std::vector<std::string>& args, const char* command,
                                   const char* usage, std::span<const OptionSpec> specs, Streams io,
                                   GivenOptions* out);

// The options of the commands that resolve a share.
inline constexpr OptionSpec kHostOption{"--host", "--host needs a value"};
inline constexpr OptionSpec kPasswordOption{"--password", "--password needs a value"};
inline constexpr OptionSpec kJsonOption{"--json"};

// What the share commands are given: [--host URL] [--password TEXT] [--json] SHARE, where
// SHARE is whatever text the user copied: a link, a link with "?pwd=", the service's message.
struct ShareCommandArgs {
  std::string host;                     // the chosen share host
  std::optional<std::string> password;  // UTF-8, as typed
  std::string url;                      // the clean share link out of SHARE
  std::string code;                     // the extraction code SHARE held; empty when none
  std::vector<std::string> texts;       // with `manyShares`: every SHARE as given, UTF-8
  bool json = false;

  // What answers the first password prompt, in GBK: --password, else the code SHARE held.
  std::optional<std::string> FirstPassword() const;
};

// The share options out of what `command` was given: the host chosen, --password, --json and
// the one SHARE its operands hold, or with `manyShares` every operand in `texts`, unread (none
// at all is then the caller's to judge). Gives 2 for wrong usage, shown; nothing when `out` is
// filled.
std::optional<int> TakeShareCommandArgs(const GivenOptions& given, const char* command,
                                        const char* usage, Streams io, ShareCommandArgs* out,
                                        bool manyShares = false);

// Reads the arguments of a command that takes the share options alone (with --json when
// `acceptJson`) and one SHARE: the exit status when the command should end here.
std::optional<int> ParseShareCommandArgs(const std::vector<std::string>& args, const char* command,
                                         const char* usage, bool acceptJson, Streams io,
                                         ShareCommandArgs* out);

}  // namespace sf::cli
