#include "testregistry.h"

#include <QStandardPaths>
#include <QTest>

#ifdef WRENLOW_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <cstring>
#include <vector>

namespace {

struct Entry {
    const char *name;
    TestFactory factory;
};

std::vector<Entry> &registry()
{
    static std::vector<Entry> entries;
    return entries;
}

} // namespace

int registerTest(const char *name, TestFactory factory)
{
    registry().push_back({ name, std::move(factory) });
    return int(registry().size());
}

// Runs every registered class; WRENLOW_TEST_CLASS=Name runs one of them.
int main(int argc, char **argv)
{
    TestApplication app(argc, argv);
    // Keeps every test away from the real user's configuration.
    QStandardPaths::setTestModeEnabled(true);
    const QByteArray only = qgetenv("WRENLOW_TEST_CLASS");
    int failures = 0;
    for (const auto &entry : registry()) {
        if (!only.isEmpty() && only != entry.name)
            continue;
        auto test = entry.factory();
        failures += QTest::qExec(test.get(), argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
