#include "ui/settings/settingsparts.h"

#include "ui/forms/formparts.h"

#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

QVBoxLayout *pageLayout(QWidget *page)
{
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 12, 20, 12);
    layout->setSpacing(12);
    return layout;
}

QVBoxLayout *section(QVBoxLayout *page, const QString &title, QWidget *parent)
{
    auto *box = new QGroupBox(title, parent);
    page->addWidget(box);
    return new QVBoxLayout(box);
}

QLabel *secondaryLine(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    makeSecondary(label);
    label->setFont(styledFont(TextStyle::footnote, label));
    return label;
}
