// A text kept once, as its English message and its arguments, and put into
// words when it is shown: as it is for machines (--json, the CSV), in the
// run's language for people.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

namespace qxcore {

class Message {
 public:
  Message() = default;
  /// `words` says it in English, or in the run's language when asked `for_people`.
  explicit Message(std::function<std::string(bool for_people)> words) : words_(std::move(words)) {}
  /// A text that is the same in every language (a file's own words).
  static Message verbatim(std::string text) {
    return Message([text](bool) { return text; });
  }

  std::string text(bool for_people) const { return words_ ? words_(for_people) : std::string(); }
  std::string english() const { return text(false); }
  std::string translated() const { return text(true); }

 private:
  std::function<std::string(bool for_people)> words_;
};

/// The message itself, or its translation `for_people`.
inline const char* words(bool for_people, const char* msgid) __attribute__((format_arg(2)));
inline const char* words(bool for_people, const char* msgid) {
  return for_people ? qxi18n::translate(msgid) : msgid;
}

namespace detail {
inline const char* printf_argument(const std::string& text) { return text.c_str(); }
template <typename T>
T printf_argument(T value) {
  return value;
}
}  // namespace detail

/// A message marked N_("...") with its printf arguments (std::string as %s).
template <typename... Args>
Message message(const char* msgid, Args... args) {
  return Message([msgid, args...](bool for_people) {
    if constexpr (sizeof...(Args) == 0) {
      return std::string(words(for_people, msgid));
    } else {
      return format(words(for_people, msgid), detail::printf_argument(args)...);
    }
  });
}

/// A message whose English for machines (--json) is fixed apart from the
/// people's words: `machine` as programs have matched it, `people` marked
/// N_("...") and translated, both with the same printf arguments.
template <typename... Args>
Message message_apart(const char* machine, const char* people, Args... args) {
  return Message([machine, people, args...](bool for_people) {
    return format(for_people ? qxi18n::translate(people) : machine,
                  detail::printf_argument(args)...);
  });
}

}  // namespace qxcore
