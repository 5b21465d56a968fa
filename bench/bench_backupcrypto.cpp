// Password unlock and file decryption of encrypted backups, each beside plain
// mbedtls doing the same work in the same run:
//   unlock of a keybag with 10,000 iterations  vs  mbedtls PBKDF2-HMAC-SHA1
//   extraction of a 256 MiB encrypted file     vs  mbedtls AES-256-CBC in memory
#include "backup/backupextract.h"
#include "backup/keybag.h"
#include "bench/benchreport.h"
#include "tests/support/encryptedbackup.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <mbedtls/aes.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr quint32 kIterations = 10'000;
constexpr qint64 kFileSize = 256ll * 1024 * 1024;
constexpr int kRuns = 5;

// Best of kRuns, in seconds.
double best(const std::function<void()> &f)
{
    double out = 1e30;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        out = std::min(out, double(t.nsecsElapsed()) / 1e9);
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    // Unlock: a keybag with four password-wrapped classes, as phones write them.
    const QByteArray password = "correct horse battery staple";
    const encbackup::KeybagFixture bagFixture = encbackup::makeKeybag(
            password, kIterations, {{1, 3, 0}, {2, 3, 0}, {3, 3, 0}, {4, 3, 0}, {5, 1, 0}});
    bool unlocked = true;
    const double unlockSecs = best([&] {
        Keybag bag = Keybag::parse(bagFixture.bytes);
        unlocked = unlocked && bag.unlock(password);
    });
    const double pbkdf2Secs = best([&] {
        unsigned char key[32];
        mbedtls_md_context_t md;
        mbedtls_md_init(&md);
        mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1);
        mbedtls_pkcs5_pbkdf2_hmac(&md, reinterpret_cast<const unsigned char *>(password.data()),
                                  size_t(password.size()),
                                  reinterpret_cast<const unsigned char *>(bagFixture.salt.data()),
                                  size_t(bagFixture.salt.size()), kIterations, 32, key);
        mbedtls_md_free(&md);
    });
    if (!unlocked) {
        std::fprintf(stderr, "unlock failed\n");
        return 1;
    }
    std::printf("keybag of %u iterations, 256 MiB file; best of %d rounds\n", kIterations, kRuns);
    bench::report("backupcrypto.unlock", unlockSecs * 1e3, pbkdf2Secs * 1e3, "ms",
                  bench::Want::AtMost, 1.2);

    // Extraction: one 256 MiB file of class 3.
    Keybag bag = Keybag::parse(bagFixture.bytes);
    bag.unlock(password);
    QByteArray plain(kFileSize, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(plain.data()),
                                   qsizetype(kFileSize / 4));
    const encbackup::EncryptedFile file
            = encbackup::encryptFile(plain, bagFixture.classKeys.value(3), 3, 12);
    plain = QByteArray();

    QTemporaryDir dir;
    const QString src = dir.filePath("source"), dst = dir.filePath("target");
    {
        QFile f(src);
        if (!f.open(QIODevice::WriteOnly) || f.write(file.cipher) != file.cipher.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(src));
            return 1;
        }
    }
    const BackupFileSpec spec {"bench", 3, file.storedKey, kFileSize, 1'600'000'000u, {}};
    const double extractSecs = best([&] {
        QFile::remove(dst);
        extractBackupFileData(src, dst, spec, &bag, nullptr, nullptr);
    });
    if (QFile(dst).size() != kFileSize) {
        std::fprintf(stderr, "extraction wrote the wrong size\n");
        return 1;
    }

    QByteArray out(file.cipher.size(), Qt::Uninitialized);
    const double cbcSecs = best([&] {
        mbedtls_aes_context aes;
        mbedtls_aes_init(&aes);
        mbedtls_aes_setkey_dec(&aes, reinterpret_cast<const unsigned char *>(file.fileKey.data()),
                               256);
        unsigned char iv[16] = {};
        mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, size_t(file.cipher.size()), iv,
                              reinterpret_cast<const unsigned char *>(file.cipher.data()),
                              reinterpret_cast<unsigned char *>(out.data()));
        mbedtls_aes_free(&aes);
    });
    const double mib = double(file.cipher.size()) / (1024.0 * 1024.0);
    bench::report("backupcrypto.extract", mib / extractSecs, mib / cbcSecs, "MiB/s",
                  bench::Want::AtLeast, 0.8);
    return 0;
}
