#include "shared_key.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace net {

namespace {

// The base64 text of a key, without its terminating zero.
constexpr std::size_t kKeyText =
    sodium_base64_ENCODED_LEN(wire::kKeyBytes, sodium_base64_VARIANT_ORIGINAL) - 1;
// More than any key file holds: the rest of a longer file is not read.
constexpr std::size_t kMostRead = 256;

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777U);
    return text;
}

}  // namespace

bool start_sodium() {
    return sodium_init() >= 0;
}

Shared_Key::Shared_Key()
    : bytes_(new unsigned char[wire::kKeyBytes]()), tag_start_(new crypto_auth_hmacsha512_state()) {
    sodium_mlock(bytes_, wire::kKeyBytes);
    sodium_mlock(tag_start_, sizeof *tag_start_);
}

Shared_Key::~Shared_Key() {
    sodium_munlock(bytes_, wire::kKeyBytes);  // wipes it too
    sodium_munlock(tag_start_, sizeof *tag_start_);
    delete[] bytes_;
    delete tag_start_;
}

void Shared_Key::prepare() {
    crypto_auth_hmacsha512256_init(tag_start_, bytes_, wire::kKeyBytes);
}

std::unique_ptr<Shared_Key> Shared_Key::of(const unsigned char* bytes) {
    std::unique_ptr<Shared_Key> key(new Shared_Key());
    std::memcpy(key->bytes_, bytes, wire::kKeyBytes);
    key->prepare();
    return key;
}

std::unique_ptr<Shared_Key> Shared_Key::load(const std::string& path, std::string& error) {
    const std::string named = "key file '" + path + "': ";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = named + std::strerror(errno);
        return nullptr;
    }
    struct stat found {};
    std::array<char, kMostRead> text{};
    ssize_t got = 0;
    if (fstat(fd, &found) == 0 && S_ISREG(found.st_mode)) {
        while ((got = read(fd, text.data(), text.size())) < 0 && errno == EINTR) {
        }
    }
    close(fd);
    if (!S_ISREG(found.st_mode) || got < 0) {
        error = named + "not a key (one line of base64 for 32 bytes expected)";
        return nullptr;
    }
    if (found.st_uid != geteuid()) {
        error = named + "owned by another user (uid " + std::to_string(found.st_uid) + ")";
        return nullptr;
    }
    if ((found.st_mode & 077U) != 0) {
        error = named + "permissions " + octal(found.st_mode) + " are too open (chmod 600 " + path +
                ")";
        return nullptr;
    }
    std::size_t length = static_cast<std::size_t>(got);
    if (length > 0 && text.at(length - 1) == '\n') {
        --length;  // the line's end
    }
    std::unique_ptr<Shared_Key> key(new Shared_Key());
    std::size_t decoded = 0;
    const char* end = nullptr;
    if (length != kKeyText ||
        sodium_base642bin(key->bytes_, wire::kKeyBytes, text.data(), length, nullptr, &decoded,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        decoded != wire::kKeyBytes || end != text.data() + length) {
        sodium_memzero(text.data(), text.size());
        error = named + "not a key (one line of base64 for 32 bytes expected)";
        return nullptr;
    }
    sodium_memzero(text.data(), text.size());
    key->prepare();
    return key;
}

bool Shared_Key::make(const std::string& path, std::string& error) {
    const std::string named = "key file '" + path + "': ";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = errno == EEXIST ? named + "it exists already, and is not written over"
                                : named + std::strerror(errno);
        return false;
    }
    fchmod(fd, 0600);  // whatever the umask
    Shared_Key key;
    randombytes_buf(key.bytes_, wire::kKeyBytes);
    std::array<char, kKeyText + 1> text{};
    sodium_bin2base64(text.data(), text.size(), key.bytes_, wire::kKeyBytes,
                      sodium_base64_VARIANT_ORIGINAL);
    text.at(kKeyText) = '\n';
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    sodium_memzero(text.data(), text.size());
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        error = named + std::strerror(errno);
        unlink(path.c_str());
        return false;
    }
    return true;
}

}  // namespace net
