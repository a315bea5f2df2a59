// The downloads tab's rows of the files a remote downloader holds, beside the local ones. GBK.
#pragma once

#include <string>

#include "download/remote_follower.h"
#include "view/download_list.h"

namespace sf {

// The downloads tab's row of a file followed on a remote downloader (GBK): the columns of a
// local download's, "等待中", "已暂停", "已完成" or "失败" (with the reason in the progress
// column) in the speed column, and a tooltip that begins with "远程" and names the downloader.
DownloadRowTexts RemoteRowTexts(const FollowedFile& followed, const RemoteFile& file,
                                const std::string& downloader);

}  // namespace sf
