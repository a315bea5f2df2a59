#include "download/link_renewer.h"

#include "base/encoding.h"
#include "share/resolve_driver.h"

namespace sf {

void DriverRenewer::Renew(const FileEntry& entry, Answer done) {
  FileEntry fresh = entry;
  int code = driver_.RenewLink(fresh, shareUrl_);
  // Given up at the user's word: the file is left without an answer, unfinished, not failed.
  if (code == kResolutionCancelled) return;
  std::string why = session_.ErrorMessage(code);
  if (!session_.FailureReason().empty()) why += " (" + session_.FailureReason() + ")";
  if (code == 0)
    done(fresh.dlink, {});
  else
    done({}, "no fresh link: " + GbkToUtf8(why));
}

}  // namespace sf
