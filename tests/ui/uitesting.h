#pragma once

#include "app/catalogue/groupcollection.h"
#include "app/settings/settingsaccess.h"
#include "core/foundation/defaultsstore.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

// A catalogue stored in a directory of its own.
struct TestCatalogue {
    QTemporaryDir dir;
    DefaultsStore store { dir.filePath(QStringLiteral("store")) };
    GroupCollection groups { store };
};

// Settings held in memory, for screens that read them.
struct FixedSettings final : SettingsAccess {
    AppSettings value;
    const AppSettings &settings() const override { return value; }
    void setSettings(const AppSettings &settings) override { value = settings; }
    void saveSettings() override { }
};

// What a person sees of the window now: the one visible widget of this type with this accessible name.
template <typename T = QAbstractButton> T *shown(QWidget *window, const QString &accessibleName)
{
    T *found = nullptr;
    for (T *candidate : window->findChildren<T *>()) {
        if (candidate->accessibleName() == accessibleName && candidate->isVisibleTo(window)) {
            if (found)
                qWarning("Two visible widgets named %s", qPrintable(accessibleName));
            found = candidate;
        }
    }
    return found;
}

// The first of a menu's actions or a box's buttons with this text.
template <typename Item> Item *withText(const QList<Item *> &items, const QString &text)
{
    for (Item *item : items) {
        if (item->text() == text)
            return item;
    }
    return nullptr;
}

inline void click(QWidget *window, const QString &name)
{
    QAbstractButton *button = shown(window, name);
    QVERIFY2(button, qPrintable(name));
    QVERIFY2(button->isEnabled(), qPrintable(name));
    QTest::mouseClick(button, Qt::LeftButton);
}

// Replaces the text of a visible line field as a person would: select it all and type.
inline void type(QWidget *window, const QString &field, const QString &text)
{
    auto *edit = shown<QLineEdit>(window, field);
    QVERIFY2(edit, qPrintable(field));
    edit->selectAll();
    QTest::keyClicks(edit, text);
}
