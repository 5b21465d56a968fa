#include "backup/keybag.h"

#include "backup/backupcrypto.h"
#include "store/texts.h"

#include <QtEndian>

#include <stdexcept>

namespace {

const QString kUuid = QStringLiteral("UUID");
const QString kWrap = QStringLiteral("WRAP");
const QString kClas = QStringLiteral("CLAS");
const QString kWpky = QStringLiteral("WPKY");
const QString kKey = QStringLiteral("KEY");
const QString kSalt = QStringLiteral("SALT");
const QString kIter = QStringLiteral("ITER");
const QString kClassTags = QStringLiteral("CLAS WRAP WPKY KTYP PBKY");

constexpr quint32 kWrapPasscode = 2;
constexpr int kKeySize = 32;
constexpr int kWrappedKeySize = 40;

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

bool isPasscodeWrapped(const KeybagTags &cls)
{
    return cls.contains(kWpky) && (keybagUInt32(cls, kWrap) & kWrapPasscode);
}

void wipe(QByteArray &bytes)
{
    bytes.fill('\0');
    bytes.clear();
}

} // namespace

quint32 keybagUInt32(const KeybagTags &tags, const QString &tag)
{
    const auto it = tags.constFind(tag);
    if (it == tags.constEnd() || it->size() < 4)
        return 0;
    return qFromBigEndian<quint32>(it->constData());
}

Keybag Keybag::parse(const QByteArray &bytes)
{
    Keybag bag;
    KeybagTags current;
    const qsizetype size = bytes.size();
    qsizetype pos = 0;
    while (size - pos >= 8) {
        const QString tag = QString::fromLatin1(bytes.constData() + pos, 4);
        const quint32 length = qFromBigEndian<quint32>(bytes.constData() + pos + 4);
        pos += 8;
        const qsizetype take = qMin<qsizetype>(qsizetype(length), size - pos);
        const QByteArray value = bytes.mid(pos, take);
        pos += take;

        if (tag == kUuid && !bag.attributes.contains(kUuid)) {
            bag.attributes.insert(tag, value);
        } else if (tag == kWrap && !bag.attributes.contains(kWrap)) {
            bag.attributes.insert(tag, value);
        } else if (tag == kUuid) {
            current = KeybagTags();
            current.insert(tag, value);
        } else if (kClassTags.contains(tag)) {
            current.insert(tag, value);
        } else {
            bag.attributes.insert(tag, value);
        }
        // A class is stored as soon as it has its number, and again with every
        // further tag it receives.
        if (current.contains(kClas))
            bag.classes.insert(qint32(keybagUInt32(current, kClas)), current);
    }
    return bag;
}

bool Keybag::unlock(const QByteArray &passwordUtf8)
{
    for (auto &cls : classes)
        cls.remove(kKey);

    const quint32 iterations = keybagUInt32(attributes, kIter);
    if (iterations == 0)
        fail(ids("IDS_KEYBAG_NO_ITERATION_COUNT"));
    if (iterations > kMaxIterations)
        fail(ids("IDS_KEYBAG_TOO_MANY_ITERATIONS_%1_%2").arg(iterations).arg(kMaxIterations));

    bool anyPasscodeClass = false;
    for (auto it = classes.cbegin(); it != classes.cend(); ++it) {
        if (!isPasscodeWrapped(it.value()))
            continue;
        anyPasscodeClass = true;
        const qsizetype wrapped = it.value().value(kWpky).size();
        if (wrapped / 8 != kWrappedKeySize / 8)
            fail(ids("IDS_KEYBAG_BAD_CLASS_KEY_%1").arg(it.key()));
    }
    if (!anyPasscodeClass)
        fail(ids("IDS_KEYBAG_NO_PASSWORD_CLASS"));

    QByteArray derived
            = pbkdf2HmacSha1(passwordUtf8, attributes.value(kSalt), iterations, kKeySize);
    bool ok = true;
    for (auto it = classes.begin(); it != classes.end(); ++it) {
        if (!isPasscodeWrapped(it.value()))
            continue;
        const QByteArray key = aesKeyUnwrap(derived, it.value().value(kWpky));
        if (key.size() != kKeySize) {
            ok = false;
            break;
        }
        it.value().insert(kKey, key);
    }
    wipe(derived);
    if (!ok) {
        for (auto &cls : classes)
            cls.remove(kKey);
    }
    return ok;
}

QByteArray Keybag::unwrapFileKey(qint32 protectionClass, const QByteArray &wrapped) const
{
    const auto it = classes.constFind(protectionClass);
    if (it == classes.constEnd() || wrapped.size() != kWrappedKeySize)
        return {};
    const QByteArray classKey = it->value(kKey);
    if (classKey.size() != kKeySize)
        return {};
    return aesKeyUnwrap(classKey, wrapped);
}

bool Keybag::isUnlocked() const
{
    for (const auto &cls : classes) {
        if (cls.value(kKey).size() == kKeySize)
            return true;
    }
    return false;
}
