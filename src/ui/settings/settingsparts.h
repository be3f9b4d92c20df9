#pragma once

class QLabel;
class QString;
class QVBoxLayout;
class QWidget;

// The pieces every page of the settings window is built from, so the pages look alike.

// The page's own layout: a column of sections with the window's margins.
QVBoxLayout *pageLayout(QWidget *page);
// A section of a page: a group box holding rows, one below the other.
QVBoxLayout *section(QVBoxLayout *page, const QString &title, QWidget *parent);
// A line of the secondary style, wrapped to the row's width.
QLabel *secondaryLine(const QString &text, QWidget *parent);
