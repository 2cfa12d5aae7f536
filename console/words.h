// A command line split into words, once: the command, its argument, and
// the rest of the line for send's message.
#ifndef LANLINK_CONSOLE_WORDS_H
#define LANLINK_CONSOLE_WORDS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace console {

class Words {
  public:
    // The whitespace-separated words of `line`; a zero byte ends a word.
    explicit Words(std::string_view line);

    bool empty() const { return words_.empty(); }
    std::size_t size() const { return words_.size(); }
    const std::string& at(std::size_t i) const { return words_.at(i); }
    // What follows the first `skip` words, without its leading and trailing
    // blanks; inner spacing is kept, and a zero byte ends it.
    std::string rest(std::size_t skip) const;

  private:
    std::string line_;  // up to its first zero byte
    std::vector<std::string> words_;
    std::vector<std::size_t> ends_;  // where each word ends in line_ (or line_'s end)
};

}  // namespace console

#endif  // LANLINK_CONSOLE_WORDS_H
