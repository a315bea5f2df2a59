// `sharefetch-cli get --rpc URL` and `get --export FILE`: the files `get` resolved and picked,
// handed to aria2 on another machine over its JSON-RPC interface, or written as its input file,
// instead of downloaded here.
#pragma once

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/terminal_io.h"
#include "share/share_session.h"

namespace sf {
class LinkRenewer;
}

namespace sf::cli {

struct RemoteEngine {
  std::string rpc;     // the downloader's JSON-RPC address
  std::string secret;  // its --rpc-secret; empty for none
};

struct RemoteOptions {
  std::vector<RemoteEngine> engines;  // every --rpc, in the order given
  std::string exportTo;               // the input file to write; "-" for standard output
  std::string dir;  // the base directory over there, as given; empty for the default
  bool json = false;
  bool follow = false;  // --follow: until every file handed over has ended there

  bool wanted() const { return !engines.empty() || !exportTo.empty(); }
};

// The value of --rpc-secret: the secret as given, or, for "@FILE", the first line of FILE, so
// that it need not stand on the command line, where other users can read it. Gives the problem,
// empty when `secret` is filled; it never holds the secret.
std::string ReadRpcSecret(const std::string& given, std::string* secret);

// What following needs besides the options: the share's renewer (as a local download's), the
// flag Ctrl-C raises, and whether standard error is a terminal for a live display.
struct FollowContext {
  std::shared_ptr<LinkRenewer> renewer;
  const std::atomic<bool>* interrupted = nullptr;
  bool live = false;
};

// The files of one share to hand over: the share's entries, those picked, and whether the share
// resolved completely.
struct ShareToHandOff {
  const std::vector<FileEntry>& entries;
  const std::vector<size_t>& chosen;
  bool resolved = false;
};

// Hands the share's chosen entries over, or exports them. `doc` holds the resolution's result
// for the JSON output. Standard output gets
// GID<TAB>PATH per accepted file, with <TAB>DOWNLOADER when there are several (or the JSON
// object, or the input file for "-"); standard error one line per file not handed over and one
// naming the cause. 0 when every file went. With --follow, then follows them until each has
// ended: 0 when every one completed, 130 when interrupted (the downloads go on there).
int HandOffShare(const RemoteOptions& options, nlohmann::ordered_json doc,
                 const ShareToHandOff& share, Streams io, const FollowContext& follow = {});

}  // namespace sf::cli
