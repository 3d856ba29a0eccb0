#include "cloud/Encryption.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "common/LogSingleton.h"
#include "vision/Base64.h"

namespace Encryption {

namespace {

// The callback stops the report after the oldest error; the rest is dropped
// so that it is not reported as the cause of a later failure.
void ReportErrors() {
    ERR_print_errors_cb(printErrorLog, nullptr);
    ERR_clear_error();
}

struct ContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

// Room for the whole input plus one block, as the EVP functions need; refuses
// lengths whose buffer size would not fit an int.
std::size_t BufferSize(std::size_t length, const char* failure) {
    if (length > static_cast<std::size_t>(INT_MAX - BlockSize)) throw std::runtime_error(failure);
    return length + BlockSize;
}

}  // namespace

InitializationVector::InitializationVector() {
    InitializeOpenSSL();
    if (RAND_bytes(bytes, static_cast<int>(Size)) != 1) {
        ReportErrors();
        throw std::runtime_error("Encryption failed: Could not create initialization vector");
    }
}

InitializationVector::InitializationVector(const char* source) { std::memcpy(bytes, source, Size); }

InitializationVector::InitializationVector(const std::string& base64) {
    const std::vector<unsigned char> decoded = Base64::Decode(base64);
    if (decoded.size() != Size) throw std::runtime_error("Initialization vector must be 16 bytes");
    std::memcpy(bytes, decoded.data(), Size);
}

std::string InitializationVector::ToBase64() const {
    return Base64::Encode(reinterpret_cast<const char*>(bytes), static_cast<unsigned int>(Size));
}

Key256::Key256(const std::string& text) {
    std::memcpy(bytes, text.data(), text.size() < Size ? text.size() : Size);
}

void InitializeOpenSSL() {
    static std::mutex mutex;
    static bool initialised = false;
    std::lock_guard<std::mutex> lock(mutex);
    if (initialised) return;
    initialised = true;
    // No clean-up at exit: it would run before the static cloud client has
    // stopped the MQTT library's threads, which still use the library then.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_ATEXIT,
                        nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

int printErrorLog(const char* text, std::size_t length, void*) {
    LogSingleton::instance()->addFormat("OpenSSL: %s", std::string(text, length));
    return 0;
}

namespace {

// One pass of AES-256-CBC in either direction; `what` names it in the errors.
int Crypt(int encrypt, const unsigned char* in, int length, const unsigned char* key, const unsigned char* iv,
          unsigned char* out, const std::string& what) {
    InitializeOpenSSL();
    Context context(EVP_CIPHER_CTX_new());
    if (!context) {
        ReportErrors();
        throw std::runtime_error(what + " failed: Could not create context");
    }
    int written = 0;
    int finalWritten = 0;
    if (length < 0 || EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key, iv, encrypt) != 1 ||
        EVP_CipherUpdate(context.get(), out, &written, in, length) != 1 ||
        EVP_CipherFinal_ex(context.get(), out + written, &finalWritten) != 1) {
        ReportErrors();
        throw std::runtime_error(what + " failed");
    }
    return written + finalWritten;
}

}  // namespace

int Encrypt(const unsigned char* in, int length, const unsigned char* key, const unsigned char* iv,
            unsigned char* out) {
    return Crypt(1, in, length, key, iv, out, "Encryption");
}

int Encrypt(const unsigned char* in, int length, const Key256& key, const InitializationVector& iv,
            unsigned char* out) {
    return Encrypt(in, length, key.data(), iv.data(), out);
}

int Decrypt(const unsigned char* in, int length, const unsigned char* key, const unsigned char* iv,
            unsigned char* out) {
    return Crypt(0, in, length, key, iv, out, "Decryption");
}

int Decrypt(const unsigned char* in, int length, const Key256& key, const InitializationVector& iv,
            unsigned char* out) {
    return Decrypt(in, length, key.data(), iv.data(), out);
}

std::vector<unsigned char> Decrypt(const unsigned char* in, int length, const Key256& key,
                                   const InitializationVector& iv) {
    std::vector<unsigned char> plain(BufferSize(length < 0 ? 0 : static_cast<std::size_t>(length),
                                                "Decryption failed"));
    plain.resize(static_cast<std::size_t>(Decrypt(in, length, key, iv, plain.data())));
    return plain;
}

std::string Encrypt(const std::string& text, const unsigned char* key, const unsigned char* iv) {
    std::vector<unsigned char> cipher(BufferSize(text.size(), "Encryption failed"));
    const int written = Encrypt(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()),
                                key, iv, cipher.data());
    return Base64::Encode(reinterpret_cast<const char*>(cipher.data()), static_cast<unsigned int>(written));
}

std::string Encrypt(const std::string& text, const Key256& key, const InitializationVector& iv) {
    return Encrypt(text, key.data(), iv.data());
}

std::string Decrypt(const std::string& base64, const unsigned char* key, const unsigned char* iv) {
    const std::vector<unsigned char> cipher = Base64::Decode(base64);
    std::vector<unsigned char> plain(BufferSize(cipher.size(), "Decryption failed"));
    const int written = Decrypt(cipher.data(), static_cast<int>(cipher.size()), key, iv, plain.data());
    return std::string(reinterpret_cast<const char*>(plain.data()), static_cast<std::size_t>(written));
}

std::string Decrypt(const std::string& base64, const Key256& key, const InitializationVector& iv) {
    return Decrypt(base64, key.data(), iv.data());
}

}  // namespace Encryption
