#include "app/tunnel/systemextensionmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class SystemExtensionManagerTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeExtensionActivation> m_activation;
    std::unique_ptr<SystemExtensionManager> m_manager;
    int m_loads = 0;

    QString message() const { return m_manager->status().message(); }

private Q_SLOTS:
    void init()
    {
        m_activation = std::make_unique<FakeExtensionActivation>();
        m_loads = 0;
        m_manager = std::make_unique<SystemExtensionManager>(*m_activation, [this] { ++m_loads; });
        m_manager->setTimeout(20ms);
    }

    void cleanup()
    {
        m_manager.reset();
        m_activation.reset();
    }

    // What the Linux activation answers, if anything: "finished", "failed:<text>", "timeout" (wait for
    // it). Approval and reboot requests never come on Linux.
    void answers_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("loads");
        QTest::newRow("completed") << QStringList { u"finished"_s } << u"Success"_s << 1;
        QTest::newRow("failed") << QStringList { u"failed:Denied by policy"_s } << u"Error: Denied by policy"_s << 0;
        QTest::newRow("no answer") << QStringList { u"timeout"_s } << u"System extension initialization timed out."_s
                                   << 0;
        QTest::newRow("completion after the time-out")
            << QStringList { u"timeout"_s, u"finished"_s } << u"Success"_s << 1;
    }

    void answers()
    {
        QFETCH(QStringList, events);
        QFETCH(QString, message);
        QFETCH(int, loads);
        QCOMPARE(this->message(), QString());
        m_manager->activate();
        QCOMPARE(m_activation->submits, 1);
        QCOMPARE(this->message(), u"Initializing system extension..."_s);
        for (const QString &event : events) {
            if (event == u"timeout"_s)
                QTRY_COMPARE(this->message(), u"System extension initialization timed out."_s);
            else if (event == u"finished"_s)
                Q_EMIT m_activation->finished(0);
            else
                Q_EMIT m_activation->failed(event.section(u':', 1));
        }
        settle();
        QCOMPARE(this->message(), message);
        QCOMPARE(m_loads, loads);
    }

    // Each activation while one is pending is a request of its own; once one succeeded, their
    // time-outs and further activations change nothing.
    void activateAfterSuccessOnlyLogs()
    {
        m_manager->activate();
        m_manager->activate();
        QCOMPARE(m_activation->submits, 2);
        Q_EMIT m_activation->finished(0);
        settle();
        QCOMPARE(m_loads, 1);

        QSignalSpy changes(m_manager.get(), &SystemExtensionManager::statusChanged);
        m_manager->activate();
        QCOMPARE(m_activation->submits, 2);
        QTest::qWait(100);
        QCOMPARE(changes.count(), 0);
        QCOMPARE(m_loads, 1);
    }
};

WRENLOW_TEST(SystemExtensionManagerTest)
#include "tst_systemextensionmanager.moc"
