#pragma once

#include <QtGlobal>

// The program's resident set size in bytes (/proc/self/statm times the page size); 0 when unknown.
qint64 residentSetSize();
