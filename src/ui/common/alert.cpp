#include "ui/common/alert.h"

#include <QMessageBox>
#include <QPushButton>

Alert::Alert(QWidget *screen)
    : QObject(screen)
    , m_screen(screen)
{
}

Alert::~Alert()
{
    if (m_box) {
        m_box->disconnect(this);
        m_box->deleteLater();
    }
}

void Alert::show(const QString &title, const QString &message)
{
    m_title = title;
    m_message = message;
    if (!m_box) {
        // Parented to the window, not the screen: a screen may be hidden under another one.
        m_box = new QMessageBox(QMessageBox::Warning, title, message, QMessageBox::NoButton, m_screen->window());
        QPushButton *close = m_box->addButton(tr("Close"), QMessageBox::AcceptRole);
        m_box->setDefaultButton(close);
        m_box->setEscapeButton(close);
        m_box->setWindowModality(Qt::WindowModal);
        m_box->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_box, &QDialog::finished, this, &Alert::dismissed);
    }
    m_box->setWindowTitle(title);
    // The title bar of a sheet-like box is often not drawn; the title also leads the text.
    m_box->setText(QStringLiteral("<b>%1</b><br>%2").arg(title.toHtmlEscaped(), message.toHtmlEscaped()));
    m_box->setTextFormat(Qt::RichText);
    if (!m_isShown) {
        m_isShown = true;
        Q_EMIT isShownChanged();
    }
    m_box->open();
}

void Alert::close()
{
    if (m_box)
        m_box->done(QMessageBox::Accepted);
}

void Alert::dismissed()
{
    m_box = nullptr;
    if (m_isShown) {
        m_isShown = false;
        Q_EMIT isShownChanged();
    }
    Q_EMIT closed();
}
