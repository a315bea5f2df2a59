// What the web clients do with a response's header block and body: cookie collection, the
// redirect target, the merge into the caller's cookie text, and decoding a body declared in
// another character set. Cookie texts are "name=value" pairs joined by "; " and are the whole
// cookie store of the program.
#pragma once

#include <string>
#include <string_view>

namespace sf {

// Every "Set-Cookie", in any letter case and anywhere in the block, becomes "Set-Cookie".
std::string NormalizeSetCookie(std::string_view block);

// The first pair of every Set-Cookie line, joined by "; " (attributes dropped).
std::string CollectCookies(std::string_view block);

// The line scan of a header block: `newCookies` becomes the collected cookies; `location`
// takes the value of the last "Location: " line and is left alone when there is none.
void ScanHeaderBlock(std::string_view block, std::string* newCookies, std::string* location);

// Merges `newCookies` into `cookies`: the response's pairs first, then the old pairs whose
// names it did not set; "=deleted" pairs and repeats go. Both texts lose their spaces.
void MergeCookies(std::string* cookies, std::string* newCookies);

// Cookies belong to the host that set them, as a browser keeps them: a cookie text goes only to
// the host it was collected from, and a response from another host adds nothing to it.

// The host name a URL's cookies belong to, in lower case, without user, port or brackets;
// "" when the text is no http or https address (no request goes anywhere for it).
std::string CookieHostOf(std::string_view url);

// Whether a cookie of `domain` goes to `host` (both lower case): the same name, or, for a
// cookie set with a Domain attribute, a name below it. An address matches only itself.
bool DomainMatches(std::string_view host, std::string_view domain);

// `block` without the Set-Cookie lines that are not `requestHost`'s when `answeringHost`
// answered (redirects led there): only a cookie whose Domain covers both hosts is kept.
std::string CookieLinesFor(std::string_view block, std::string_view requestHost,
                           std::string_view answeringHost);

// The character set a page declares in a meta tag within its first 1024 bytes, or "".
std::string CharsetFromMeta(std::string_view pageText);

// The charset parameter of the last Content-Type line of a header block, or "".
std::string CharsetFromContentType(std::string_view headerBlock);

// Decodes `bodyBytes` into GBK when `charset` names another character set; gives `text`
// unchanged for "", "gbk" and "gb2312" (exactly), and for a name we do not know.
std::string DecodeBodyText(std::string text, std::string_view bodyBytes, std::string_view charset);

}  // namespace sf
