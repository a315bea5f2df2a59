#include "base/path_glob.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace sf {
namespace {

enum class Kind : uint8_t {
  kByte,     // itself
  kOne,      // "?": one UTF-8 character within a segment
  kStar,     // "*": any run within a segment
  kAnyPath,  // "**": any run, across segments
  kFolders,  // "**/" at a segment's start: nothing, or a run of whole folders
};

struct Token {
  Kind kind;
  char byte;
};

std::vector<Token> Tokenize(std::string_view p) {
  std::vector<Token> tokens;
  for (size_t i = 0; i < p.size(); ++i) {
    char c = p[i];
    if (c == '*' && i + 1 < p.size() && p[i + 1] == '*') {
      bool folders = (i == 0 || p[i - 1] == '/') && i + 2 < p.size() && p[i + 2] == '/';
      tokens.push_back({folders ? Kind::kFolders : Kind::kAnyPath, 0});
      i += folders ? 2 : 1;
    } else if (c == '*') {
      tokens.push_back({Kind::kStar, 0});
    } else if (c == '?') {
      tokens.push_back({Kind::kOne, 0});
    } else {
      tokens.push_back({Kind::kByte, c});
    }
  }
  return tokens;
}

bool Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The states alive between two bytes of the path: at a token, inside the character a "?" took,
// inside the folders a "**/" took.
struct States {
  explicit States(size_t tokens) : at(tokens + 1), inOne(tokens), inFolders(tokens) {}
  std::vector<char> at, inOne, inFolders;
  void Clear() {
    for (std::vector<char>* v : {&at, &inOne, &inFolders}) std::fill(v->begin(), v->end(), 0);
  }
};

// The pattern run as a set of states over the path, one byte at a time, so that no "*" or "**"
// tries every split of what follows: the time is the path's length times the pattern's, however
// long the path a share hands us and however many stars a user writes.
class Matcher {
 public:
  explicit Matcher(std::string_view pattern)
      : tokens_(Tokenize(pattern)), end_(tokens_.size()), now_(end_), next_(end_) {}

  bool Match(std::string_view path) {
    Enter(now_, 0);
    for (char b : path) {
      next_.Clear();
      bool alive = false;
      for (size_t i = 0; i < end_; ++i) {
        // A "?" takes the continuation bytes of its character; any other byte ends it.
        if (now_.inOne[i] && Continuation(b)) next_.inOne[i] = alive = true;
        if (now_.inOne[i] && !Continuation(b)) Enter(now_, i + 1);
      }
      for (size_t i = 0; i < end_; ++i) {
        if (now_.at[i]) alive |= Step(i, b);
        // A folder's name runs to its "/", after which another may follow or the rest begin.
        if (now_.inFolders[i]) {
          alive = true;
          if (b == '/')
            Enter(next_, i);
          else
            next_.inFolders[i] = true;
        }
      }
      std::swap(now_, next_);
      if (!alive) return false;
    }
    for (size_t i = 0; i < end_; ++i)
      if (now_.inOne[i]) Enter(now_, i + 1);
    return now_.at[end_];
  }

 private:
  // Token `i`, and every one after it for as long as the one before can match nothing.
  void Enter(States& s, size_t i) {
    for (; i <= end_ && !s.at[i]; ++i) {
      s.at[i] = true;
      if (i == end_ || tokens_[i].kind == Kind::kByte || tokens_[i].kind == Kind::kOne) return;
    }
  }

  // Moves the state at token `i` over byte `b`; false when it cannot take it.
  bool Step(size_t i, char b) {
    switch (tokens_[i].kind) {
      case Kind::kByte:
        if (b != tokens_[i].byte) return false;
        Enter(next_, i + 1);
        return true;
      case Kind::kOne:
        if (b == '/') return false;
        next_.inOne[i] = true;
        return true;
      case Kind::kStar:
        if (b == '/') return false;
        Enter(next_, i);
        return true;
      case Kind::kAnyPath:
        Enter(next_, i);
        return true;
      case Kind::kFolders:
        if (b == '/')
          Enter(next_, i);
        else
          next_.inFolders[i] = true;
        return true;
    }
    return false;
  }

  std::vector<Token> tokens_;
  size_t end_;  // the state past the last token: the whole pattern matched
  States now_, next_;
};

}  // namespace

bool GlobMatch(std::string_view pattern, std::string_view path) {
  return Matcher(pattern).Match(path);
}

}  // namespace sf
