#include "core/foundation/defaultsstore.h"
#include "testregistry.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

class DefaultsStoreTest final : public QObject {
    Q_OBJECT

    static int mode(const QString &path)
    {
        struct stat st { };
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    }

    static QByteArray fileBytes(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void storesExactBytesForTheUserAlone()
    {
        QTemporaryDir dir;
        DefaultsStore store(dir.filePath(QStringLiteral("config/wrenlow")));
        const QByteArray document("{\"a\":\"\xc3\xa9\",\"b\":[1,2]}\n\0tail", 27);
        QVERIFY(store.setData(QStringLiteral("groups"), document));
        QCOMPARE(store.data(QStringLiteral("groups")), std::optional<QByteArray>(document));
        QCOMPARE(fileBytes(store.filePath(QStringLiteral("groups"))), document);
        QCOMPARE(mode(store.filePath(QStringLiteral("groups"))), 0600);
        QCOMPARE(mode(store.directory()), 0700);

        QVERIFY(store.setData(QStringLiteral("groups"), QByteArray("{}")));
        QCOMPARE(store.data(QStringLiteral("groups")), std::optional<QByteArray>(QByteArray("{}")));
        // only the document itself is left behind, no temporary files
        QCOMPARE(QDir(store.directory()).entryList(QDir::Files), QStringList { QStringLiteral("groups.json") });
    }

    // Temporaries of killed writers go, at start and before a write of the same document; a
    // temporary whose writer still holds it, or that was created a moment ago, stays.
    void removesStaleTemporaries_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("old");
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("removed");
        QTest::newRow("killed writer") << QStringLiteral("groups.json.aLUTiu") << true << false << true;
        QTest::newRow("killed copy writer")
            << QStringLiteral("groups.unreadable-0123456789ab.json.x1Y2z3") << true << false << true;
        QTest::newRow("running writer") << QStringLiteral("groups.json.Qx81Zp") << true << true << false;
        QTest::newRow("just created") << QStringLiteral("groups.json.n3WfiL") << false << false << false;
        QTest::newRow("not ours") << QStringLiteral("notes.txt.abcdef") << true << false << false;
        QTest::newRow("not a temporary name") << QStringLiteral("groups.json.bak") << true << false << false;
    }

    void removesStaleTemporaries()
    {
        QFETCH(QString, name);
        QFETCH(bool, old);
        QFETCH(bool, held);
        QFETCH(bool, removed);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        for (const bool atStart : { true, false }) {
            std::optional<DefaultsStore> store;
            if (!atStart)
                store.emplace(dir.path());
            QFile temporary(path);
            QVERIFY(temporary.open(QIODevice::WriteOnly));
            temporary.write("partial");
            temporary.flush();
            if (old) {
                QVERIFY(temporary.setFileTime(
                    QDateTime::currentDateTime().addSecs(-600), QFileDevice::FileModificationTime));
            }
            // Another open of the file stands for a writer in another process: flock sees no difference.
            if (held)
                QCOMPARE(::flock(temporary.handle(), LOCK_EX | LOCK_NB), 0);
            if (atStart)
                store.emplace(dir.path());
            else
                QVERIFY(store->setData(QStringLiteral("groups"), QByteArray("{}")));
            QCOMPARE(!QFile::exists(path), removed);
            temporary.close();
            QFile::remove(path);
        }
    }

    void preservesUnreadableDocumentOnce()
    {
        QTemporaryDir dir;
        DefaultsStore store(dir.path());
        const QByteArray broken("{\"subscriptions\":[");
        QVERIFY(store.setData(QStringLiteral("groups"), broken));

        const auto copy = store.preserveUnreadable(QStringLiteral("groups"));
        QVERIFY(copy);
        QCOMPARE(fileBytes(*copy), broken);
        QCOMPARE(mode(*copy), 0600);
        // a second start with the same document does not pile up copies
        QCOMPARE(store.preserveUnreadable(QStringLiteral("groups")), copy);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    }
};

WRENLOW_TEST(DefaultsStoreTest)
#include "tst_defaultsstore.moc"
