#include "ui/settings/settingsrows.h"

#include "ui/common/toggleswitch.h"
#include "ui/forms/formparts.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

QLabel *secondaryLine(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    makeSecondary(label);
    label->setFont(styledFont(TextStyle::footnote, label));
    return label;
}

QWidget *settingsRow(const QString &title, const QString &detail, QWidget *control, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 4, 0, 4);
    auto *text = new QVBoxLayout;
    text->setSpacing(2);
    auto *titleLabel = new QLabel(title, row);
    titleLabel->setBuddy(control);
    text->addWidget(titleLabel);
    if (!detail.isEmpty())
        text->addWidget(secondaryLine(detail, row));
    layout->addLayout(text, 1);
    layout->addWidget(control, 0, Qt::AlignRight | Qt::AlignVCenter);
    control->setParent(row);
    control->setAccessibleName(title);
    control->setAccessibleDescription(detail);
    return row;
}

ToggleSwitch *settingsToggle(bool value, QWidget *parent)
{
    auto *button = new ToggleSwitch(parent);
    button->setChecked(value);
    return button;
}

QVBoxLayout *settingsSection(QVBoxLayout *page, const QString &title, QWidget *parent)
{
    auto *box = new QGroupBox(title, parent);
    page->addWidget(box);
    return new QVBoxLayout(box);
}

QVBoxLayout *settingsPageLayout(QWidget *page)
{
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 12, 20, 12);
    layout->setSpacing(12);
    return layout;
}
