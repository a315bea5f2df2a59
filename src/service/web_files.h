// The page the service serves: its files are found at start, relative to the program as the
// download engine is, and become the server's fixed static set.
#pragma once

#include <map>
#include <string>

namespace sf::service {

// The page's directory for a program in `programDirectory`: "web" beside it (the build tree),
// else <prefix>/share/sharefetch/web for a program in <prefix>/bin (installed). Empty when
// neither holds an index.html.
std::string WebDirectory(const std::string& programDirectory);

// Every regular file under `directory`, by the name a path asks for ("app.js", "icons/a.svg")
// to its path. Links, hidden files and names a request could not ask for are left out, so the
// set holds nothing the page's own files do not.
std::map<std::string, std::string> WebFiles(const std::string& directory);

}  // namespace sf::service
