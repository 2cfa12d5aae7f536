// A descriptor with an owner: closed once, when its holder goes.
#ifndef LANLINK_NET_OWNED_FD_H
#define LANLINK_NET_OWNED_FD_H

#include <unistd.h>

#include <utility>

namespace net {

class Owned_Fd {
  public:
    Owned_Fd() = default;
    explicit Owned_Fd(int fd) : fd_(fd) {}
    ~Owned_Fd() { reset(); }
    Owned_Fd(const Owned_Fd&) = delete;
    Owned_Fd& operator=(const Owned_Fd&) = delete;
    Owned_Fd(Owned_Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Owned_Fd& operator=(Owned_Fd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace net

#endif  // LANLINK_NET_OWNED_FD_H
