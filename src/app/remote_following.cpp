#include "app/remote_following.h"

#include <chrono>
#include <thread>

#include "app/crossing_renewer.h"
#include "base/timestamp.h"
#include "download/remote_follower.h"
#include "net/json_rpc.h"
#include "view/remote_rows.h"

namespace sf::app {

RemoteFollowing::RemoteFollowing(QObject* context) : bridge_(context) {}

RemoteFollowing::~RemoteFollowing() {
  bridge_.Close();
}

void RemoteFollowing::Start(std::string address, std::string secret, std::vector<RemoteFile> files,
                            std::vector<int> ids, std::vector<FileEntry> entries,
                            std::shared_ptr<LinkRenewer> renewer, Show show) {
  auto answers = std::make_shared<CrossingAnswers>();
  bridge_.Start(
      [this, address = std::move(address), secret = std::move(secret), files = std::move(files),
       ids = std::move(ids), entries = std::move(entries), renewer = std::move(renewer), show,
       answers]() mutable {
        const CancelFlag cancel = bridge_.cancelFlag();
        JsonRpcClient client(address);
        client.SetCancelFlag(cancel);
        client.SetTimeoutSeconds(10);
        Aria2Remote aria2(client, secret);
        std::shared_ptr<CrossingRenewer> crossing;
        if (renewer) crossing = std::make_shared<CrossingRenewer>(bridge_, renewer, answers);
        RemoteFollower follower({&aria2}, std::move(files), std::move(entries), crossing);
        const std::string shown = ShownEndpoint(address);
        while (!cancel.raised()) {
          if (crossing) crossing->HandOver();
          follower.Poll(NowMs());
          std::vector<RemoteRow> rows;
          for (size_t i = 0; i < follower.followed().size(); ++i) {
            const FollowedFile& f = follower.followed()[i];
            const RemoteFile& file = follower.FileOf(f);
            RemoteRow& row = rows.emplace_back();
            row.id = ids[f.file];
            row.texts = RemoteRowTexts(f, file, shown);
            row.complete = f.end == FollowedFile::End::kComplete;
            row.size = file.plan.size >= 0 ? file.plan.size : f.last.total;
            row.done = row.complete && row.size >= 0 ? row.size : f.last.done;
            row.speed = f.end == FollowedFile::End::kNone ? f.last.speed : -1;
          }
          bridge_.Post([show, rows = std::move(rows)] { show(rows); });
          if (follower.Ended()) break;
          for (int slice = 0; slice < 4 && !cancel.raised(); ++slice)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
      },
      [] {});
}

}  // namespace sf::app
