// The shared key of keyed vectors: read from a file of the user's own that
// nobody else may read, held in locked memory and wiped when it goes.
#ifndef LANLINK_NET_SHARED_KEY_H
#define LANLINK_NET_SHARED_KEY_H

#include <cstddef>
#include <memory>
#include <string>

#include "wire_format.h"

struct crypto_auth_hmacsha512_state;

namespace net {

class Shared_Key {
  public:
    ~Shared_Key();
    Shared_Key(const Shared_Key&) = delete;
    Shared_Key& operator=(const Shared_Key&) = delete;
    Shared_Key(Shared_Key&&) = delete;
    Shared_Key& operator=(Shared_Key&&) = delete;

    // The key in `path`: one line of base64 for wire::kKeyBytes bytes. Null, with
    // the reason in `error`, when the file cannot be read, holds no key, is
    // another user's or can be read by group or others.
    static std::unique_ptr<Shared_Key> load(const std::string& path, std::string& error);
    // Writes a new key from the system's random source into `path`, mode
    // 0600; never over an existing file. False, with the reason, when it
    // cannot.
    static bool make(const std::string& path, std::string& error);
    // The key made of `bytes` (wire::kKeyBytes of them), for tests.
    static std::unique_ptr<Shared_Key> of(const unsigned char* bytes);

    const unsigned char* bytes() const { return bytes_; }
    // The tag's HMAC already started with the key: each tag goes on from a
    // copy of it, without hashing the key's two blocks again.
    const crypto_auth_hmacsha512_state& tag_start() const { return *tag_start_; }

  private:
    Shared_Key();
    void prepare();

    unsigned char* bytes_;                     // wire::kKeyBytes, locked in memory
    crypto_auth_hmacsha512_state* tag_start_;  // locked in memory too
};

// libsodium is ready for use; false where it cannot start.
bool start_sodium();

}  // namespace net

#endif  // LANLINK_NET_SHARED_KEY_H
