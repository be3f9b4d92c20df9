#pragma once

#include "app/updates/updatechecker.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>

// Tells the user what a check for updates found: a newer version with a button that opens its
// download page, that this version is current, or why the check failed. One prompt serves every
// place a check starts from.
class UpdatePrompt final : public QObject {
    Q_OBJECT

public:
    using OpenUrl = std::function<bool(const QUrl &)>;

    // openUrl hands the download page to the browser; QDesktopServices::openUrl unless given.
    explicit UpdatePrompt(UpdateChecker &checker, OpenUrl openUrl = {}, QObject *parent = nullptr);
    ~UpdatePrompt() override;
    Q_DISABLE_COPY_MOVE(UpdatePrompt)

    void present(const UpdateCheckResult &result);
    // The box on screen, or null.
    QMessageBox *box() const { return m_box; }

private:
    UpdateChecker &m_checker;
    OpenUrl m_openUrl;
    QPointer<QMessageBox> m_box;
};
