// A share downloaded while its links are still being asked for, the same way in the terminal and
// in the window: shares opened on the growing listing, each file queued as its link comes, the
// fresh links files ask for held until the resolution has ended, and every share closed then.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "download/downloads.h"
#include "download/link_renewer.h"
#include "download/share_plan.h"
#include "share/share_session.h"

namespace sf {

// The owner of the downloads a stream opens its shares in, whichever back-end holds them. A
// stream asks it only for AddShare (open while the links come, whole after), AddLink,
// CloseShare and SetShareSource.
using StreamOwner = Downloads;

class ShareStream {
 public:
  // `renewer` asks the share for a fresh link; nothing reaches it before End.
  ShareStream(StreamOwner& owner, std::shared_ptr<LinkRenewer> renewer);
  ShareStream(const ShareStream&) = delete;
  ShareStream& operator=(const ShareStream&) = delete;

  // What every share of the stream is renewed through, before End and after: the owner knows
  // the files of one resolution by it, so give it for that resolution's other shares too (one
  // partial, one owner).
  const std::shared_ptr<LinkRenewer>& renewer() const { return holding_; }

  // The listing the shares are planned on, whole by its first link. A kept listing is the
  // stream's own copy, into which it writes each link for the shares opened later. A lent one
  // is the caller's: it must outlive the stream and hold each entry's link from the Link that
  // tells of it for as long as a share may still be opened on it.
  void KeepListing(std::vector<FileEntry> listing);
  void LendListing(const std::vector<FileEntry>& listing);
  // A listing whole and never changed again, as a parse's once it has ended: the shares opened
  // after End are planned on it instead of on a copy.
  void ShareListing(std::shared_ptr<const std::vector<FileEntry>> listing);
  // Null until one was given.
  const std::vector<FileEntry>* listing() const { return listing_; }

  // Plans the listing's entries at `chosen` into `directory` (absolute, UTF-8). Before End each
  // file waits for its link, those that came already are handed over at once; after End every
  // file is queued at once, as the whole share is known, with the source End was given. Entries a
  // share of this stream still downloads are left out. No share (kNone) without a listing.
  ShareId Open(const std::vector<size_t>& chosen, const std::string& directory);

  // The link (GBK) of the listing's entry at `entry` has come: each share opened gets it.
  void Link(size_t entry, const std::string& link);

  // The resolution has ended: each share opened is told `source` (when given) and closed, so
  // its files still without a link fail; then the renewals held are asked for, in the order
  // they were held, and later ones go straight through. A stream given up instead (Ctrl-C,
  // a closed window) is not ended: its files without a link stay unfinished, and so do those
  // whose renewal it holds.
  void End(std::optional<ShareSource> source = std::nullopt);
  bool ended() const { return ended_; }

  const std::vector<ShareId>& shares() const { return shares_; }

 private:
  class Holding;

  StreamOwner& owner_;
  std::shared_ptr<Holding> held_;
  std::shared_ptr<LinkRenewer> holding_;  // held_, as the owner takes it
  std::vector<FileEntry> kept_;
  std::shared_ptr<const std::vector<FileEntry>> shared_;
  const std::vector<FileEntry>* listing_ = nullptr;
  std::vector<size_t> linked_;  // the entries whose link came, in their order
  std::vector<ShareId> shares_;
  ShareSource source_;
  bool ended_ = false;
};

}  // namespace sf
