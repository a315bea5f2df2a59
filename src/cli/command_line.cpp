#include "cli/command_line.h"

#include <ostream>

#include "base/encoding.h"
#include "base/text.h"
#include "share/share_host.h"

namespace sf::cli {

bool GivenOptions::Has(std::string_view name) const {
  for (const auto& [n, v] : options)
    if (n == name) return true;
  return false;
}

std::optional<std::string> GivenOptions::Last(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [n, v] : options)
    if (n == name) value = v;
  return value;
}

std::vector<std::string> GivenOptions::All(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [n, v] : options)
    if (n == name) values.push_back(v);
  return values;
}

std::string ReadOptions(const std::vector<std::string>& args, std::span<const OptionSpec> specs,
                        GivenOptions* out) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out->help = true;
      return {};
    }
    if (a.size() < 2 || a[0] != '-') {
      out->operands.push_back(a);
      continue;
    }
    const std::string_view name = std::string_view(a).substr(0, a.find('='));
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& s : specs)
      if (s.name == name) spec = &s;
    if (spec == nullptr) return "unknown option " + a;
    const bool inline_value = name.size() < a.size();
    if (spec->missing == nullptr) {
      if (inline_value) return std::string(name) + " takes no value";
      out->options.emplace_back(spec->name, std::string());
      continue;
    }
    if (!inline_value && i + 1 >= args.size()) return spec->missing;
    std::string value = inline_value ? a.substr(name.size() + 1) : args[++i];
    if (value.empty() && spec->emptyIsMissing) return spec->missing;
    // Values end up in requests, header lines, file names and messages, where such a character
    // would cut a line short or start another.
    if (HasControlCharacters(value)) return std::string(name) + " holds a control character";
    out->options.emplace_back(spec->name, std::move(value));
  }
  return {};
}

int UsageError(Streams io, std::string_view command, const char* usage, std::string_view problem) {
  // A problem may quote what was given, pasted text included: shown, never obeyed.
  io.err << "sharefetch-cli " << command << ": " << EscapeForTerminal(problem) << "\n" << usage;
  return 2;
}

std::optional<int> ReadCommandLine(const std::vector<std::string>& args, const char* command,
                                   const char* usage, std::span<const OptionSpec> specs, Streams io,
                                   GivenOptions* out) {
  std::string problem = ReadOptions(args, specs, out);
  if (!problem.empty()) return UsageError(io, command, usage, problem);
  if (out->help) {
    io.out << usage;
    return 0;
  }
  return std::nullopt;
}

std::optional<std::string> ShareCommandArgs::FirstPassword() const {
  if (password) return Utf8ToGbk(*password);
  if (!code.empty()) return Utf8ToGbk(code);
  return std::nullopt;
}

std::optional<int> TakeShareCommandArgs(const GivenOptions& given, const char* command,
                                        const char* usage, Streams io, ShareCommandArgs* out,
                                        bool manyShares) {
  auto fail = [&](const std::string& problem) { return UsageError(io, command, usage, problem); };
  const std::vector<std::string>& shares = given.operands;
  if (!manyShares && shares.size() > 1) return fail("only one SHARE, got also " + shares[1]);
  if (!manyShares && (shares.empty() || TrimSpaces(shares[0]).empty()))
    return fail("missing SHARE");
  std::string hostError;
  std::optional<std::string> chosen = ChooseShareHost(given.Last("--host"), &hostError);
  if (!chosen) return fail(hostError);
  out->host = *chosen;
  out->password = given.Last("--password");
  out->json = given.Has("--json");
  if (manyShares) {
    out->texts = shares;
    return std::nullopt;
  }
  std::string problem;
  std::vector<PastedShare> found = SharesInText(shares[0], out->host, &problem);
  if (found.empty()) return fail(problem);
  if (found.size() > 1)
    io.err << "sharefetch-cli " << command << ": SHARE holds " << found.size()
           << " share links; taking the first\n";
  out->url = found.front().link;
  out->code = found.front().code;
  return std::nullopt;
}

std::optional<int> ParseShareCommandArgs(const std::vector<std::string>& args, const char* command,
                                         const char* usage, bool acceptJson, Streams io,
                                         ShareCommandArgs* out) {
  static constexpr OptionSpec kOptions[] = {kHostOption, kPasswordOption, kJsonOption};
  GivenOptions given;
  if (std::optional<int> status = ReadCommandLine(
          args, command, usage, std::span(kOptions).first(acceptJson ? 3 : 2), io, &given))
    return status;
  return TakeShareCommandArgs(given, command, usage, io, out);
}

}  // namespace sf::cli
