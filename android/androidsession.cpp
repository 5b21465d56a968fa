#include "android/androidsession.h"

#include "store/progressform.h"

void AndroidSession::watch(ProgressForm *form)
{
    QObject::disconnect(m_watch);
    m_watch = QObject::connect(
            form, &ProgressForm::userCacel, form, [this] { m_canceller.cancel(); },
            Qt::DirectConnection);
}

AndroidSession::~AndroidSession()
{
    QObject::disconnect(m_watch);
    close();
}
