#pragma once

#include <QCoroTask>
#include <QPointer>
#include <QWidget>

#include <optional>

class Alert;
class QLabel;
class QPushButton;
class VPNManager;

// Resetting the tunnel's configuration, and how much memory the running tunnel holds.
class TroubleshootingPage final : public QWidget {
    Q_OBJECT

public:
    // The manager must outlive the page.
    explicit TroubleshootingPage(VPNManager &vpn, QWidget *parent = nullptr);

    Alert &alert() const { return *m_alert; }

protected:
    // The memory figure is asked for anew on every appearance, while connected.
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void paintResetRed();
    void showMemory(std::optional<qint64> bytes);
    static QCoro::Task<> fetchMemory(QPointer<TroubleshootingPage> page, VPNManager &vpn);
    static QCoro::Task<> reset(QPointer<TroubleshootingPage> page, VPNManager &vpn);
    void resetFinished(const std::optional<QString> &failure);

    VPNManager &m_vpn;
    Alert *m_alert;
    QPushButton *m_reset;
    QLabel *m_memory;
};
