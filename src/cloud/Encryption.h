#pragma once
// AES-256-CBC through OpenSSL's EVP interface, for the cloud credentials that
// the project file keeps. Every Encrypt and Decrypt throws std::runtime_error
// on failure after logging the library's oldest queued error.

#include <cstddef>
#include <string>
#include <vector>

namespace Encryption {

constexpr int BlockSize = 16;

class InitializationVector {
public:
    static constexpr std::size_t Size = 16;

    // 16 bytes from the cryptographic random generator; throws when it fails.
    InitializationVector();
    // The first 16 bytes at the pointer.
    explicit InitializationVector(const char* bytes);
    // Base64 text that must decode to exactly 16 bytes; throws otherwise.
    explicit InitializationVector(const std::string& base64);

    std::string ToBase64() const;
    const unsigned char* data() const { return bytes; }

    unsigned char bytes[Size] = {};
};

class Key256 {
public:
    static constexpr std::size_t Size = 32;

    // The first 32 bytes of the text, padded with zero bytes.
    explicit Key256(const std::string& text);

    const unsigned char* data() const { return bytes; }

    unsigned char bytes[Size] = {};
};

// One-time initialisation of libcrypto; safe from any thread.
void InitializeOpenSSL();
// Callback of ERR_print_errors_cb: logs the line and stops the report.
int printErrorLog(const char* text, std::size_t length, void* context);

// out needs room for length + BlockSize bytes; returns the bytes written.
int Encrypt(const unsigned char* in, int length, const unsigned char* key, const unsigned char* iv,
            unsigned char* out);
int Encrypt(const unsigned char* in, int length, const Key256& key, const InitializationVector& iv,
            unsigned char* out);
// out needs room for length + BlockSize bytes; returns the plain bytes written.
int Decrypt(const unsigned char* in, int length, const unsigned char* key, const unsigned char* iv,
            unsigned char* out);
int Decrypt(const unsigned char* in, int length, const Key256& key, const InitializationVector& iv,
            unsigned char* out);
std::vector<unsigned char> Decrypt(const unsigned char* in, int length, const Key256& key,
                                   const InitializationVector& iv);

// Base64 text of the cipher bytes only (the vector is not included).
std::string Encrypt(const std::string& text, const unsigned char* key, const unsigned char* iv);
std::string Encrypt(const std::string& text, const Key256& key, const InitializationVector& iv);
// The plain bytes of Base64 cipher text.
std::string Decrypt(const std::string& base64, const unsigned char* key, const unsigned char* iv);
std::string Decrypt(const std::string& base64, const Key256& key, const InitializationVector& iv);

}  // namespace Encryption
