#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// Binary property lists written object by object, as a phone might write
// them: every reference names an object by its index, so a test decides
// which objects are shared (and may point one at itself).
class BplistFixture
{
public:
    // Each returns the index of the object added.
    int string(const QByteArray &ascii);
    int integer(qint64 value);
    int boolean(bool value);
    int array(const QList<int> &elements);
    int dictionary(const QList<QPair<int, int>> &entries); // key, value
    // An object of the given bytes, marker included, as it stands.
    int raw(const QByteArray &object);

    // The list with top as its top object.
    QByteArray bytes(int top) const;

    // The same list framed as a service message: a 4-byte big-endian
    // length in front.
    QByteArray framed(int top) const;

private:
    // Objects whose references are filled in once the reference size is
    // known: the marker and length bytes, then the references.
    struct Object
    {
        QByteArray head;
        QList<int> refs;
    };
    int add(Object o);
    static QByteArray marker(int type, quint64 length);

    QList<Object> m_objects;
};
