#pragma once

#include <QByteArray>

#include <mbedtls/aes.h>

// The cryptography of encrypted iTunes backups, over mbedtls: the AES key
// unwrap of RFC 3394 built on single-block AES, PBKDF2 with HMAC-SHA1, and the
// AES-256-CBC decryption of backup files.

// AES key unwrap (RFC 3394) with a 256-bit key-encryption key and the standard
// initial value A6A6A6A6A6A6A6A6. A wrapped value of 8*(n+1) bytes gives n*8
// bytes; bytes past the last whole 8-byte block are ignored. Empty when the
// key-encryption key is not 32 bytes, the wrapped value is shorter than 16
// bytes, or the integrity check fails.
QByteArray aesKeyUnwrap(const QByteArray &kek, const QByteArray &wrapped);

// PBKDF2 with HMAC-SHA1 (RFC 8018) through mbedtls's message-digest layer.
// Throws std::runtime_error when mbedtls refuses the input.
QByteArray pbkdf2HmacSha1(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                          int keyLength);

// AES-256 decryption key schedule, owned and freed with the object.
class Aes256Decryptor
{
public:
    Aes256Decryptor();
    ~Aes256Decryptor();
    Aes256Decryptor(const Aes256Decryptor &) = delete;
    Aes256Decryptor &operator=(const Aes256Decryptor &) = delete;

    mbedtls_aes_context *context() { return &m_ctx; }

private:
    mbedtls_aes_context m_ctx;
};

// Key schedule from the first 32 bytes of key; false when key is shorter.
bool aes256SetDecryptKey(Aes256Decryptor &aes, const QByteArray &key);

// Decrypts length bytes of in into out (which may be in) with AES-CBC, using
// and advancing iv (16 bytes). False, with nothing written, when length is
// not a multiple of 16.
bool aesCbcDecrypt(Aes256Decryptor &aes, unsigned char iv[16], const unsigned char *in,
                   unsigned char *out, qint64 length);

// The same as a byte array: the decrypted bytes, or empty bytes when the
// length is not a multiple of 16.
QByteArray aesCbcDecrypt(Aes256Decryptor &aes, unsigned char iv[16], const QByteArray &in);
