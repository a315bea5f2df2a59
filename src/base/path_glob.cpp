#include "base/path_glob.h"

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

// The pattern run as a set of states over the path, one byte at a time, so that every "*" and
// "**" costs the same whatever the path: the time is the path's length times the pattern's.
// A path a user can hand us may be as long as a share lets a name be, and any of them may meet
// a pattern with several "**".
class Matcher {
 public:
  explicit Matcher(std::string_view pattern)
      : tokens_(Tokenize(pattern)), end_(tokens_.size()), a_(end_), b_(end_) {}

  bool Match(std::string_view path) {
    now_->Clear(++generation_);
    Enter(*now_, 0);
    for (char b : path) {
      next_->Clear(++generation_);
      // A "?" takes the continuation bytes of its character; any other byte ends that character.
      if (Continuation(b)) {
        for (size_t i : now_->inOne.items) next_->inOne.Add(i);
      } else {
        for (size_t i : now_->inOne.items) Enter(*now_, i + 1);
      }
      for (size_t i : now_->at.items) Step(i, b);
      for (size_t i : now_->inFolders.items) {
        if (b == '/')
          Enter(*next_, i);
        else
          next_->inFolders.Add(i);
      }
      std::swap(now_, next_);
      if (now_->Empty()) return false;
    }
    for (size_t i : now_->inOne.items) Enter(*now_, i + 1);
    return now_->at.Has(end_);
  }

 private:
  // States of one kind, each listed once: a state is listed when its mark is the current
  // generation, so emptying the list touches no mark.
  struct StateList {
    explicit StateList(size_t states) : marks(states) {}
    std::vector<size_t> items;
    std::vector<uint64_t> marks;
    const uint64_t* generation = nullptr;

    bool Has(size_t i) const { return marks[i] == *generation; }
    void Add(size_t i) {
      if (Has(i)) return;
      marks[i] = *generation;
      items.push_back(i);
    }
  };
  // The states alive before one byte: at a token, inside the character of a "?", and inside
  // the folders of a "**/".
  struct States {
    explicit States(size_t end) : at(end + 1), inOne(end + 1), inFolders(end + 1) {
      for (StateList* l : {&at, &inOne, &inFolders}) l->generation = &generation;
    }
    States(States&&) = delete;
    StateList at, inOne, inFolders;
    uint64_t generation = 0;

    void Clear(uint64_t g) {
      generation = g;
      for (StateList* l : {&at, &inOne, &inFolders}) l->items.clear();
    }
    bool Empty() const {
      return at.items.empty() && inOne.items.empty() && inFolders.items.empty();
    }
  };

  // Token `i`, and every one after it for as long as the one before can match nothing.
  void Enter(States& s, size_t i) {
    for (; i <= end_ && !s.at.Has(i); ++i) {
      s.at.Add(i);
      if (i == end_ || tokens_[i].kind == Kind::kByte || tokens_[i].kind == Kind::kOne) return;
    }
  }

  // Moves the state at token `i` over byte `b` into the next set, when it can take it.
  void Step(size_t i, char b) {
    if (i == end_) return;
    switch (tokens_[i].kind) {
      case Kind::kByte:
        if (b == tokens_[i].byte) Enter(*next_, i + 1);
        return;
      case Kind::kOne:
        if (b != '/') next_->inOne.Add(i);
        return;
      case Kind::kStar:
        if (b != '/') Enter(*next_, i);
        return;
      case Kind::kAnyPath:
        Enter(*next_, i);
        return;
      case Kind::kFolders:
        // A folder's name runs to its "/", after which another may follow or the rest begin.
        if (b == '/')
          Enter(*next_, i);
        else
          next_->inFolders.Add(i);
        return;
    }
  }

  std::vector<Token> tokens_;
  size_t end_;  // the state past the last token: the whole pattern matched
  States a_, b_;
  States* now_ = &a_;
  States* next_ = &b_;
  uint64_t generation_ = 0;
};

}  // namespace

bool GlobMatch(std::string_view pattern, std::string_view path) {
  return Matcher(pattern).Match(path);
}

}  // namespace sf
