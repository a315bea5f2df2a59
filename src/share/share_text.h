// What users paste when a share is passed on: a bare link, a link with its code in the query,
// the service's own message ("链接：… 提取码：…"), a chat program's copy of it with the line
// wrapped inside the link, an English "Link: … Code: …", or a whole list of them. The reader
// takes out of such text each share's clean link and its extraction code, and never more: no
// message text reaches the service, and a text without a code gives none.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sf {

// One share found in pasted text.
struct PastedShare {
  // The share's link on the configured host, in the form the resolution expects:
  // HOST/s/ID for short links (a "surl=X" link becomes HOST/s/1X), or
  // HOST/share/init?shareid=N&uk=M for links that name the share by its ids.
  std::string link;
  // Its extraction code: from "pwd=" in the link, else from a labelled code next to it
  // ("提取码：abcd", "密码: abcd", "Code: abcd"); empty when the text gives none.
  std::string code;
};

// Every distinct share link in `text` (GBK), in the order they first appear. Links are taken
// on `host` (the configured share host, with its scheme) and on the service's own host, with
// or without a scheme; whatever host they named, the result names `host`.
std::vector<PastedShare> ReadShareText(std::string_view text, std::string_view host);

// The first labelled extraction code in `text` (GBK), for text that carries a code and no
// link ("提取码：abcd"); empty when it has none.
std::string ReadExtractionCode(std::string_view text);

}  // namespace sf
