#pragma once

#include <QtGlobal>

// A process's resident set size in bytes (/proc/<pid>/statm times the page size), this program's
// when pid is 0; 0 when unknown or the process has gone.
qint64 residentSetSize(qint64 pid = 0);
