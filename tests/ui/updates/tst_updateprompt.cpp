#include "app/updates/updatechecker.h"
#include "testregistry.h"
#include "ui/updates/updateprompt.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTest>

Q_DECLARE_METATYPE(UpdateCheckResult::Kind)

class UpdatePromptTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void present_data()
    {
        QTest::addColumn<UpdateCheckResult::Kind>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("offersDownload");
        QTest::newRow("newer") << UpdateCheckResult::Kind::newer << QStringLiteral("Wrenlow 2.0 is available.") << true;
        QTest::newRow("current") << UpdateCheckResult::Kind::current << QStringLiteral("Wrenlow is up to date.")
                                 << false;
        QTest::newRow("failure") << UpdateCheckResult::Kind::failure
                                 << QStringLiteral("Wrenlow could not check for updates.") << false;
    }

    // Only a newer version offers its page, and the button hands exactly that page to the browser.
    void present()
    {
        QFETCH(UpdateCheckResult::Kind, kind);
        QFETCH(QString, text);
        QFETCH(bool, offersDownload);
        UpdateChecker checker(QUrl(), QStringLiteral("1.0"));
        QList<QUrl> opened;
        UpdatePrompt prompt(checker, [&opened](const QUrl &url) {
            opened.append(url);
            return true;
        });
        const QUrl page(QStringLiteral("https://wrenlow.example/download"));
        Q_EMIT checker.checkFinished({ kind, QStringLiteral("2.0"), page, QStringLiteral("timed out") });
        QMessageBox *box = prompt.box();
        QVERIFY(box);
        QCOMPARE(box->text(), text);
        QPushButton *download = nullptr;
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == QStringLiteral("Open Download Page"))
                download = qobject_cast<QPushButton *>(button);
        }
        QCOMPARE(download != nullptr, offersDownload);
        if (kind == UpdateCheckResult::Kind::failure)
            QCOMPARE(box->informativeText(), QStringLiteral("timed out"));
        if (!download)
            return;
        QCOMPARE(box->defaultButton(), download);
        download->click();
        QCOMPARE(opened, QList<QUrl> { page });
    }
};

WRENLOW_TEST(UpdatePromptTest)
#include "tst_updateprompt.moc"
