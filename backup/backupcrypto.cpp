#include "backup/backupcrypto.h"

#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>

#include <cstring>
#include <stdexcept>

namespace {

constexpr unsigned char kUnwrapIv[8] = {0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};

// Wipes key material held in a local buffer when it goes out of scope.
template<size_t N> struct SecretBuffer
{
    unsigned char bytes[N] = {};
    ~SecretBuffer() { mbedtls_platform_zeroize(bytes, N); }
};

} // namespace

QByteArray aesKeyUnwrap(const QByteArray &kek, const QByteArray &wrapped)
{
    if (kek.size() != 32 || wrapped.size() < 16)
        return {};
    const int n = int(wrapped.size() / 8) - 1; // key blocks; a trailing partial block is ignored

    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    if (mbedtls_aes_setkey_dec(&aes, reinterpret_cast<const unsigned char *>(kek.constData()), 256)
        != 0) {
        mbedtls_aes_free(&aes);
        return {};
    }

    QByteArray r(wrapped.constData() + 8, qsizetype(n) * 8);
    unsigned char *rp = reinterpret_cast<unsigned char *>(r.data());
    SecretBuffer<16> b;
    unsigned char a[8];
    std::memcpy(a, wrapped.constData(), 8);

    for (int j = 5; j >= 0; --j) {
        for (int i = n; i >= 1; --i) {
            const quint64 t = quint64(n) * quint64(j) + quint64(i);
            std::memcpy(b.bytes, a, 8);
            for (int k = 0; k < 8; ++k)
                b.bytes[7 - k] ^= static_cast<unsigned char>(t >> (8 * k));
            std::memcpy(b.bytes + 8, rp + (i - 1) * 8, 8);
            mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_DECRYPT, b.bytes, b.bytes);
            std::memcpy(a, b.bytes, 8);
            std::memcpy(rp + (i - 1) * 8, b.bytes + 8, 8);
        }
    }
    mbedtls_aes_free(&aes);

    if (std::memcmp(a, kUnwrapIv, 8) != 0) {
        mbedtls_platform_zeroize(rp, size_t(r.size()));
        return {};
    }
    return r;
}

QByteArray pbkdf2HmacSha1(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                          int keyLength)
{
    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA1);
    if (!info || keyLength <= 0)
        throw std::runtime_error("PBKDF2-HMAC-SHA1 is not available.");
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    int rc = mbedtls_md_setup(&md, info, 1);
    QByteArray key(keyLength, '\0');
    if (rc == 0)
        rc = mbedtls_pkcs5_pbkdf2_hmac(
                &md, reinterpret_cast<const unsigned char *>(password.constData()),
                size_t(password.size()), reinterpret_cast<const unsigned char *>(salt.constData()),
                size_t(salt.size()), iterations, quint32(keyLength),
                reinterpret_cast<unsigned char *>(key.data()));
    mbedtls_md_free(&md);
    if (rc != 0)
        throw std::runtime_error("PBKDF2-HMAC-SHA1 failed, mbedtls error " + std::to_string(rc)
                                 + ".");
    return key;
}

Aes256Decryptor::Aes256Decryptor()
{
    mbedtls_aes_init(&m_ctx);
}

Aes256Decryptor::~Aes256Decryptor()
{
    mbedtls_aes_free(&m_ctx);
}

bool aes256SetDecryptKey(Aes256Decryptor &aes, const QByteArray &key)
{
    if (key.size() < 32)
        return false;
    return mbedtls_aes_setkey_dec(aes.context(),
                                  reinterpret_cast<const unsigned char *>(key.constData()), 256)
            == 0;
}

bool aesCbcDecrypt(Aes256Decryptor &aes, unsigned char iv[16], const unsigned char *in,
                   unsigned char *out, qint64 length)
{
    if (length < 0 || length % 16 != 0)
        return false;
    if (length == 0)
        return true;
    return mbedtls_aes_crypt_cbc(aes.context(), MBEDTLS_AES_DECRYPT, size_t(length), iv, in, out)
            == 0;
}

QByteArray aesCbcDecrypt(Aes256Decryptor &aes, unsigned char iv[16], const QByteArray &in)
{
    QByteArray out(in.size(), Qt::Uninitialized);
    if (!aesCbcDecrypt(aes, iv, reinterpret_cast<const unsigned char *>(in.constData()),
                       reinterpret_cast<unsigned char *>(out.data()), in.size()))
        return {};
    return out;
}
