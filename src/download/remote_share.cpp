#include "download/remote_share.h"

#include <algorithm>
#include <limits>
#include <map>

#include "base/encoding.h"

namespace sf {
namespace {

constexpr const char* kAddMethod = "aria2.addUri";

}  // namespace

bool HoldsWholeFile(const RemoteStatus& status, int64_t size) {
  const int64_t whole = size >= 0 ? size : status.total;
  return status.status == "complete" && whole >= 0 && status.done == whole;
}

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

std::string RemoteEngineHandOff::FailureText() const {
  return failure.kind == RpcFailure::kNone ? std::string()
                                           : DescribeRpcError(failedMethod, failure);
}

std::string SpreadHandOff::Reason(const RemoteFile& file) const {
  if (!file.problem.empty()) return file.problem;
  if (file.outcome.error.kind != RpcFailure::kNone)
    return DescribeRpcError(kAddMethod, file.outcome.error);
  if (file.engine < engines.size() && engines[file.engine].down)
    return engines[file.engine].FailureText();
  return "no downloader could take it";
}

std::pair<RpcError, std::string> SpreadHandOff::FirstFailure() const {
  for (const RemoteEngineHandOff& engine : engines)
    if (engine.down) return {engine.failure, engine.failedMethod};
  for (const RemoteFile& f : files)
    if (!f.accepted() && f.outcome.error.kind != RpcFailure::kNone)
      return {f.outcome.error, kAddMethod};
  return {};
}

namespace {

// What a downloader holds at a path: the download to keep following before one that ended
// without its file.
const RemoteStatus* Best(const std::vector<const RemoteStatus*>& held) {
  const RemoteStatus* best = nullptr;
  for (const RemoteStatus* s : held) {
    bool going = s->status != "error" && s->status != "removed";
    if (going) return s;
    if (!best && s->status == "error") best = s;
  }
  return best;
}

}  // namespace

SpreadHandOff SpreadShare(const std::vector<Aria2Remote*>& remotes,
                          const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                          const std::string& base) {
  SpreadHandOff spread;
  spread.engines.resize(remotes.size());
  // Each downloader's own plan: the same files and names, under its own directory.
  std::vector<std::vector<RemoteFile>> plans(remotes.size());
  std::vector<std::map<std::string, std::vector<const RemoteStatus*>>> held(remotes.size());
  std::vector<std::vector<RemoteStatus>> lists(remotes.size());
  for (size_t e = 0; e < remotes.size(); ++e) {
    RemoteEngineHandOff& engine = spread.engines[e];
    engine.base = base;
    if (base.empty()) {
      Aria2Remote::Text dir = remotes[e]->GlobalDirectory();
      engine.failure = dir.error;
      engine.failedMethod = "aria2.getGlobalOption";
      engine.base = dir.value;
    }
    if (engine.failure.kind == RpcFailure::kNone) {
      lists[e] = remotes[e]->Everything(&engine.failure);
      engine.failedMethod = "aria2.tellActive";
    }
    engine.down = engine.failure.kind != RpcFailure::kNone;
    plans[e] = PlanRemoteShare(entries, chosen, engine.down ? base : engine.base);
    for (const RemoteStatus& s : lists[e]) held[e][s.path].push_back(&s);
  }
  // Every plan lists the same files in the same order; the first one stands for them until a
  // downloader is chosen.
  spread.files = plans.empty() ? PlanRemoteShare(entries, chosen, base) : plans[0];

  // Files already on a downloader stay there; a failed one goes back to it to resume.
  std::vector<std::vector<size_t>> resume(remotes.size());
  std::vector<size_t> open;
  for (size_t i = 0; i < spread.files.size(); ++i) {
    if (!spread.files[i].download) continue;
    bool placed = false;
    for (size_t e = 0; e < remotes.size() && !placed; ++e) {
      if (spread.engines[e].down) continue;
      auto at = held[e].find(plans[e][i].RemotePath());
      const RemoteStatus* s = at == held[e].end() ? nullptr : Best(at->second);
      if (!s) continue;
      placed = true;
      spread.files[i] = plans[e][i];
      spread.files[i].engine = e;
      spread.engines[e].files += 1;
      spread.engines[e].bytes += std::max<int64_t>(0, spread.files[i].plan.size);
      // A file ended short is started over; it has no partial to continue.
      const bool cut = s->status == "complete" && !HoldsWholeFile(*s, spread.files[i].plan.size);
      if (s->status == "error" || cut) {
        // Its result goes, so that the download handed back is the one result at that path.
        remotes[e]->RemoveResult(s->gid);
        spread.files[i].download->restart = cut;
        resume[e].push_back(i);
      } else {
        spread.files[i].outcome.gid = s->gid;
        spread.files[i].found = true;
      }
    }
    if (!placed) open.push_back(i);
  }
  std::stable_sort(open.begin(), open.end(), [&](size_t a, size_t b) {
    return spread.files[a].plan.size > spread.files[b].plan.size;
  });

  // Rounds: the open files spread over the downloaders still up; one that fails a whole batch
  // is left out, and what it did not take goes round again.
  while (true) {
    std::vector<std::vector<size_t>> given(remotes.size());
    bool any = false;
    for (size_t i : open) {
      size_t least = remotes.size();
      for (size_t e = 0; e < remotes.size(); ++e) {
        if (spread.engines[e].down) continue;
        if (least == remotes.size() || spread.engines[e].bytes < spread.engines[least].bytes ||
            (spread.engines[e].bytes == spread.engines[least].bytes &&
             spread.engines[e].files < spread.engines[least].files))
          least = e;
      }
      if (least == remotes.size()) break;
      spread.files[i] = plans[least][i];
      spread.files[i].engine = least;
      spread.engines[least].files += 1;
      spread.engines[least].bytes += std::max<int64_t>(0, spread.files[i].plan.size);
      given[least].push_back(i);
      any = true;
    }
    if (!any && std::all_of(resume.begin(), resume.end(), [](auto& r) { return r.empty(); })) break;
    std::vector<size_t> again;
    for (size_t e = 0; e < remotes.size(); ++e) {
      for (int pass = 0; pass < 2; ++pass) {
        std::vector<size_t>& batch = pass == 0 ? resume[e] : given[e];
        if (batch.empty()) continue;
        std::vector<RemoteDownload> downloads;
        for (size_t i : batch) downloads.push_back(*spread.files[i].download);
        std::vector<RemoteOutcome> outcomes = remotes[e]->AddAll(downloads);
        for (size_t k = 0; k < batch.size(); ++k) {
          RemoteFile& f = spread.files[batch[k]];
          f.outcome = std::move(outcomes[k]);
          if (f.accepted()) continue;
          RpcFailure kind = f.outcome.error.kind;
          // A downloader that answers for itself refused this file alone; anything else
          // leaves it out, with what it was given.
          if (kind == RpcFailure::kRpcError || kind == RpcFailure::kBadRequest) continue;
          if (!spread.engines[e].down) {
            spread.engines[e].down = true;
            spread.engines[e].failure = f.outcome.error;
            spread.engines[e].failedMethod = kAddMethod;
          }
          spread.engines[e].files -= 1;
          spread.engines[e].bytes -= std::max<int64_t>(0, f.plan.size);
          again.push_back(batch[k]);
        }
        batch.clear();
      }
    }
    if (again.empty()) break;
    open = std::move(again);
    std::stable_sort(open.begin(), open.end(), [&](size_t a, size_t b) {
      return spread.files[a].plan.size > spread.files[b].plan.size;
    });
  }
  return spread;
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
