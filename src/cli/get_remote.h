// `sharefetch-cli get --rpc URL` and `get --export FILE`: the files `get` resolved and picked,
// handed to aria2 on another machine over its JSON-RPC interface, or written as its input file,
// instead of downloaded here.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/terminal_io.h"
#include "share/share_session.h"

namespace sf::cli {

struct RemoteOptions {
  std::string rpc;       // the downloader's JSON-RPC address
  std::string secret;    // its --rpc-secret; empty for none
  std::string exportTo;  // the input file to write; "-" for standard output
  std::string dir;       // the base directory over there, as given; empty for the default
  bool json = false;

  bool wanted() const { return !rpc.empty() || !exportTo.empty(); }
};

// Hands the entries at `chosen` over, or exports them. `doc` holds the resolution's result for
// the JSON output; `resolved` says whether the share resolved completely. Standard output gets
// GID<TAB>PATH per accepted file (or the JSON object, or the input file for "-"); standard error
// one line per file not handed over and one naming the cause. 0 when every file went.
int HandOffShare(const RemoteOptions& options, nlohmann::ordered_json doc, bool resolved,
                 const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                 Streams io);

}  // namespace sf::cli
