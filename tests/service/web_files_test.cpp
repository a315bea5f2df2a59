// The page's files: found beside the program in the build tree or under share/ once installed,
// and served as the fixed static set, with nothing the directory holds besides them.
#include "service/web_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sandbox.h"
#include "service_fixture.h"

namespace sf::test {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

TEST(WebFilesTest, FoundBesideTheProgramElseUnderTheInstalledShare) {
  Sandbox box;
  const fs::path prefix = box / "usr";
  fs::create_directories(prefix / "bin");
  EXPECT_EQ(service::WebDirectory((prefix / "bin").string()), "") << "no page anywhere";

  Write(prefix / "share/sharefetch/web/index.html", "installed");
  EXPECT_EQ(service::WebDirectory((prefix / "bin").string()),
            (prefix / "share/sharefetch/web").string());
  // A directory of a program not named bin has no installed share beside it.
  fs::create_directories(box / "build/bin");
  EXPECT_EQ(service::WebDirectory((box / "build").string()), "");

  // The build tree's copy beside the program comes first; a web/ without a page does not count.
  fs::create_directories(prefix / "bin/web");
  EXPECT_EQ(service::WebDirectory((prefix / "bin").string()),
            (prefix / "share/sharefetch/web").string());
  Write(prefix / "bin/web/index.html", "beside");
  EXPECT_EQ(service::WebDirectory((prefix / "bin").string()), (prefix / "bin/web").string());
  EXPECT_EQ(service::WebDirectory(""), "");
}

class WebPageTest : public ServiceFixture {};

TEST_F(WebPageTest, OnlyThePagesOwnFilesAreServedWithTheirTypes) {
  Sandbox box;
  const fs::path web = box / "web";
  Write(web / "index.html", "<script type=\"module\" src=\"app.js\"></script>");
  Write(web / "app.js", "export const page = 1;");
  Write(web / "icons/folder.svg", "<svg/>");
  Write(web / ".hidden.js", "left behind by an editor");
  Write(web / ".git/config", "[core]");
  Write(web / "a%41.js", "a name no request can ask for");
  Write(box / "secret.txt", "outside the page");
  fs::create_symlink(box / "secret.txt", web / "linked.txt");
  fs::create_directory_symlink(box.path(), web / "up");

  const std::map<std::string, std::string> files = service::WebFiles(web.string());
  std::vector<std::string> names;
  for (const auto& [name, path] : files) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"app.js", "icons/folder.svg", "index.html"}));
  EXPECT_TRUE(service::WebFiles((box / "missing").string()).empty());

  options_.http.staticFiles = files;
  Start();
  Reply page = Exchange(Request("GET", "/"));
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("app.js"), std::string::npos);
  EXPECT_NE(page.headers["content-security-policy"].find("default-src 'self'"), std::string::npos);
  Reply script = Exchange(Request("GET", "/app.js"));
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.headers["content-type"], "text/javascript; charset=utf-8");
  EXPECT_EQ(script.body, "export const page = 1;");
  EXPECT_EQ(Exchange(Request("GET", "/icons/folder.svg")).headers["content-type"], "image/svg+xml");
  for (const char* path : {"/linked.txt", "/up/secret.txt", "/.hidden.js", "/.git/config"})
    EXPECT_EQ(Exchange(Request("GET", path)).status, 404) << path;
}

}  // namespace
}  // namespace sf::test
