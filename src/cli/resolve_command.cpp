#include "cli/resolve_command.h"

#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/encoding.h"
#include "cli/command_line.h"
#include "cli/terminal_prompts.h"

namespace sf::cli {

const char* const kResolveUsage =
    "Usage: sharefetch-cli resolve [--host URL] [--password TEXT] [--json] SHARE\n"
    "  Resolves a share link into its files with a direct link for each. SHARE is the link or\n"
    "  the text it came in (\"链接：… 提取码：…\", a link with ?pwd=); its code answers the\n"
    "  first password prompt.\n"
    "  --host URL       the share service's web host (default: $SHAREFETCH_HOST, else the "
    "service)\n"
    "  --password TEXT  answers the first extraction-password prompt\n"
    "  --json           prints one JSON object instead of the table\n";

int RunResolve(const std::vector<std::string>& args, Streams io) {
  ShareCommandArgs given;
  if (std::optional<int> status =
          ParseShareCommandArgs(args, "resolve", kResolveUsage, true, io, &given))
    return *status;

  TerminalResolution resolution(io, given, {given.url, given.code});
  resolution.Run();

  if (given.json) {
    nlohmann::ordered_json doc;
    resolution.Describe(doc, true);
    doc["entries"] = nlohmann::ordered_json::array();
    for (const FileEntry& e : resolution.driver.entries()) {
      doc["entries"].push_back({{"fs_id", GbkToUtf8(e.fs_id)},
                                {"app_id", GbkToUtf8(e.app_id)},
                                {"server_filename", GbkToUtf8(e.server_filename)},
                                {"size", GbkToUtf8(e.size)},
                                {"isdir", GbkToUtf8(e.isdir)},
                                {"path", GbkToUtf8(e.path)},
                                {"dlink", GbkToUtf8(e.dlink)}});
    }
    io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    resolution.view.PrintTable();
  }
  // Files left out of a listing make a resolution without a failed link no success either.
  return resolution.driver.complete() ? 0 : 1;
}

}  // namespace sf::cli
