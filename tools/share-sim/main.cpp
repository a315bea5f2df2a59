// share-sim: serves a fixture of shares on 127.0.0.1 until it gets SIGINT or SIGTERM (or,
// with --exit-on-eof, until its standard input closes, so a test harness that dies takes
// the simulator with it).
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "file_content.h"
#include "share_simulator.h"
#include "sim_text.h"

namespace {

constexpr const char* kUsage =
    "Usage: share-sim (--fixture FILE | --demo) [--port N] [--log FILE] [--rate BYTES_PER_SEC]\n"
    "                 [--file-host URL] [--link-delay MS] [--exit-on-eof]\n"
    "       share-sim (--fixture FILE | --demo) --write-files DIR\n"
    "\n"
    "Plays a share service on 127.0.0.1 for the shares of a fixture file.\n"
    "  --fixture FILE   the shares to serve (JSON, see tools/share-sim/README.md)\n"
    "  --demo           the bundled demo fixture instead of a file\n"
    "  --port N         port to listen on (default 0: a free one, printed on start)\n"
    "  --log FILE       append every request to FILE as one JSON object per line\n"
    "  --rate N         throttle every download connection to N bytes per second\n"
    "  --file-host URL  direct links point at URL (http://HOST:PORT) instead of here\n"
    "  --link-delay MS  answer every link request (/api/sharedownload) MS milliseconds late\n"
    "  --exit-on-eof    also stop when standard input closes\n"
    "  --write-files DIR  write every file of every share to DIR/SHAREID/FS_ID and exit\n"
    "Runs until SIGINT or SIGTERM.\n";

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
  gStop = 1;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "share-sim: %s\n\n%s", message.c_str(), kUsage);
  return 2;
}

// The same bytes the file server streams, laid out for another server (a benchmark's nginx)
// to serve: DIR/<shareid>/<fs_id>.
int WriteFiles(const sf::sim::Fixture& fixture, const std::string& dir) {
  std::vector<char> buf(1 << 20);
  for (const auto& share : fixture.shares) {
    std::string folder = dir + "/" + std::to_string(share->shareid);
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "share-sim: %s: %s\n", folder.c_str(), std::strerror(errno));
      return 1;
    }
    for (const auto& [fsId, node] : share->byFsId) {
      if (node->isDir) continue;
      std::string path = folder + "/" + std::to_string(fsId);
      FILE* f = std::fopen(path.c_str(), "wb");
      bool ok = f != nullptr;
      for (uint64_t off = 0; ok && off < node->size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), node->size - off));
        sf::sim::FileContent(fsId, off, buf.data(), n);
        ok = std::fwrite(buf.data(), 1, n, f) == n;
        off += n;
      }
      if (f && std::fclose(f) != 0) ok = false;
      if (!ok) {
        std::fprintf(stderr, "share-sim: cannot write %s\n", path.c_str());
        return 1;
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string fixturePath, logPath, fileHost, writeDir;
  bool demo = false, exitOnEof = false;
  int port = 0;
  int linkDelay = 0;
  uint64_t rate = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--fixture") {
      const char* v = value();
      if (!v) return Usage("--fixture needs a file");
      fixturePath = v;
    } else if (arg == "--demo") {
      demo = true;
    } else if (arg == "--port") {
      const char* v = value();
      auto n = v ? sf::sim::ParseUint(v) : std::nullopt;
      if (!n || *n > 65535) return Usage("--port needs a number from 0 to 65535");
      port = static_cast<int>(*n);
    } else if (arg == "--log") {
      const char* v = value();
      if (!v || !*v) return Usage("--log needs a file");
      logPath = v;
    } else if (arg == "--rate") {
      const char* v = value();
      auto n = v ? sf::sim::ParseUint(v) : std::nullopt;
      if (!n) return Usage("--rate needs a number of bytes per second");
      rate = *n;
    } else if (arg == "--file-host") {
      const char* v = value();
      std::string url = v ? v : "";
      while (!url.empty() && url.back() == '/') url.pop_back();
      if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0)
        return Usage("--file-host needs an http:// or https:// address");
      fileHost = url;
    } else if (arg == "--link-delay") {
      const char* v = value();
      auto n = v ? sf::sim::ParseUint(v) : std::nullopt;
      if (!n || *n > 600000) return Usage("--link-delay needs milliseconds from 0 to 600000");
      linkDelay = static_cast<int>(*n);
    } else if (arg == "--write-files") {
      const char* v = value();
      if (!v || !*v) return Usage("--write-files needs a directory");
      writeDir = v;
    } else if (arg == "--exit-on-eof") {
      exitOnEof = true;
    } else {
      return Usage("unknown argument '" + arg + "'");
    }
  }
  if (demo == !fixturePath.empty()) return Usage("give either --fixture FILE or --demo");

  std::string error;
  auto fixture = demo ? sf::sim::ParseFixture(sf::sim::DemoFixtureText(), &error)
                      : sf::sim::LoadFixture(fixturePath, &error);
  if (!fixture) {
    std::fprintf(stderr, "share-sim: %s\n", error.c_str());
    return 1;
  }
  if (!writeDir.empty()) return WriteFiles(*fixture, writeDir);
  sf::sim::ShareSimulator sim;
  sim.SetKeepRequests(false);  // a long run keeps nothing in memory; --log has them
  if (!logPath.empty() && !sim.SetLogFile(logPath)) {
    std::fprintf(stderr, "share-sim: %s\n", sim.error().c_str());
    return 1;
  }
  if (!fileHost.empty()) sim.SetFileHost(fileHost);
  sim.SetLinkDelay(linkDelay);
  if (rate > 0) {
    sf::sim::DownloadQuirks q = fixture->download;
    q.bytesPerSecond = rate;
    sim.SetDownloadOverride(q);
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  if (!sim.Start(fixture, port)) {
    std::fprintf(stderr, "share-sim: %s\n", sim.error().c_str());
    return 1;
  }
  std::printf("listening on %s\n", sim.Url("").c_str());
  for (const auto& s : fixture->shares) {
    std::printf("share %s: %s", s->id.c_str(), sim.ShareUrl(s->id).c_str());
    if (s->isProtected())
      std::printf("  password %s  (%s)", s->password.c_str(), sim.InitUrl(s->id).c_str());
    if (s->gone) std::printf("  gone");
    std::printf("\n");
  }
  std::fflush(stdout);
  while (!gStop) {
    if (exitOnEof) {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      if (::poll(&p, 1, 200) > 0) {
        char buf[256];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) break;
      }
    } else {
      ::usleep(200000);
    }
  }
  sim.Stop();
  return 0;
}
