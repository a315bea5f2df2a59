#include "download/remote_share.h"

#include <limits>

#include "base/encoding.h"

namespace sf {
namespace {

constexpr const char* kAddMethod = "aria2.addUri";

}  // namespace

std::vector<RemoteFile> PlanRemoteShare(const std::vector<FileEntry>& entries,
                                        const std::vector<size_t>& chosen,
                                        const std::string& base) {
  PlanOptions options;
  options.directory = base;
  // The other machine's limits are its own business; only a name's length is kept, as a
  // common file system wants it.
  options.maxDirectoryUnits = std::numeric_limits<size_t>::max();
  auto nothingThere = [](const std::string&) { return DiskEntry{}; };
  std::vector<RemoteFile> files;
  for (PlannedFile& planned : PlanShare(entries, chosen, options, nothingThere)) {
    RemoteFile& f = files.emplace_back();
    f.plan = std::move(planned);
    f.dir = JoinRemoteDir(base, f.plan.folder);
    const FileEntry& entry = entries[f.plan.entry];
    if (f.plan.step == PlanStep::kRefuse)
      f.problem = f.plan.problem;
    else if (entry.dlink.empty())
      f.problem = "the share gave no link for it";
    else
      f.download = MakeRemoteDownload(GbkToUtf8(entry.dlink), f.dir, f.plan.name, &f.problem);
  }
  return files;
}

bool RemoteHandOff::AllAccepted() const {
  for (const RemoteFile& f : files)
    if (!f.accepted()) return false;
  return true;
}

std::string RemoteHandOff::FailureText() const {
  return failure.kind == RpcFailure::kNone ? std::string()
                                           : DescribeRpcError(failedMethod, failure);
}

std::string RemoteHandOff::Reason(const RemoteFile& file) const {
  if (!file.problem.empty()) return file.problem;
  if (file.outcome.error.kind != RpcFailure::kNone)
    return DescribeRpcError(kAddMethod, file.outcome.error);
  return FailureText();
}

RemoteHandOff HandOverShare(Aria2Remote& remote, const std::vector<FileEntry>& entries,
                            const std::vector<size_t>& chosen, const std::string& base) {
  RemoteHandOff handOff;
  handOff.base = base;
  if (base.empty() && !chosen.empty()) {
    Aria2Remote::Text dir = remote.GlobalDirectory();
    if (!dir.ok()) {
      handOff.failure = dir.error;
      handOff.failedMethod = "aria2.getGlobalOption";
      handOff.files = PlanRemoteShare(entries, chosen, base);
      return handOff;
    }
    handOff.base = dir.value;
  }
  handOff.files = PlanRemoteShare(entries, chosen, handOff.base);

  std::vector<RemoteDownload> downloads;
  std::vector<RemoteFile*> going;
  for (RemoteFile& f : handOff.files) {
    if (!f.download) continue;
    downloads.push_back(*f.download);
    going.push_back(&f);
  }
  std::vector<RemoteOutcome> outcomes = remote.AddAll(downloads);
  for (size_t i = 0; i < going.size(); ++i) {
    going[i]->outcome = std::move(outcomes[i]);
    if (handOff.failure.kind == RpcFailure::kNone && !going[i]->accepted()) {
      handOff.failure = going[i]->outcome.error;
      handOff.failedMethod = kAddMethod;
    }
  }
  return handOff;
}

std::string ExportShare(std::vector<RemoteFile>& files) {
  std::vector<RemoteDownload> downloads;
  std::vector<RemoteFile*> going;
  for (RemoteFile& f : files) {
    if (!f.download) continue;
    downloads.push_back(*f.download);
    going.push_back(&f);
  }
  InputFile file = WriteInputFile(downloads);
  for (const InputFile::Refused& r : file.refused) going[r.index]->problem = r.reason;
  return file.text;
}

}  // namespace sf
