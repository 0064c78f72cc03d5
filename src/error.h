// Error values: a failure as a chain of messages, and the results that
// carry one. Every layer returns them, so this header needs no other.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <utility>
#include <vector>

namespace brevok {

// A failure as a chain of messages, outermost first. A fresh error holds one
// message; `context` puts another in front of it. The full chain goes to
// standard error, the outermost message alone into an error response.
class Error {
 public:
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  // An operating-system error: the system's own text, and whether it means
  // that nothing exists at the path (the one kind callers tell apart).
  static Error os(std::string text, bool not_found = false) {
    Error e(std::move(text));
    e.not_found_ = not_found;
    return e;
  }

  Error&& context(std::string message) && {
    chain_.push_back(std::move(message));
    return std::move(*this);
  }

  const std::string& outermost() const { return chain_.back(); }
  std::string full() const;
  std::size_t depth() const { return chain_.size(); }
  bool has_cause() const { return chain_.size() > 1; }
  // True only for an operating-system "nothing at this path" error that has
  // not been wrapped yet.
  bool is_not_found() const { return not_found_ && chain_.size() == 1; }

 private:
  std::vector<std::string> chain_;  // innermost first, so wrapping is a push
  bool not_found_ = false;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected<Error>(Error(std::move(message)));
}

// Fails with `message` in front of the cause.
inline std::unexpected<Error> fail(Error&& cause, std::string message) {
  return std::unexpected<Error>(std::move(cause).context(std::move(message)));
}

}  // namespace brevok
