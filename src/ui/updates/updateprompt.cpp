#include "ui/updates/updateprompt.h"

#include "core/foundation/log.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

UpdatePrompt::UpdatePrompt(UpdateChecker &checker, OpenUrl openUrl, QObject *parent)
    : QObject(parent)
    , m_checker(checker)
    , m_openUrl(openUrl ? std::move(openUrl) : OpenUrl([](const QUrl &url) { return QDesktopServices::openUrl(url); }))
{
    connect(&checker, &UpdateChecker::checkFinished, this, &UpdatePrompt::present);
}

UpdatePrompt::~UpdatePrompt()
{
    delete m_box;
}

void UpdatePrompt::present(const UpdateCheckResult &result)
{
    // The latest answer replaces an earlier one still on screen.
    delete m_box;
    // No parent: a check started from the tray has no window to sit over.
    m_box = new QMessageBox;
    m_box->setAttribute(Qt::WA_DeleteOnClose);
    m_box->setWindowTitle(tr("Check for Updates"));
    QPushButton *close = m_box->addButton(tr("Close"), QMessageBox::RejectRole);
    m_box->setEscapeButton(close);
    m_box->setDefaultButton(close);
    switch (result.kind) {
    case UpdateCheckResult::Kind::newer: {
        m_box->setIcon(QMessageBox::Information);
        m_box->setText(tr("Wrenlow %1 is available.").arg(result.version));
        m_box->setInformativeText(tr("You have version %1.").arg(m_checker.currentVersion()));
        QPushButton *download = m_box->addButton(tr("Open Download Page"), QMessageBox::AcceptRole);
        m_box->setDefaultButton(download);
        const QUrl page = result.page;
        connect(download, &QPushButton::clicked, this, [this, page] {
            if (!m_openUrl(page))
                logError(QStringLiteral("Cannot open the download page ") + page.toDisplayString());
        });
        break;
    }
    case UpdateCheckResult::Kind::current:
        m_box->setIcon(QMessageBox::Information);
        m_box->setText(tr("Wrenlow is up to date."));
        m_box->setInformativeText(tr("Version %1 is the newest version.").arg(result.version));
        break;
    case UpdateCheckResult::Kind::failure:
        m_box->setIcon(QMessageBox::Warning);
        m_box->setText(tr("Wrenlow could not check for updates."));
        m_box->setInformativeText(result.failure);
        break;
    }
    m_box->show();
    m_box->raise();
    m_box->activateWindow();
}
