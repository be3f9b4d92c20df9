#include "app/tunnel/systemextensionmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Keeps the program's log lines, so a test can wait for one, and passes them on to QtTest.
class LogRecorder final {
public:
    LogRecorder()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&LogRecorder::record);
    }
    Q_DISABLE_COPY_MOVE(LogRecorder)
    ~LogRecorder()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }

    QStringList lines;

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        s_current->lines.append(message);
        if (s_current->m_previous)
            s_current->m_previous(type, context, message);
    }

    static inline LogRecorder *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
};

const auto timeoutLine = u"systemExtensions initialization timeout"_s;

} // namespace

class SystemExtensionManagerTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeExtensionActivation> m_activation;
    std::unique_ptr<SystemExtensionManager> m_manager;
    std::unique_ptr<LogRecorder> m_log;
    int m_loads = 0;

private Q_SLOTS:
    void init()
    {
        m_log = std::make_unique<LogRecorder>();
        m_activation = std::make_unique<FakeExtensionActivation>();
        m_loads = 0;
        m_manager = std::make_unique<SystemExtensionManager>(*m_activation, [this] { ++m_loads; });
        m_manager->setTimeout(20ms);
    }

    void cleanup()
    {
        m_manager.reset();
        m_activation.reset();
        m_log.reset();
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
        QCOMPARE(m_manager->status().message(), QString());
        m_manager->activate();
        QCOMPARE(m_activation->submits, 1);
        QCOMPARE(m_manager->status().message(), u"Initializing system extension..."_s);
        for (const QString &event : events) {
            if (event == u"timeout"_s)
                QTRY_VERIFY(m_log->lines.contains(timeoutLine));
            else if (event == u"finished"_s)
                Q_EMIT m_activation->finished(0);
            else
                Q_EMIT m_activation->failed(event.section(u':', 1));
        }
        settle();
        QCOMPARE(m_manager->status().message(), message);
        QCOMPARE(m_loads, loads);
    }

    void activateAfterSuccessOnlyLogs()
    {
        // Each activation while one is pending is a request of its own.
        m_manager->activate();
        m_manager->activate();
        QCOMPARE(m_activation->submits, 2);
        Q_EMIT m_activation->finished(0);
        settle();
        QCOMPARE(m_loads, 1);

        QSignalSpy changes(m_manager.get(), &SystemExtensionManager::statusChanged);
        m_manager->activate();
        QCOMPARE(m_log->lines.last(), u"Initializing systemExtensions"_s);
        QCOMPARE(m_activation->submits, 2);
        QTRY_COMPARE(m_log->lines.count(timeoutLine), 2);
        settle();
        QCOMPARE(changes.count(), 0);
        QCOMPARE(m_loads, 1);
    }
};

WRENLOW_TEST(SystemExtensionManagerTest)
#include "tst_systemextensionmanager.moc"
