#include "tests/support/encryptedbackup.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <openssl/evp.h>

#include <stdexcept>

namespace encbackup {

namespace {

const unsigned char *u(const QByteArray &b)
{
    return reinterpret_cast<const unsigned char *>(b.constData());
}

struct CipherCtx
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

QByteArray runCipher(const EVP_CIPHER *cipher, const QByteArray &key, const QByteArray &in,
                     bool wrapMode)
{
    CipherCtx c;
    if (wrapMode)
        EVP_CIPHER_CTX_set_flags(c.ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    const unsigned char zeroIv[16] = {};
    if (EVP_EncryptInit_ex(c.ctx, cipher, nullptr, u(key), wrapMode ? nullptr : zeroIv) != 1)
        throw std::runtime_error("EVP_EncryptInit_ex failed");
    QByteArray out(in.size() + 32, '\0');
    int len1 = 0, len2 = 0;
    if (EVP_EncryptUpdate(c.ctx, reinterpret_cast<unsigned char *>(out.data()), &len1, u(in),
                          int(in.size()))
                != 1
        || EVP_EncryptFinal_ex(c.ctx, reinterpret_cast<unsigned char *>(out.data()) + len1, &len2)
                != 1)
        throw std::runtime_error("OpenSSL encryption failed");
    out.resize(len1 + len2);
    return out;
}

} // namespace

QByteArray aesKeyWrap(const QByteArray &kek, const QByteArray &key)
{
    return runCipher(EVP_aes_256_wrap(), kek, key, true);
}

QByteArray pbkdf2Sha1(const QByteArray &password, const QByteArray &salt, int iterations,
                      int length)
{
    QByteArray out(length, '\0');
    if (PKCS5_PBKDF2_HMAC_SHA1(password.constData(), int(password.size()), u(salt),
                               int(salt.size()), iterations, length,
                               reinterpret_cast<unsigned char *>(out.data()))
        != 1)
        throw std::runtime_error("PKCS5_PBKDF2_HMAC_SHA1 failed");
    return out;
}

QByteArray aes256CbcEncrypt(const QByteArray &key, const QByteArray &plain)
{
    return runCipher(EVP_aes_256_cbc(), key, plain, false);
}

QByteArray pseudoRandom(qsizetype n, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray out(n, '\0');
    for (qsizetype i = 0; i < n; ++i)
        out[i] = char(gen.bounded(256));
    return out;
}

KeybagWriter &KeybagWriter::add(const char *tag, const QByteArray &value)
{
    m_bytes.append(tag, 4);
    char len[4];
    qToBigEndian<quint32>(quint32(value.size()), len);
    m_bytes.append(len, 4);
    m_bytes.append(value);
    return *this;
}

KeybagWriter &KeybagWriter::addUInt32(const char *tag, quint32 value)
{
    char v[4];
    qToBigEndian<quint32>(value, v);
    return add(tag, QByteArray(v, 4));
}

KeybagWriter &KeybagWriter::addRaw(const QByteArray &bytes)
{
    m_bytes.append(bytes);
    return *this;
}

KeybagFixture makeKeybag(const QByteArray &password, quint32 iterations,
                         const QList<ClassSpec> &classes)
{
    KeybagFixture f;
    f.password = password;
    f.salt = pseudoRandom(20, 7);
    f.iterations = iterations;
    const QByteArray passwordKey = pbkdf2Sha1(password, f.salt, int(iterations), 32);
    const QByteArray otherKey = pseudoRandom(32, 99);

    KeybagWriter w;
    w.add("UUID", pseudoRandom(16, 1))
            .addUInt32("WRAP", 1)
            .add("SALT", f.salt)
            .addUInt32("ITER", iterations);
    for (const ClassSpec &c : classes) {
        const QByteArray classKey = pseudoRandom(32, 1000 + quint32(c.number));
        const QByteArray wrapped = aesKeyWrap((c.wrap & 2) ? passwordKey : otherKey, classKey);
        f.classKeys.insert(c.number, classKey);
        f.wrappedKeys.insert(c.number, wrapped);
        w.add("UUID", pseudoRandom(16, 500 + quint32(c.number)))
                .addUInt32("CLAS", quint32(c.number))
                .addUInt32("WRAP", c.wrap)
                .addUInt32("KTYP", c.keyType)
                .add("WPKY", wrapped);
    }
    f.bytes = w.bytes();
    return f;
}

EncryptedFile encryptFile(const QByteArray &plain, const QByteArray &classKey,
                          qint32 protectionClass, quint32 seed)
{
    EncryptedFile f;
    f.plain = plain;
    f.fileKey = pseudoRandom(32, seed);
    char cls[4];
    qToLittleEndian<quint32>(quint32(protectionClass), cls);
    f.storedKey = QByteArray(cls, 4) + aesKeyWrap(classKey, f.fileKey);
    f.cipher = aes256CbcEncrypt(f.fileKey, plain);
    return f;
}

} // namespace encbackup
