#include "app/application/singleinstance.h"
#include "testregistry.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace std::chrono_literals;

class SingleInstanceTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A later start reaches the running program, which shows its window; once the program has
    // gone, even leaving its socket file behind, the next start is the program.
    void laterStartsAskTheFirst()
    {
        QTemporaryDir dir;
        const QString directory = dir.filePath(QStringLiteral("wrenlow"));
        auto first = std::make_unique<SingleInstance>(directory);
        QCOMPARE(first->start(), SingleInstance::Role::primary);
        QCOMPARE(QFileInfo(directory).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        QSignalSpy shown(first.get(), &SingleInstance::showRequested);

        SingleInstance second(directory);
        QCOMPARE(second.start(), SingleInstance::Role::secondary);
        // The request blocks, as it does in a second process before any window; the first
        // answers from its event loop, here a thread of its own would be needed, so ask from one.
        bool answered = false;
        std::unique_ptr<QThread> asker(QThread::create([&] { answered = second.askPrimaryToShow(5s); }));
        asker->start();
        QTRY_VERIFY(asker->isFinished());
        QVERIFY(answered);
        QCOMPARE(shown.size(), 1);

        first.reset();
        QVERIFY(QFileInfo::exists(directory + QStringLiteral("/app.lock")));
        SingleInstance third(directory);
        QCOMPARE(third.start(), SingleInstance::Role::primary);
    }

    void otherWordsAreIgnored_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("another word") << QByteArray("quit\n");
        QTest::newRow("no line end") << QByteArray("show");
        QTest::newRow("nothing") << QByteArray();
    }

    void otherWordsAreIgnored()
    {
        QFETCH(QByteArray, request);
        QTemporaryDir dir;
        SingleInstance program(dir.filePath(QStringLiteral("wrenlow")));
        QCOMPARE(program.start(), SingleInstance::Role::primary);
        QSignalSpy shown(&program, &SingleInstance::showRequested);
        QLocalSocket caller;
        caller.connectToServer(program.socketPath());
        QVERIFY(caller.waitForConnected(5000));
        caller.write(request);
        // The program hangs up on anything but the request, at the latest after its patience.
        QTRY_COMPARE_WITH_TIMEOUT(caller.state(), QLocalSocket::UnconnectedState, 5000);
        QCOMPARE(shown.size(), 0);
        QVERIFY(caller.readAll().isEmpty());
    }
};

WRENLOW_TEST(SingleInstanceTest)
#include "tst_singleinstance.moc"
