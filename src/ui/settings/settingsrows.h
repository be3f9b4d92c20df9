#pragma once

#include <QString>

class QLabel;
class QVBoxLayout;
class QWidget;
class ToggleSwitch;

// The parts every settings page is made of, so that the pages look alike.

// A page's layout: its sections one below the other, with the page's margins.
QVBoxLayout *settingsPageLayout(QWidget *page);
// A section of a page: a group box, with a title or none, holding rows one below the other.
QVBoxLayout *settingsSection(QVBoxLayout *page, const QString &title, QWidget *parent);
// A line of the secondary style, wrapped to the row's width.
QLabel *secondaryLine(const QString &text, QWidget *parent);
// A row: its title and, below, a secondary line on the left; `control` on the right. The control
// takes the title as its accessible name and the secondary line as its description, so a screen
// reader says both.
QWidget *settingsRow(const QString &title, const QString &detail, QWidget *control, QWidget *parent);
// An on/off switch showing `value`.
ToggleSwitch *settingsToggle(bool value, QWidget *parent);
