#pragma once

#include <QString>

// A byte count with a 1024-based unit, as speeds and memory use are shown: "0 B", "1023 B", "1 KB",
// "5 MB". Only the whole part of the amount is shown. Counts of 1024^5 and more give an empty text,
// and so do negative counts (a counter with its top bit set), which have no meaningful text.
QString formatByteCount(qint64 bytes);
