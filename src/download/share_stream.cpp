#include "download/share_stream.h"

namespace sf {

// The session serves one resolution at a time, and the share sees its link requests in the
// order of a resolution alone: a fresh link asked for while the later links are still asked
// for waits until the resolution has ended.
class ShareStream::Holding : public LinkRenewer {
 public:
  explicit Holding(std::shared_ptr<LinkRenewer> renewer) : renewer_(std::move(renewer)) {}
  void Renew(const FileEntry& entry, Answer done) override {
    if (!holding_) return renewer_->Renew(entry, std::move(done));
    held_.push_back({entry, std::move(done)});
  }
  void Release() {
    holding_ = false;
    std::vector<std::pair<FileEntry, Answer>> held;
    held.swap(held_);
    for (auto& [entry, done] : held) renewer_->Renew(entry, std::move(done));
  }

 private:
  std::shared_ptr<LinkRenewer> renewer_;
  bool holding_ = true;
  std::vector<std::pair<FileEntry, Answer>> held_;
};

ShareStream::ShareStream(StreamOwner& owner, std::shared_ptr<LinkRenewer> renewer)
    : owner_(owner), held_(std::make_shared<Holding>(std::move(renewer))), holding_(held_) {}

void ShareStream::KeepListing(std::vector<FileEntry> listing) {
  kept_ = std::move(listing);
  shared_ = nullptr;
  listing_ = &kept_;
}

void ShareStream::LendListing(const std::vector<FileEntry>& listing) {
  kept_ = {};
  shared_ = nullptr;
  listing_ = &listing;
}

void ShareStream::ShareListing(std::shared_ptr<const std::vector<FileEntry>> listing) {
  kept_ = {};
  shared_ = std::move(listing);
  listing_ = shared_.get();
}

ShareId ShareStream::Open(const std::vector<size_t>& chosen, const std::string& directory) {
  if (listing_ == nullptr) return ShareId::kNone;
  if (ended_ && shared_) {
    ShareOrder order{{}, chosen, directory, holding_, source_, false};
    order.shared = shared_;
    return owner_.AddShare(std::move(order));
  }
  if (ended_) return owner_.AddShare({*listing_, chosen, directory, holding_, source_, false});
  ShareId share = owner_.AddShare({*listing_, chosen, directory, holding_, {}, true});
  for (size_t entry : linked_) owner_.AddLink(share, entry, (*listing_)[entry].dlink);
  shares_.push_back(share);
  return share;
}

void ShareStream::Link(size_t entry, const std::string& link) {
  if (listing_ == nullptr || entry >= listing_->size()) return;
  if (listing_ == &kept_) kept_[entry].dlink = link;
  linked_.push_back(entry);
  for (ShareId share : shares_) owner_.AddLink(share, entry, link);
}

void ShareStream::End(std::optional<ShareSource> source) {
  if (ended_) return;
  ended_ = true;
  if (source) source_ = *source;
  // No more links come: the files still without one fail, those under way go on.
  for (ShareId share : shares_) {
    if (source) owner_.SetShareSource(share, *source);
    owner_.CloseShare(share);
  }
  held_->Release();
}

}  // namespace sf
