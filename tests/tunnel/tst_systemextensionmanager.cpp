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

    // Each event: "approval", "finished:<result>", "failed:<text>", or "timeout" (wait for it).
    void answers_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("loads");
        QTest::newRow("completed") << QStringList { u"finished:0"_s } << u"Success"_s << 1;
        QTest::newRow("after a reboot") << QStringList { u"finished:1"_s }
                                        << u"System reboot is required to update system extension."_s << 0;
        QTest::newRow("unknown result changes nothing")
            << QStringList { u"finished:7"_s } << u"Initializing system extension..."_s << 0;
        QTest::newRow("failed") << QStringList { u"failed:Denied by policy"_s } << u"Error: Denied by policy"_s << 0;
        QTest::newRow("no answer") << QStringList { u"timeout"_s } << u"System extension initialization timed out."_s
                                   << 0;
        QTest::newRow("approval outlasts the time-out")
            << QStringList { u"approval"_s, u"timeout"_s } << u"Please approve system extension in System Settings..."_s
            << 0;
        QTest::newRow("approved later") << QStringList { u"approval"_s, u"finished:0"_s } << u"Success"_s << 1;
        QTest::newRow("completion after the time-out")
            << QStringList { u"timeout"_s, u"finished:0"_s } << u"Success"_s << 1;
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
            const QString argument = event.section(u':', 1);
            QString logLine;
            if (event == u"timeout"_s) {
                QTRY_VERIFY(m_log->lines.contains(timeoutLine));
                continue;
            } else if (event == u"approval"_s) {
                Q_EMIT m_activation->needsUserApproval();
                logLine = u"Received requestNeedsUserApproval"_s;
            } else if (event.startsWith(u"finished:"_s)) {
                Q_EMIT m_activation->finished(argument.toInt());
                logLine = u"Received didFinishWithResult: "_s + argument;
            } else {
                Q_EMIT m_activation->failed(argument);
                logLine = u"Received didFailWithError: "_s + argument;
            }
            QCOMPARE(m_log->lines.last(), logLine);
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
