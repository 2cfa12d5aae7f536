// Tells which request an "up_resp" answer belongs to.
//
// A peer answers an update with three 9-byte datagrams that echo the
// request's address and port texts (cut to 9 bytes or padded with zeros)
// and carry "up_resp". Every request of a run has its own port text, so the
// echo names the request; datagrams that do not form such a group in slot
// order (a rotated group, a stray datagram) are never taken for an answer.
#ifndef LANLINK_SEND_ANSWER_MATCHER_H
#define LANLINK_SEND_ANSWER_MATCHER_H

#include <array>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class Answer_Matcher {
  public:
    // A request whose answer may come: numbered by the caller, with the
    // address and port texts it sent.
    void expect(int request, std::string_view address, std::string_view port);
    // A request whose answer can no longer be told apart (its port text is
    // about to be used again): its answer is ignored from now on.
    void forget(int request);

    // Takes the next datagram that arrived; when it completes an answer to
    // an expected request, that request's number (which is then no longer
    // expected). A datagram is taken by its first nine bytes: what follows
    // (a keyed answer's trailer) is the caller's to look at, with answer().
    std::optional<int> take(std::string_view datagram);
    // The three datagrams of the answer take() found last, whole.
    const std::array<std::string, 3>& answer() const { return answer_; }

    // The nine bytes an answer carries for `text`.
    static std::string echoed(std::string_view text);

  private:
    std::string address_;                 // the one address text of a run
    std::map<std::string, int> waiting_;  // echoed port text -> request
    std::deque<std::string> recent_;      // the last datagrams, up to three
    std::array<std::string, 3> answer_;
};

#endif  // LANLINK_SEND_ANSWER_MATCHER_H
